// The user view: Reg*W functions, their size rules and access checks, and
// the tree they share with the kernel view.
#include "tests/sim_registry/helpers.h"

#include "platform/win32/registry.h"
#include "sim/machine.h"

using namespace regtest;

namespace {

class RegistryWin32 : public ::testing::Test {
protected:
    // A key under HKEY_CURRENT_USER, opened with `access`.
    HKEY Open(const char16_t* path, REGSAM access) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, access, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }

    LSTATUS Set(HKEY key, const char16_t* name, DWORD type, const Bytes& data) {
        return RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    }

    sim::Machine machine;
};

TEST_F(RegistryWin32, QueryValueSizeRules) {
    HKEY key = Open(u"Software\\ORVA\\UAC-2 Driver", KEY_ALL_ACCESS);
    const Bytes rate = Le32(48000);
    ASSERT_EQ(Set(key, u"sampling_rate", REG_DWORD, rate), ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"sampling_rate", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);

    Bytes buffer(3, 0xCC);
    size = 3;
    EXPECT_EQ(RegQueryValueExW(key, u"sampling_rate", nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);

    buffer.assign(4, 0);
    EXPECT_EQ(RegQueryValueExW(key, u"SAMPLING_RATE", nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(buffer, rate);

    EXPECT_EQ(RegQueryValueExW(key, u"missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"sampling_rate", &reserved, &type, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, u"sampling_rate", nullptr, &type, buffer.data(), nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(RegistryWin32, UnterminatedStringsReadBackAsStoredWithATerminatorWhenThereIsRoom) {
    HKEY key = Open(u"Software\\Ovu", KEY_ALL_ACCESS);
    const Bytes stored = Utf16(u"USB\\VID", 0);  // written without its terminator
    ASSERT_EQ(Set(key, u"selected", REG_SZ, stored), ERROR_SUCCESS);

    Bytes exact(stored.size(), 0xCC);
    DWORD size = static_cast<DWORD>(exact.size());
    ASSERT_EQ(RegQueryValueExW(key, u"selected", nullptr, nullptr, exact.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(exact, stored);
    EXPECT_EQ(size, stored.size());

    Bytes roomy(stored.size() + 4, 0xCC);
    size = static_cast<DWORD>(roomy.size());
    ASSERT_EQ(RegQueryValueExW(key, u"selected", nullptr, nullptr, roomy.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, stored.size());  // the added terminator does not count
    Bytes expected = stored;
    expected.insert(expected.end(), {0, 0, 0xCC, 0xCC});
    EXPECT_EQ(roomy, expected);
    RegCloseKey(key);
}

TEST_F(RegistryWin32, EveryValueTypeCrossesBetweenTheViewsUnchanged) {
    HKEY key = Open(u"Software\\Ovu", KEY_ALL_ACCESS);
    ZwKey kernel;
    ASSERT_EQ(kernel.Open(u"\\Registry\\User\\S-1-5-21-3623811015-3361044348-30300820-1001\\SOFTWARE\\ovu"),
              STATUS_SUCCESS);
    for (const auto& v : EveryValueType()) {
        SCOPED_TRACE(std::string(v.name.begin(), v.name.end()));
        // User view writes, kernel view reads...
        ASSERT_EQ(Set(key, v.name.c_str(), v.type, v.data), ERROR_SUCCESS);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, v.name.c_str());
        alignas(8) std::uint8_t buffer[128];
        ULONG length = 0;
        ASSERT_EQ(ZwQueryValueKey(kernel.get(), &name, KeyValuePartialInformation, buffer, sizeof buffer, &length),
                  STATUS_SUCCESS);
        auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
        EXPECT_EQ(info->Type, v.type);
        EXPECT_EQ(Bytes(info->Data, info->Data + info->DataLength), v.data);
        // ...and the other way round.
        Bytes changed = v.data;
        changed.push_back(0x5A);
        ASSERT_EQ(ZwSetValueKey(kernel.get(), &name, 0, v.type, changed.data(), static_cast<ULONG>(changed.size())),
                  STATUS_SUCCESS);
        Bytes read(changed.size());
        DWORD type = 0, size = static_cast<DWORD>(read.size());
        ASSERT_EQ(RegQueryValueExW(key, v.name.c_str(), nullptr, &type, read.data(), &size), ERROR_SUCCESS);
        EXPECT_EQ(type, v.type);
        EXPECT_EQ(read, changed);
    }
    RegCloseKey(key);
}

TEST_F(RegistryWin32, OperationsNeedTheRightsTheHandleWasOpenedWith) {
    HKEY all = Open(u"Software\\Ovu", KEY_ALL_ACCESS);
    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExW(all, u"Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr), ERROR_SUCCESS);
    RegCloseKey(child);
    ASSERT_EQ(Set(all, u"v", REG_DWORD, Le32(1)), ERROR_SUCCESS);
    RegCloseKey(all);

    enum Op { kQuery, kSet, kDeleteValue, kEnumKey, kEnumValue, kInfo, kNotify, kDeleteTree };
    struct Case {
        REGSAM access;
        std::vector<Op> allowed;
    };
    const std::vector<Case> cases = {
        {KEY_READ | KEY_WOW64_64KEY, {kQuery, kEnumKey, kEnumValue, kInfo, kNotify}},
        {KEY_WRITE | KEY_WOW64_64KEY, {kSet, kDeleteValue}},
        {KEY_NOTIFY, {kNotify}},
        {KEY_QUERY_VALUE, {kQuery, kEnumValue, kInfo}},
        {KEY_ALL_ACCESS, {kQuery, kSet, kDeleteValue, kEnumKey, kEnumValue, kInfo, kNotify, kDeleteTree}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "access 0x" << std::hex << c.access);
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"software\\ovu", 0, c.access, &key), ERROR_SUCCESS);
        WCHAR name[32];
        DWORD chars, size;
        for (Op op : {kQuery, kSet, kDeleteValue, kEnumKey, kEnumValue, kInfo, kNotify, kDeleteTree}) {
            SCOPED_TRACE(op);
            LSTATUS result = ERROR_SUCCESS;
            switch (op) {
            case kQuery: result = RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size); break;
            case kSet: result = Set(key, u"w", REG_DWORD, Le32(2)); break;
            case kDeleteValue: result = RegDeleteValueW(key, u"w"); break;
            case kEnumKey:
                chars = 32;
                result = RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr);
                break;
            case kEnumValue:
                chars = 32;
                result = RegEnumValueW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr);
                break;
            case kInfo:
                result = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &size, nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr);
                break;
            // A synchronous wait would block: ask with an invalid event,
            // which is checked after the access.
            case kNotify:
                result = RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_NAME, reinterpret_cast<HANDLE>(0x7FF0),
                                                 TRUE);
                break;
            case kDeleteTree: result = RegDeleteTreeW(key, u"Missing"); break;
            }
            const bool allowed = std::find(c.allowed.begin(), c.allowed.end(), op) != c.allowed.end();
            if (allowed)
                EXPECT_NE(result, ERROR_ACCESS_DENIED);
            else
                EXPECT_EQ(result, ERROR_ACCESS_DENIED);
        }
        RegCloseKey(key);
    }
    EXPECT_EQ(machine.registry().GetDword("HKCU\\Software\\Ovu", "v"), 1u);
}

TEST_F(RegistryWin32, PredefinedKeysAndCreateDisposition) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{1234}\\InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);  // with the two keys above it
    RegCloseKey(key);
    EXPECT_TRUE(machine.registry().KeyExists("HKLM\\SOFTWARE\\Classes\\CLSID\\{1234}\\InprocServer32"));
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"software\\classes\\clsid", 0, nullptr, 0, KEY_READ, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(key);

    // HKEY_CURRENT_USER is the default user's hive under HKEY_USERS.
    ASSERT_TRUE(machine.registry().SetDword("HKCU\\Software\\Ovu", "x", 7));
    std::u16string userPath = u"";
    userPath += sim::Registry::kDefaultUserSid;
    userPath += u"\\Software\\Ovu";
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, userPath.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD x = 0, size = 4;
    EXPECT_EQ(RegQueryValueExW(key, u"x", nullptr, nullptr, reinterpret_cast<BYTE*>(&x), &size), ERROR_SUCCESS);
    EXPECT_EQ(x, 7u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

    // An empty subkey of a predefined key is that key itself.
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(HKEY_LOCAL_MACHINE), 0xFFFFFFFF80000002ull);
}

