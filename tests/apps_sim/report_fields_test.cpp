// The README's table of the JSON report's fields against real reports: a
// field a report carries that the table does not document fails, and so does
// a documented field that no report carries. The reports come from runs that
// between them reach every field.
#include "simulator_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

using simtest::FreshPath;
using simtest::ReadFile;
using simtest::RunSimulator;

std::string WithoutArrayMarks(std::string path) {
    for (std::size_t at; (at = path.find("[]")) != std::string::npos;) path.erase(at, 2);
    return path;
}

// The table's rows: "| `path`, `path` | meaning with `field`, `field[]` |".
// The paths of the first cell are documented, and each name in backticks in
// the second cell is a field of each of them.
std::set<std::string> DocumentedFields(const std::string& readme) {
    std::set<std::string> fields;
    const std::size_t table = readme.find("| field | meaning |");
    if (table == std::string::npos) return fields;
    std::istringstream lines(readme.substr(table));
    const std::regex ticked("`([^`]+)`");
    const std::regex name("[A-Za-z][A-Za-z0-9]*(\\[\\])?");
    std::string line;
    std::getline(lines, line);  // header
    std::getline(lines, line);  // |---|---|
    while (std::getline(lines, line) && line.rfind("|", 0) == 0) {
        const std::size_t split = line.find('|', 1);
        const std::string paths = line.substr(1, split - 1);
        const std::string meaning = line.substr(split + 1);
        for (std::sregex_iterator p(paths.begin(), paths.end(), ticked), end; p != end; ++p) {
            const std::string path = WithoutArrayMarks((*p)[1]);
            fields.insert(path);
            for (std::sregex_iterator f(meaning.begin(), meaning.end(), ticked); f != end; ++f)
                if (std::regex_match((*f)[1].str(), name)) fields.insert(path + "." + WithoutArrayMarks((*f)[1]));
        }
    }
    return fields;
}

struct Reported {
    std::set<std::string> leaves;      // values, arrays of values, empty arrays and objects
    std::set<std::string> containers; // objects and arrays of objects
};

void Collect(const nlohmann::json& value, const std::string& path, Reported* out) {
    const auto child = [&](const std::string& key) { return path.empty() ? key : path + "." + key; };
    if (value.is_object() && !value.empty()) {
        if (!path.empty()) out->containers.insert(path);
        for (const auto& [key, item] : value.items()) Collect(item, child(key), out);
    } else if (value.is_array() && !value.empty() && value.front().is_object()) {
        out->containers.insert(path);
        for (const auto& item : value) Collect(item, path, out);
    } else {
        out->leaves.insert(path);
    }
}

TEST(SimulatorReport, TheReadmeTableDocumentsEveryFieldOfARealReport) {
    const std::set<std::string> documented = DocumentedFields(ReadFile(OVU_README));
    ASSERT_GT(documented.size(), 20u) << "the README's field table was not found";

    // Between them: a clean 2.0 run; a 1.0 dump whose streaming is refused;
    // a dump served as MIDI (its subdevice fails, its audio settings have a
    // feedback endpoint); a device that does not start; a refused clock
    // source.
    const std::string fixtures = OVU_USB_FIXTURES;
    const std::string runs[] = {
        "--duration 0.05 --time-scale 0",
        "--raw " + fixtures + "/audio10_microphone.hex --duration 0.05 --time-scale 0",
        "--raw " + fixtures + "/nux_mg300_uac2.hex",
        "--raw " + simtest::WriteVendorOnlyDump(),
        "--clock-source 36",
    };
    Reported reported;
    for (const std::string& arguments : runs) {
        const std::string json = FreshPath("fields.json");
        const auto run = RunSimulator(arguments + " --json " + json);
        const std::string text = ReadFile(json);
        ASSERT_FALSE(text.empty()) << arguments << "\n" << run.output;
        Collect(nlohmann::json::parse(text), "", &reported);
    }
    for (const std::string& field : reported.leaves)
        EXPECT_TRUE(documented.count(WithoutArrayMarks(field))) << "reported but not documented: " << field;
    for (const std::string& field : documented)
        EXPECT_TRUE(reported.leaves.count(field) || reported.containers.count(field))
            << "documented but never reported: " << field;
}

}  // namespace
