// The simulator's by-path API: path styles, typed accessors, hive keys.
#include "tests/sim_registry/helpers.h"

#include "sim/machine.h"

using namespace regtest;

namespace {

TEST(RegistrySimApi, PathStylesNameTheSameKeys) {
    sim::Machine machine;
    sim::Registry& r = machine.registry();
    ASSERT_TRUE(r.SetDword("HKEY_CURRENT_USER\\Software\\Ovu", "v", 1));
    const std::u16string user = u"\\Registry\\User\\" + std::u16string(sim::Registry::kDefaultUserSid);
    EXPECT_EQ(r.GetDword(user + u"\\SOFTWARE\\ovu", "V"), 1u);
    EXPECT_EQ(r.GetDword(u"HKU\\" + std::u16string(sim::Registry::kDefaultUserSid) + u"\\Software\\Ovu", "v"), 1u);
    ASSERT_TRUE(r.SetDword("HKCR\\CLSID\\{x}", "w", 2));
    EXPECT_EQ(r.GetDword("\\Registry\\Machine\\Software\\Classes\\CLSID\\{x}", "w"), 2u);
    EXPECT_FALSE(r.SetDword("HKEY_NOWHERE\\X", "v", 1));
    EXPECT_FALSE(r.SetDword("Software\\Relative", "v", 1));
}

TEST(RegistrySimApi, TypedAccessorsReadOnlyTheirOwnType) {
    sim::Machine machine;
    sim::Registry& r = machine.registry();
    const char* key = "HKLM\\SOFTWARE\\Ovu";
    ASSERT_TRUE(r.SetString(key, "s", "text"));
    ASSERT_TRUE(r.SetMultiString(key, "m", {u"one", u"two"}));
    ASSERT_TRUE(r.SetValue(key, "short", REG_DWORD, {1, 2}));
    ASSERT_TRUE(r.SetValue(key, "unterminated", REG_SZ, Utf16(u"abc", 0)));

    EXPECT_EQ(r.GetValue(key, "s"), (sim::RegValue{REG_SZ, Utf16(u"text")}));
    EXPECT_EQ(r.GetString(key, "s"), u"text");
    EXPECT_EQ(r.GetString(key, "unterminated"), u"abc");
    EXPECT_EQ(r.GetValue(key, "m"), (sim::RegValue{REG_MULTI_SZ, Utf16(std::u16string_view(u"one\0two\0", 8), 1)}));
    EXPECT_EQ(r.GetMultiString(key, "m"), (std::vector<std::u16string>{u"one", u"two"}));
    EXPECT_FALSE(r.GetDword(key, "s"));
    EXPECT_FALSE(r.GetDword(key, "short"));  // a REG_DWORD of the wrong size
    EXPECT_FALSE(r.GetString(key, "m"));
    EXPECT_FALSE(r.GetValue(key, "missing"));
    EXPECT_FALSE(r.GetValue("HKLM\\SOFTWARE\\Missing", "s"));
    EXPECT_TRUE(r.DeleteValue(key, "S"));
    EXPECT_FALSE(r.DeleteValue(key, "s"));
}

TEST(RegistrySimApi, HiveKeysExistAndStay) {
    sim::Machine machine;
    sim::Registry& r = machine.registry();
    EXPECT_EQ(r.SubkeyNames("\\Registry\\Machine"), (std::vector<std::u16string>{u"HARDWARE", u"SOFTWARE", u"SYSTEM"}));
    EXPECT_TRUE(r.KeyExists("HKCU"));
    EXPECT_TRUE(r.KeyExists("HKCR"));
    ASSERT_TRUE(r.CreateKey("HKLM\\SOFTWARE\\Ovu\\Deep\\Deeper"));
    EXPECT_FALSE(r.DeleteKey("HKLM\\SOFTWARE"));  // its contents go, the hive key stays
    EXPECT_TRUE(r.KeyExists("HKLM\\SOFTWARE\\Classes"));
    EXPECT_FALSE(r.KeyExists("HKLM\\SOFTWARE\\Ovu"));
    EXPECT_FALSE(r.DeleteKey("HKLM\\SOFTWARE\\Ovu"));
    EXPECT_TRUE(r.SubkeyNames("HKLM\\SOFTWARE\\Missing").empty());
}

}  // namespace