TEST_F(RegistryWin32, NamesCompareCaseInsensitivelyAndKeepTheirCase) {
    HKEY key = Open(u"SOFTWARE\\ORVA\\UAC-2 Driver", KEY_ALL_ACCESS);
    ASSERT_EQ(Set(key, u"Buffer_Size", REG_DWORD, Le32(256)), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, u"BUFFER_SIZE", REG_DWORD, Le32(512)), ERROR_SUCCESS);  // the same value
    RegCloseKey(key);

    HKEY orva = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"software\\orva", 0, KEY_READ, &orva), ERROR_SUCCESS);
    WCHAR name[64];
    DWORD chars = 64;
    ASSERT_EQ(RegEnumKeyExW(orva, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, chars), u"UAC-2 Driver");
    HKEY driver = nullptr;
    ASSERT_EQ(RegOpenKeyExW(orva, u"uac-2 DRIVER", 0, KEY_READ, &driver), ERROR_SUCCESS);
    BYTE data[8];
    DWORD size = sizeof data, type = 0;
    chars = 64;
    ASSERT_EQ(RegEnumValueW(driver, 0, name, &chars, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, chars), u"Buffer_Size");
    EXPECT_EQ(Bytes(data, data + size), Le32(512));
    RegCloseKey(driver);
    RegCloseKey(orva);
}

