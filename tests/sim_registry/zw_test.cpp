// The kernel view: Zw* routines, their record layouts and buffer rules.
#include "tests/sim_registry/helpers.h"

#include "sim/machine.h"
#include "sim/object.h"
#include "sim/user/process_manager.h"

#include <cstddef>
#include <cstring>

using namespace regtest;

namespace {

class RegistryZw : public ::testing::Test {
protected:
    sim::Machine machine;
};

std::u16string FullName(HANDLE key) {
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryKey(key, KeyNameInformation, nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
    std::vector<std::uint8_t> buffer(needed);
    EXPECT_EQ(ZwQueryKey(key, KeyNameInformation, buffer.data(), needed, &needed), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_NAME_INFORMATION*>(buffer.data());
    return std::u16string(info->Name, info->NameLength / sizeof(WCHAR));
}

Bytes PartialData(HANDLE key, const char16_t* name, ULONG* type) {
    UNICODE_STRING s = Name(name);
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &s, KeyValuePartialInformation, nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
    std::vector<std::uint8_t> buffer(needed);
    EXPECT_EQ(ZwQueryValueKey(key, &s, KeyValuePartialInformation, buffer.data(), needed, &needed), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    *type = info->Type;
    return Bytes(info->Data, info->Data + info->DataLength);
}

NTSTATUS SetValue(HANDLE key, const char16_t* name, ULONG type, Bytes data) {
    UNICODE_STRING s = Name(name);
    return ZwSetValueKey(key, &s, 0, type, data.data(), static_cast<ULONG>(data.size()));
}

std::u16string EnumeratedKeyName(HANDLE key, ULONG index, NTSTATUS* status) {
    alignas(8) std::uint8_t buffer[256];
    ULONG length = 0;
    *status = ZwEnumerateKey(key, index, KeyBasicInformation, buffer, sizeof buffer, &length);
    if (*status != STATUS_SUCCESS) return {};
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
    return std::u16string(info->Name, info->NameLength / sizeof(WCHAR));
}

TEST_F(RegistryZw, CreateMakesOnlyTheLastComponentAndReportsTheDisposition) {
    ZwKey key;
    ASSERT_EQ(key.Create(u"\\Registry\\Machine\\Software\\Ovu"), STATUS_SUCCESS);
    EXPECT_EQ(key.disposition(), REG_CREATED_NEW_KEY);
    ZwKey again;
    ASSERT_EQ(again.Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\ovu"), STATUS_SUCCESS);
    EXPECT_EQ(again.disposition(), REG_OPENED_EXISTING_KEY);

    ZwKey missing;
    EXPECT_EQ(missing.Create(u"\\Registry\\Machine\\Software\\Missing\\Child"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(missing.get(), nullptr);
    EXPECT_FALSE(machine.registry().KeyExists("HKLM\\Software\\Missing"));
    EXPECT_EQ(missing.Open(u"\\Registry\\Machine\\Software\\Missing"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(missing.Open(u"Registry\\Machine"), STATUS_OBJECT_NAME_INVALID);  // relative, but no root

    // Relative to an open key; an empty name opens that key again.
    ZwKey child;
    ASSERT_EQ(child.Create(u"Child", key.get()), STATUS_SUCCESS);
    ZwKey self;
    ASSERT_EQ(self.Open(u"", child.get()), STATUS_SUCCESS);
    EXPECT_EQ(FullName(self.get()), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Ovu\\Child");
    EXPECT_TRUE(machine.registry().KeyExists("HKEY_LOCAL_MACHINE\\software\\OVU\\child"));
}

TEST_F(RegistryZw, CheckRegistryKeyResolvesItsBases) {
    ASSERT_TRUE(machine.registry().CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Services\\ovuac2audio\\Parameters"));
    std::u16string absolute = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ovuac2audio";
    std::u16string relative = u"ovuac2audio\\Parameters";
    std::u16string missing = u"ovuac2audio\\Missing";
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, absolute.data()), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, relative.data()), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, missing.data()),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwKey key;
    ASSERT_EQ(key.Open(absolute.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_HANDLE, static_cast<PWSTR>(key.get())), STATUS_SUCCESS);
}

TEST_F(RegistryZw, EveryValueTypeKeepsItsTypeAndBytes) {
    ZwKey key;
    ASSERT_EQ(key.Create(u"\\Registry\\Machine\\Software\\Ovu"), STATUS_SUCCESS);
    for (const auto& v : EveryValueType())
        ASSERT_EQ(SetValue(key.get(), v.name.c_str(), v.type, v.data), STATUS_SUCCESS);
    for (const auto& v : EveryValueType()) {
        SCOPED_TRACE(std::string(v.name.begin(), v.name.end()));
        ULONG type = 0;
        EXPECT_EQ(PartialData(key.get(), v.name.c_str(), &type), v.data);
        EXPECT_EQ(type, v.type);
        EXPECT_EQ(machine.registry().GetValue("HKLM\\Software\\Ovu", v.name), (sim::RegValue{v.type, v.data}));
    }
    // A null name is the default value too.
    UNICODE_STRING* none = nullptr;
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryValueKey(key.get(), none, KeyValuePartialInformation, nullptr, 0, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 12 + Utf16(u"the default value").size());
}

TEST_F(RegistryZw, FullInformationPutsTheDataAtAFourByteAlignedOffset) {
    ZwKey key;
    ASSERT_EQ(key.Create(u"\\Registry\\Machine\\Software\\Ovu"), STATUS_SUCCESS);
    const Bytes data = {1, 2, 3, 4, 5};
    struct Case {
        const char16_t* name;
        ULONG dataOffset;
    };
    for (const Case& c : {Case{u"Rate", 28}, Case{u"Abc", 28}, Case{u"Margin Formula SS", 56}, Case{u"", 20}}) {
        SCOPED_TRACE(c.dataOffset);
        ASSERT_EQ(SetValue(key.get(), c.name, REG_BINARY, data), STATUS_SUCCESS);
        UNICODE_STRING s = Name(c.name);
        ULONG needed = 0;
        ASSERT_EQ(ZwQueryValueKey(key.get(), &s, KeyValueFullInformation, nullptr, 0, &needed),
                  STATUS_BUFFER_TOO_SMALL);
        ASSERT_EQ(needed, c.dataOffset + data.size());
        std::vector<std::uint8_t> buffer(needed);  // exact size: a write past it trips the sanitizer
        ASSERT_EQ(ZwQueryValueKey(key.get(), &s, KeyValueFullInformation, buffer.data(), needed, &needed),
                  STATUS_SUCCESS);
        auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
        EXPECT_EQ(info->Type, REG_BINARY);
        EXPECT_EQ(info->DataOffset, c.dataOffset);
        EXPECT_EQ(info->DataLength, data.size());
        EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2), s.Buffer);
        EXPECT_EQ(Bytes(buffer.begin() + c.dataOffset, buffer.end()), data);
    }
    // Without data there is no data offset.
    ASSERT_EQ(SetValue(key.get(), u"Empty", REG_BINARY, {}), STATUS_SUCCESS);
    UNICODE_STRING s = Name(u"Empty");
    alignas(8) std::uint8_t buffer[64];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryValueKey(key.get(), &s, KeyValueFullInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 20u + 10u);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer)->DataOffset, 0xFFFFFFFFu);
}

TEST_F(RegistryZw, ShortBuffersGetTheHeaderOnlyWhenItFits) {
    ZwKey key;
    ASSERT_EQ(key.Create(u"\\Registry\\Machine\\Software\\Ovu"), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key.get(), u"Rate", REG_DWORD, Le32(48000)), STATUS_SUCCESS);
    struct Case {
        KEY_VALUE_INFORMATION_CLASS infoClass;
        ULONG fixed;
        ULONG total;
    };
    // Basic: 12 + name (8); full: data at 28, 4 bytes; partial: 12 + 4.
    for (const Case& c : {Case{KeyValueBasicInformation, 12, 20}, Case{KeyValueFullInformation, 20, 32},
                          Case{KeyValuePartialInformation, 12, 16}}) {
        for (ULONG length : {0u, c.fixed - 1, c.fixed, c.total - 1, c.total, c.total + 8}) {
            SCOPED_TRACE(testing::Message() << "class " << c.infoClass << " length " << length);
            std::vector<std::uint8_t> buffer(length, 0xCC);
            UNICODE_STRING s = Name(u"Rate");
            ULONG result = 0;
            const NTSTATUS status = ZwQueryValueKey(key.get(), &s, c.infoClass, length ? buffer.data() : nullptr,
                                                    length, &result);
            EXPECT_EQ(result, c.total);
            if (length < c.fixed) {
                EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
                EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xCC), static_cast<std::ptrdiff_t>(length));
                continue;
            }
            EXPECT_EQ(status, length < c.total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS);
            ULONG type;
            std::memcpy(&type, buffer.data() + 4, sizeof type);  // Type follows TitleIndex in all three
            EXPECT_EQ(type, REG_DWORD);
        }
    }
}

TEST_F(RegistryZw, QueryKeyReportsNamesCountsAndLastWriteTime) {
    ZwKey key;
    ASSERT_EQ(key.Create(u"\\Registry\\Machine\\Software\\Ovu"), STATUS_SUCCESS);
    ZwKey a, b;
    ASSERT_EQ(a.Create(u"Short", key.get()), STATUS_SUCCESS);
    ASSERT_EQ(b.Create(u"LongerName", key.get()), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key.get(), u"A", REG_DWORD, Le32(1)), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key.get(), u"Longest value", REG_BINARY, Bytes(10, 7)), STATUS_SUCCESS);

    EXPECT_EQ(FullName(key.get()), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Ovu");

    alignas(8) std::uint8_t buffer[128];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryKey(key.get(), KeyFullInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 44u);
    auto* full = reinterpret_cast<KEY_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(full->SubKeys, 2u);
    EXPECT_EQ(full->MaxNameLen, 20u);  // "LongerName", in bytes
    EXPECT_EQ(full->Values, 2u);
    EXPECT_EQ(full->MaxValueNameLen, 26u);
    EXPECT_EQ(full->MaxValueDataLen, 10u);
    EXPECT_EQ(full->ClassOffset, 0xFFFFFFFFu);

    // Basic information: 16 bytes of header, then the name; cut to fit.
    std::vector<std::uint8_t> basic(16 + 2);
    ASSERT_EQ(ZwQueryKey(key.get(), KeyBasicInformation, basic.data(), 18, &length), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 16u + 6u);
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(basic.data());
    EXPECT_EQ(info->NameLength, 6u);
    // The buffer ends inside the record's padding: read the name's first
    // character from its bytes.
    char16_t first = 0;
    std::memcpy(&first, basic.data() + offsetof(KEY_BASIC_INFORMATION, Name), sizeof(first));
    EXPECT_EQ(first, u'O');
    EXPECT_EQ(ZwQueryKey(key.get(), KeyBasicInformation, basic.data(), 15, &length), STATUS_BUFFER_TOO_SMALL);
    std::vector<std::uint8_t> name(3);
    EXPECT_EQ(ZwQueryKey(key.get(), KeyNameInformation, name.data(), 3, &length), STATUS_BUFFER_TOO_SMALL);

    // Every change moves the key's last write time forward.
    ASSERT_EQ(ZwQueryKey(key.get(), KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
    const LONGLONG before = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer)->LastWriteTime.QuadPart;
    ASSERT_EQ(SetValue(key.get(), u"A", REG_DWORD, Le32(2)), STATUS_SUCCESS);
    ASSERT_EQ(ZwQueryKey(key.get(), KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
    EXPECT_GT(reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer)->LastWriteTime.QuadPart, before);
}

TEST_F(RegistryZw, SubkeysEnumerateSortedCaseInsensitivelyAndValuesInSetOrder) {
    ZwKey key;
    ASSERT_EQ(key.Create(u"\\Registry\\Machine\\Software\\Ovu"), STATUS_SUCCESS);
    for (const char16_t* name : {u"beta", u"Alpha", u"_x", u"gamma", u"ALPHA2", u"Zed"}) {
        ZwKey child;
        ASSERT_EQ(child.Create(name, key.get()), STATUS_SUCCESS);
    }
    ZwKey existing;
    ASSERT_EQ(existing.Create(u"BETA", key.get()), STATUS_SUCCESS);
    EXPECT_EQ(existing.disposition(), REG_OPENED_EXISTING_KEY);

    std::vector<std::u16string> names;
    NTSTATUS status;
    for (ULONG i = 0;; ++i) {
        std::u16string name = EnumeratedKeyName(key.get(), i, &status);
        if (status != STATUS_SUCCESS) break;
        names.push_back(name);
    }
    EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
    // '_' sorts after the upper-case letters, as Windows compares upcased names.
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"ALPHA2", u"beta", u"gamma", u"Zed", u"_x"}));

    for (const char16_t* name : {u"z", u"A", u"m"})
        ASSERT_EQ(SetValue(key.get(), name, REG_DWORD, Le32(1)), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key.get(), u"a", REG_DWORD, Le32(2)), STATUS_SUCCESS);  // in place, keeps "A"
    UNICODE_STRING z = Name(u"Z");
    ASSERT_EQ(ZwDeleteValueKey(key.get(), &z), STATUS_SUCCESS);
    std::vector<std::u16string> values;
    alignas(8) std::uint8_t buffer[64];
    ULONG length;
    for (ULONG i = 0; ZwEnumerateValueKey(key.get(), i, KeyValueBasicInformation, buffer, sizeof buffer, &length) ==
                      STATUS_SUCCESS;
         ++i) {
        auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
        values.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(values, (std::vector<std::u16string>{u"A", u"m"}));
    EXPECT_EQ(ZwEnumerateValueKey(key.get(), 2, KeyValueBasicInformation, buffer, sizeof buffer, &length),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(machine.registry().GetDword("HKLM\\Software\\Ovu", "A"), 2u);
}

TEST_F(RegistryZw, DeletedKeysRefuseEveryOperationUntilClosed) {
    ZwKey parent, child;
    ASSERT_EQ(parent.Create(u"\\Registry\\Machine\\Software\\Ovu"), STATUS_SUCCESS);
    ASSERT_EQ(child.Create(u"Child", parent.get()), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(child.get(), u"v", REG_DWORD, Le32(1)), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent.get()), STATUS_CANNOT_DELETE);  // it has a subkey
    ASSERT_EQ(ZwDeleteKey(child.get()), STATUS_SUCCESS);
    EXPECT_FALSE(machine.registry().KeyExists("HKLM\\Software\\Ovu\\Child"));

    alignas(8) std::uint8_t buffer[64];
    ULONG length;
    UNICODE_STRING v = Name(u"v");
    EXPECT_EQ(SetValue(child.get(), u"v", REG_DWORD, Le32(2)), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwQueryValueKey(child.get(), &v, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteValueKey(child.get(), &v), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwEnumerateKey(child.get(), 0, KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwQueryKey(child.get(), KeyNameInformation, buffer, sizeof buffer, &length), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(child.get()), STATUS_KEY_DELETED);
    ZwKey below;
    EXPECT_EQ(below.Create(u"Below", child.get()), STATUS_KEY_DELETED);

    // A key of the same name is a new key; the old handle stays deleted.
    ZwKey fresh;
    ASSERT_EQ(fresh.Create(u"Child", parent.get()), STATUS_SUCCESS);
    EXPECT_EQ(fresh.disposition(), REG_CREATED_NEW_KEY);
    EXPECT_EQ(ZwQueryValueKey(fresh.get(), &v, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwQueryKey(child.get(), KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_KEY_DELETED);

    ZwKey hive;
    ASSERT_EQ(hive.Open(u"\\Registry\\Machine\\Software"), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(fresh.get()), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(parent.get()), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(hive.get()), STATUS_CANNOT_DELETE);
}

TEST_F(RegistryZw, MissingValuesAndHandlesThatAreNotKeys) {
    ZwKey key;
    ASSERT_EQ(key.Create(u"\\Registry\\Machine\\Software\\Ovu"), STATUS_SUCCESS);
    UNICODE_STRING nope = Name(u"nope");
    alignas(8) std::uint8_t buffer[64];
    ULONG length;
    EXPECT_EQ(ZwQueryValueKey(key.get(), &nope, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwDeleteValueKey(key.get(), &nope), STATUS_OBJECT_NAME_NOT_FOUND);

    struct NotAKey final : sim::Object {
        const char* TypeName() const override { return "Event"; }
    };
    HANDLE other = machine.processes().TestProcess().handles().Insert(std::make_shared<NotAKey>());
    EXPECT_EQ(ZwQueryValueKey(other, &nope, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwDeleteKey(reinterpret_cast<HANDLE>(0x7FF0)), STATUS_INVALID_HANDLE);
    ZwKey relative;
    EXPECT_EQ(relative.Open(u"x", other), STATUS_OBJECT_TYPE_MISMATCH);
    machine.processes().TestProcess().handles().Close(other);
}

TEST(RegistryZwDeathTest, NullResultLengthIsAVerifierStop) {
    EXPECT_DEATH(
        {
            sim::Machine machine;
            ZwKey key;
            key.Create(u"\\Registry\\Machine\\Software\\Ovu");
            ZwQueryKey(key.get(), KeyBasicInformation, nullptr, 0, nullptr);
        },
        "VERIFIER STOP: ZwQueryKey: ResultLength is a null pointer");
}

}  // namespace
