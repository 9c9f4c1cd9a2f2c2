// .reg import and export: the regedit syntax, encodings, errors, and the
// round trip of every value type.
#include "tests/sim_registry/helpers.h"

#include "sim/machine.h"
#include "sim/strings.h"

#include <cstdio>
#include <sstream>

using namespace regtest;
using sim::RegImportResult;

namespace {

// Every key below `path` with its values (names, types, bytes) in
// enumeration order: two registries agree when their snapshots do.
void Snapshot(const sim::Registry& registry, const std::u16string& path, std::vector<std::string>* out) {
    std::string header = "[";
    header += sim::ToUtf8(path);
    out->push_back(header + "]");
    for (const auto& name : registry.ValueNames(path)) {
        auto value = registry.GetValue(path, name);
        std::ostringstream line;
        line << '"' << sim::ToUtf8(name) << "\" type " << value->type << ':';
        for (auto b : value->data) line << ' ' << int(b);
        out->push_back(line.str());
    }
    for (const auto& child : registry.SubkeyNames(path)) Snapshot(registry, path + u"\\" + child, out);
}

std::vector<std::string> Snapshot(const sim::Registry& registry, const std::u16string& path) {
    std::vector<std::string> out;
    Snapshot(registry, path, &out);
    return out;
}

// UTF-16LE with BOM and CRLF line ends, as regedit writes files.
std::string AsWindowsFile(std::string_view utf8) {
    std::string withCrlf;
    for (char c : utf8) {
        if (c == '\n') withCrlf += '\r';
        withCrlf += c;
    }
    std::string bytes = "\xFF\xFE";
    for (char16_t c : sim::ToU16(withCrlf)) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

TEST(RegistryRegFile, ExportReimportsToAnIdenticalTree) {
    sim::Machine source;
    sim::Registry& r = source.registry();
    const std::u16string root = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Ovu Test";
    for (const auto& v : EveryValueType()) ASSERT_TRUE(r.SetValue(root, v.name, v.type, v.data));

    // Strings the quoted form cannot carry byte for byte, and some it can.
    const std::u16string strings = root + u"\\Strings";
    std::u16string lone = u"x";
    lone.push_back(0xD800);
    Bytes counting(300);
    for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
    const std::vector<TypedValue> hard = {
        {u"quotes \"and\" \\back\\slashes", REG_SZ, Utf16(u"C:\\Path \"quoted\" \u00e9 \U0001F600")},
        {u"empty", REG_SZ, Utf16(u"")},
        {u"embedded nul", REG_SZ, Utf16(std::u16string_view(u"a\0b", 3))},
        {u"line break", REG_SZ, Utf16(u"a\r\nb")},
        {u"odd length", REG_SZ, {0x41}},
        {u"nothing at all", REG_SZ, {}},
        {u"lone surrogate", REG_SZ, Utf16(lone)},
        {u"dword of three bytes", REG_DWORD, {1, 2, 3}},
        {u"long binary", REG_BINARY, counting},
        {u"@", REG_SZ, Utf16(u"a value named @")},
    };
    for (const auto& v : hard) ASSERT_TRUE(r.SetValue(strings, v.name, v.type, v.data));
    // The default value after another one: value order must survive too.
    ASSERT_TRUE(r.SetString(root + u"\\Order", "first", "1"));
    ASSERT_TRUE(r.SetString(root + u"\\Order", "", "default"));
    for (const char* key : {"Zeta", "alpha", "Beta\\Deeper"}) ASSERT_TRUE(r.CreateKey(root + u"\\" + sim::ToU16(key)));

    auto text = r.ExportRegText(u"hklm\\software\\OVU TEST");
    ASSERT_TRUE(text);
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;

    sim::Machine target;
    RegImportResult result = target.registry().ImportRegText(*text);
    ASSERT_TRUE(result) << result.line << ": " << result.error;
    EXPECT_EQ(Snapshot(target.registry(), root), Snapshot(r, root));
    EXPECT_EQ(target.registry().ExportRegText(root), text);
}

TEST(RegistryRegFile, ExportWritesTheRegeditFormat) {
    sim::Machine machine;
    sim::Registry& r = machine.registry();
    const char* key = "HKCU\\Software\\Ovu";
    ASSERT_TRUE(r.SetString(key, "", "C:\\panel \"x\""));
    ASSERT_TRUE(r.SetDword(key, "buffer_size", 256));
    ASSERT_TRUE(r.SetValue(key, "selected", REG_SZ, Utf16(u"ab", 0)));
    ASSERT_TRUE(r.SetBinary(key, "mac", {0xDE, 0xAD}));
    ASSERT_TRUE(r.SetMultiString(key, "list", {u"a", u"b"}));
    ASSERT_TRUE(r.SetQword(key, "q", 1));
    ASSERT_TRUE(r.SetString(key, "path", "%SystemRoot%", REG_EXPAND_SZ));
    ASSERT_TRUE(r.CreateKey("HKCU\\Software\\Ovu\\Sub"));
    EXPECT_EQ(r.ExportRegText(key),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Ovu]\n"
              "@=\"C:\\\\panel \\\"x\\\"\"\n"
              "\"buffer_size\"=dword:00000100\n"
              "\"selected\"=hex(1):61,00,62,00\n"
              "\"mac\"=hex:de,ad\n"
              "\"list\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
              "\"q\"=hex(b):01,00,00,00,00,00,00,00\n"
              "\"path\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,\\\n"
              "  00,25,00,00,00\n"
              "\n"
              "[HKEY_CURRENT_USER\\Software\\Ovu\\Sub]\n"
              "\n");
    EXPECT_FALSE(r.ExportRegText("HKLM\\Software\\Missing"));
    EXPECT_FALSE(r.ExportRegText("HKEY_NOWHERE\\X"));
    // A kernel-style path is exported under its hive's HKEY_ name.
    auto native = r.ExportRegText(u"\\Registry\\User\\" + std::u16string(sim::Registry::kDefaultUserSid) +
                                  u"\\Software\\Ovu\\Sub");
    ASSERT_TRUE(native);
    EXPECT_NE(native->find("[HKEY_USERS\\S-1-5-21-"), std::string::npos);
}

constexpr const char* kHandWritten =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "; seeded by hand\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ovuac2audio\\Parameters]\n"
    "@=\"default text\"\n"
    "\"Quoted \\\"name\\\"\"=\"C:\\\\Program Files\\\\ORVA\\\\panel.exe\"\n"
    "\"Margin Formula SS\"=hex:40,00,00,00,01,00,00,00,04,00,00,00,00,00,00,00,\\\n"
    "  e0,00,00,00,01,00,00,00,02,00,00,00,00,00,00,00\n"
    "\"gDumpCapture\" = dword:00000002\n"
    "\"Expand\"=hex(2):25,00,53,00,00,00\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
    "\"Big\"=hex(b):ff,ff,ff,ff,00,00,00,00\n"
    "\"Nothing\"=hex(0):\n"
    "\"Custom\"=HEX(12345):1,2\n"
    "\"Obsolete\"=-\n"
    "\n"
    "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ovuac2audio\\Stale]\n"
    "\"ignored\"=dword:1\n"
    "\n"
    "[HKCU\\Software\\ORVA\\UAC-2 Driver]\n"
    "\"buffer_size\"=dword:100\n";

TEST(RegistryRegFile, HandWrittenFileWithEverySyntaxFeature) {
    for (bool windowsFile : {false, true}) {
        SCOPED_TRACE(windowsFile ? "UTF-16LE with BOM, CRLF" : "UTF-8");
        sim::Machine machine;
        sim::Registry& r = machine.registry();
        const char* params = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\ovuac2audio\\Parameters";
        ASSERT_TRUE(r.SetDword(params, "Obsolete", 1));
        ASSERT_TRUE(r.CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Services\\ovuac2audio\\Stale\\Below"));

        RegImportResult result = r.ImportRegText(windowsFile ? AsWindowsFile(kHandWritten) : kHandWritten);
        ASSERT_TRUE(result) << result.line << ": " << result.error;

        EXPECT_EQ(r.GetString(params, ""), u"default text");
        EXPECT_EQ(r.GetValue(params, "quoted \"NAME\""),
                  (sim::RegValue{REG_SZ, Utf16(u"C:\\Program Files\\ORVA\\panel.exe")}));
        Bytes margin = {0x40, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0,
                        0xE0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(r.GetValue(params, "Margin Formula SS"), (sim::RegValue{REG_BINARY, margin}));
        EXPECT_EQ(r.GetValue(params, "gDumpCapture"), (sim::RegValue{REG_DWORD, Le32(2)}));
        EXPECT_EQ(r.GetValue(params, "Expand"), (sim::RegValue{REG_EXPAND_SZ, Utf16(u"%S")}));
        EXPECT_EQ(r.GetMultiString(params, "Multi"), (std::vector<std::u16string>{u"a", u"b"}));
        EXPECT_EQ(r.GetQword(params, "Big"), 0xFFFFFFFFull);
        EXPECT_EQ(r.GetValue(params, "Nothing"), (sim::RegValue{REG_NONE, {}}));
        EXPECT_EQ(r.GetValue(params, "Custom"), (sim::RegValue{0x12345, {1, 2}}));
        EXPECT_FALSE(r.GetValue(params, "Obsolete"));
        EXPECT_FALSE(r.KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\ovuac2audio\\Stale"));
        EXPECT_EQ(r.GetDword("HKCU\\Software\\ORVA\\UAC-2 Driver", "buffer_size"), 0x100u);
        EXPECT_EQ(r.ValueNames(params), (std::vector<std::u16string>{u"", u"Quoted \"name\"", u"Margin Formula SS",
                                                                  u"gDumpCapture", u"Expand", u"Multi", u"Big",
                                                                  u"Nothing", u"Custom"}));
    }
}

TEST(RegistryRegFile, MalformedTextIsRejectedWholeWithItsLine) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Applied]\n"
                               "\"first\"=dword:1\n";  // lines 1-4
    struct Case {
        std::string text;
        std::size_t line;
    };
    const std::vector<Case> cases = {
        {"", 1},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Applied]\n", 1},
        {"Windows Registry Editor Version 5.00\n\"v\"=dword:1\n", 2},
        {header + "\"x\"=dword:123456789\n", 5},
        {header + "\"x\"=\"a\\qb\"\n", 5},
        {header + "\"x\"=\"abc\n", 5},
        {header + "\"x\"=hex:01,1g\n", 5},
        {header + "\"x\"=hex:01,100\n", 5},
        {header + "\"x\"=hex(zz):01\n", 5},
        {header + "\"x\"=word:1\n", 5},
        {header + "\"x\" dword:1\n", 5},
        {header + "x=dword:1\n", 5},
        {header + "\"x\"=\"a\" trailing\n", 5},
        {header + "[HKEY_NOWHERE\\X]\n", 5},
        {header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\n", 5},
        {header + "\n\"x\"=hex:01,\\", 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        sim::Machine machine;
        RegImportResult result = machine.registry().ImportRegText(c.text);
        EXPECT_FALSE(result);
        EXPECT_EQ(result.line, c.line) << result.error;
        EXPECT_FALSE(result.error.empty());
        EXPECT_FALSE(machine.registry().KeyExists("HKLM\\SOFTWARE\\Applied"));
    }
}

TEST(RegistryRegFile, FilesOnDisk) {
    sim::Machine machine;
    sim::Registry& r = machine.registry();
    ASSERT_TRUE(r.SetDword("HKLM\\SOFTWARE\\Ovu", "v", 3));
    const std::string path = testing::TempDir() + "registry_file_test.reg";
    ASSERT_TRUE(r.ExportRegFile("HKLM\\SOFTWARE\\Ovu", path));
    ASSERT_TRUE(r.DeleteKey("HKLM\\SOFTWARE\\Ovu"));
    RegImportResult result = r.ImportRegFile(path);
    ASSERT_TRUE(result) << result.error;
    EXPECT_EQ(r.GetDword("HKLM\\SOFTWARE\\Ovu", "v"), 3u);
    std::remove(path.c_str());
    EXPECT_FALSE(r.ImportRegFile(path));
}

}  // namespace