TEST_F(RegistryWin32, EnumerationBufferRules) {
    HKEY key = Open(u"Software\\Ovu", KEY_ALL_ACCESS);
    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyW(key, u"Device", &child), ERROR_SUCCESS);
    RegCloseKey(child);
    ASSERT_EQ(Set(key, u"Name", REG_BINARY, Bytes(10, 1)), ERROR_SUCCESS);

    WCHAR name[16];
    DWORD chars = 6;  // "Device" needs 7 with its terminator
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    chars = 7;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(chars, 6u);
    EXPECT_EQ(name[6], 0);
    EXPECT_EQ(RegEnumKeyW(key, 1, name, 16), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyW(key, 0, name, 6), ERROR_MORE_DATA);

    BYTE data[16];
    DWORD size = 4, type = 0;
    chars = 16;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &chars, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);  // the size the data needs
    EXPECT_EQ(type, REG_BINARY);
    chars = 4;  // "Name" needs 5
    size = sizeof data;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &chars, nullptr, &type, data, &size), ERROR_MORE_DATA);
    chars = 16;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &chars, nullptr, &type, data, &size), ERROR_NO_MORE_ITEMS);

    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxValueName = 0, maxValue = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkey, nullptr, &values, &maxValueName,
                               &maxValue, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 1u);
    EXPECT_EQ(maxSubkey, 6u);
    EXPECT_EQ(values, 1u);
    EXPECT_EQ(maxValueName, 4u);
    EXPECT_EQ(maxValue, 10u);
    RegCloseKey(key);
}

TEST_F(RegistryWin32, DeleteKeyRefusesKeysWithSubkeysAndDeleteTreeDoesNot) {
    HKEY key = Open(u"Software\\Ovu", KEY_ALL_ACCESS);
    HKEY deep = nullptr;
    ASSERT_EQ(RegCreateKeyExW(key, u"A\\B\\C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deep, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, u"kept", REG_DWORD, Le32(1)), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyW(key, u"A"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(key, u"Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(key, u"a\\b\\c"), ERROR_SUCCESS);
    EXPECT_EQ(Set(deep, u"v", REG_DWORD, Le32(1)), ERROR_KEY_DELETED);
    RegCloseKey(deep);

    ASSERT_EQ(RegCreateKeyExW(key, u"A\\B\\C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deep, nullptr), ERROR_SUCCESS);
    RegCloseKey(deep);
    EXPECT_EQ(RegDeleteTreeW(key, u"A"), ERROR_SUCCESS);
    EXPECT_FALSE(machine.registry().KeyExists("HKCU\\Software\\Ovu\\A"));
    EXPECT_EQ(machine.registry().GetDword("HKCU\\Software\\Ovu", "kept"), 1u);

    // Without a subkey name the tree empties the key itself but keeps it.
    ASSERT_TRUE(machine.registry().CreateKey("HKCU\\Software\\Ovu\\X\\Y"));
    EXPECT_EQ(RegDeleteTreeW(key, nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(machine.registry().KeyExists("HKCU\\Software\\Ovu"));
    EXPECT_TRUE(machine.registry().SubkeyNames("HKCU\\Software\\Ovu").empty());
    EXPECT_TRUE(machine.registry().ValueNames("HKCU\\Software\\Ovu").empty());
    RegCloseKey(key);

    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes"), ERROR_ACCESS_DENIED);  // a hive key stays
}

TEST_F(RegistryWin32, GetValueChecksTypesAndTerminatesStrings) {
    HKEY key = Open(u"Software\\Ovu", KEY_ALL_ACCESS);
    ASSERT_EQ(Set(key, u"dword", REG_DWORD, Le32(5)), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, u"bin4", REG_BINARY, Le32(6)), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, u"bin3", REG_BINARY, {1, 2, 3}), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, u"short dword", REG_DWORD, {1, 2}), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, u"text", REG_SZ, Utf16(u"abc", 0)), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, u"path", REG_EXPAND_SZ, Utf16(u"%SystemRoot%\\x %UNKNOWN% %Audio%")), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_TRUE(machine.registry().SetString("HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot",
                                             "C:\\Windows"));
    ASSERT_TRUE(machine.registry().SetString(
        "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", "AUDIO", "on"));

    struct Case {
        const char16_t* value;
        DWORD flags;
        LSTATUS result;
        DWORD type;
        Bytes data;
    };
    const std::vector<Case> cases = {
        {u"dword", RRF_RT_REG_DWORD, ERROR_SUCCESS, REG_DWORD, Le32(5)},
        {u"dword", RRF_RT_REG_SZ, ERROR_UNSUPPORTED_TYPE, 0, {}},
        {u"bin4", RRF_RT_DWORD, ERROR_SUCCESS, REG_BINARY, Le32(6)},
        {u"bin3", RRF_RT_DWORD, ERROR_DATATYPE_MISMATCH, 0, {}},
        {u"bin3", RRF_RT_ANY, ERROR_SUCCESS, REG_BINARY, {1, 2, 3}},
        {u"short dword", RRF_RT_ANY, ERROR_DATATYPE_MISMATCH, 0, {}},
        {u"text", RRF_RT_REG_SZ, ERROR_SUCCESS, REG_SZ, Utf16(u"abc")},
        {u"path", RRF_RT_REG_SZ, ERROR_SUCCESS, REG_SZ, Utf16(u"C:\\Windows\\x %UNKNOWN% on")},
        {u"path", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, ERROR_SUCCESS, REG_EXPAND_SZ,
         Utf16(u"%SystemRoot%\\x %UNKNOWN% %Audio%")},
        {u"path", RRF_RT_REG_EXPAND_SZ, ERROR_INVALID_PARAMETER, 0, {}},
        {u"missing", RRF_RT_ANY, ERROR_FILE_NOT_FOUND, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.value, c.value + std::char_traits<char16_t>::length(c.value)));
        BYTE data[128];
        DWORD type = 0, size = sizeof data;
        EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Software\\Ovu", c.value, c.flags, &type, data, &size), c.result);
        if (c.result != ERROR_SUCCESS) continue;
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(Bytes(data, data + size), c.data);
    }
    // The size on its own, and a buffer that is too small.
    DWORD size = 0;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Software\\Ovu", u"text", RRF_RT_REG_SZ, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    BYTE small[4] = {9, 9, 9, 9};
    size = sizeof small;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, u"Software\\Ovu", u"text", RRF_RT_REG_SZ | RRF_ZEROONFAILURE, nullptr,
                           small, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(Bytes(small, small + 4), Bytes(4, 0));
}

}  // namespace
