// The simulator binary as a user runs it: a short clean run with its report
// and JSON, a second run from the first one's saved registry, the high rates,
// real devices' dumps, and what it reports when the device does not start or
// a change is refused.
#include "simulator_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace {

using simtest::FreshPath;
using simtest::ReadFile;
using simtest::Result;
using simtest::RunSimulator;
using Json = nlohmann::json;

Json ReadJson(const std::string& path) {
    const std::string text = ReadFile(path);
    return text.empty() ? Json() : Json::parse(text);
}

TEST(Simulator, AShortSteppedRunEndsCleanWithItsReport) {
    const std::string json = FreshPath("report.json");
    const Result run = RunSimulator("--duration 0.2 --time-scale 0 --json " + json);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("device: USB Audio Class 2.0 at high speed"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("IN transfers of 3072 bytes (6 chunks, 24 frames)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("clean run"), std::string::npos) << run.output;

    const std::string report = ReadFile(json);
    for (const char* field : {"\"classVersion\":\"2.0\"", "\"busSpeed\":\"high\"", "\"sampleRate\":44100",
                              "\"outStride\":196608", "\"outSlots\":8", "\"counterGaps\":0", "\"clean\":true"})
        EXPECT_NE(report.find(field), std::string::npos) << field << "\n" << report;

    // What the driver published, as observed.
    const Json j = Json::parse(report);
    EXPECT_EQ(j["started"], true);
    EXPECT_EQ(j["startStatus"], (Json{{"name", "STATUS_SUCCESS"}, {"value", "0x00000000"}}));
    EXPECT_EQ(j["busSpeedRule"], "the profile's default");
    EXPECT_EQ(j["device"]["strings"], "device");
    ASSERT_EQ(j["subdevices"].size(), 1u);
    EXPECT_EQ(j["subdevices"][0]["name"], "Wave");
    EXPECT_EQ(j["subdevices"][0]["port"], "WaveRT");
    EXPECT_EQ(j["subdevices"][0]["registered"], true);
    EXPECT_EQ(j["clockSources"]["published"], (Json{37, 38, 39, 40}));
    EXPECT_EQ(j["clockSources"]["selected"], 37);
    EXPECT_EQ(j["streamStart"]["status"]["name"], "STATUS_SUCCESS");
    const Json& alt = j["device"]["streamingInterfaces"][0]["altSettings"][0];
    EXPECT_EQ(alt["transferType"], "bulk");
    EXPECT_TRUE(alt["feedbackEndpoint"].is_null());
}

// What a real machine keeps between boots goes through the .reg file: the
// device's "initialized", its clock-source properties and the endpoint
// records the rate is restored from.
TEST(Simulator, ASecondRunFromTheSavedRegistryStartsAtTheChangedRate) {
    const std::string saved = FreshPath("machine.reg");
    const std::string json = FreshPath("second.json");
    const Result first = RunSimulator("--rate 96000 --duration 0.05 --time-scale 0 --save-registry " + saved);
    ASSERT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("clock source 37, 96000 Hz"), std::string::npos) << first.output;
    const std::string machine = ReadFile(saved);
    EXPECT_NE(machine.find("\"initialized\"=dword:00000000"), std::string::npos) << machine;

    const Result second = RunSimulator("--duration 0.05 --time-scale 0 --registry " + saved + " --json " + json);
    ASSERT_EQ(second.status, 0) << second.output;
    EXPECT_NE(ReadFile(json).find("\"sampleRate\":96000"), std::string::npos) << second.output;
}

// At 176.4 and 192 kHz a high-speed bus carries 16 channels a frame (the
// driver's limits, the device's frames); SuperSpeed keeps 32.
TEST(Simulator, HighRatesStreamCleanAtHighSpeedAndSuperSpeed) {
    const struct { const char* arguments; const char* capture; } cases[] = {
        {"--speed high --rate 176400", "capture:  16 ch x 32 bits"},
        {"--speed high --rate 192000", "capture:  16 ch x 32 bits"},
        {"--speed super --rate 192000", "capture:  32 ch x 32 bits"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Result run = RunSimulator(std::string(c.arguments) + " --duration 0.05 --time-scale 0");
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find(c.capture), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("counter pattern: "), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("clean run"), std::string::npos) << run.output;
    }
}

TEST(Simulator, ARefusedRateIsOneLineWithTheStatus) {
    const std::string json = FreshPath("report.json");
    const Result run = RunSimulator("--speed full --rate 96000 --duration 0.05 --time-scale 0 --json " + json);
    EXPECT_EQ(run.status, 1);
    const std::string message = "the rate change to 96000 Hz failed: STATUS_INVALID_DEVICE_REQUEST (0xC0000010)";
    EXPECT_NE(run.output.find("ovuac2sim: " + message + "\n"), std::string::npos) << run.output;
    const Json j = ReadJson(json);
    EXPECT_EQ(j["problem"], message);
    EXPECT_EQ(j["streamed"], false);
    EXPECT_FALSE(j.contains("streamStart")) << "nothing streamed after the refusal";
}

TEST(Simulator, ARefusedClockSourceSelectionIsReportedAndStopsTheRun) {
    const std::string json = FreshPath("report.json");
    const Result run = RunSimulator("--clock-source 36 --json " + json);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("ovuac2sim: the clock-source selection of 36 failed: STATUS_INVALID_PARAMETER "
                              "(0xC000000D)\n"),
              std::string::npos)
        << run.output;
    const Json j = ReadJson(json);
    EXPECT_EQ(j["clockSelection"]["requested"], 36);
    EXPECT_EQ(j["clockSelection"]["status"], (Json{{"name", "STATUS_INVALID_PARAMETER"}, {"value", "0xC000000D"}}));
    EXPECT_EQ(j["clockSources"]["selected"], 37) << "the stored choice stays";
}

// A device the driver does not start still gets its report: the start's
// status and the driver's last trace lines, and nothing it did not see.
TEST(Simulator, ADeviceThatDoesNotStartStillWritesItsReport) {
    const std::string json = FreshPath("report.json");
    const Result run = RunSimulator("--raw " + simtest::WriteVendorOnlyDump() + " --json " + json);
    EXPECT_EQ(run.status, 1);
    const Json j = ReadJson(json);
    ASSERT_TRUE(j.is_object()) << run.output;
    EXPECT_EQ(j["started"], false);
    const std::string status = j["startStatus"]["name"];
    EXPECT_NE(status, "STATUS_SUCCESS");
    EXPECT_NE(run.output.find("ovuac2sim: the device failed to start: " + status + " (" +
                              j["startStatus"]["value"].get<std::string>() + ")\n"),
              std::string::npos)
        << run.output;
    ASSERT_FALSE(j["traceTail"].empty());
    EXPECT_LE(j["traceTail"].size(), 20u);
    EXPECT_NE(run.output.find(j["traceTail"].back().get<std::string>()), std::string::npos) << "printed too";
    for (const char* unseen : {"device", "subdevices", "filter", "streamStart", "counters", "transfers"})
        EXPECT_FALSE(j.contains(unseen)) << unseen;
    EXPECT_EQ(j["clean"], false);
}

// Dumps of real devices' device and configuration descriptors, without
// strings: each starts, with placeholder strings and its speed from its own
// descriptors, and its run ends where the driver stops it (a MIDI
// subdevice there is no miniport for yet; streaming refused on isochronous
// endpoints and a missing direction), never reported clean.
TEST(Simulator, RealDumpsStartAndEndWhereTheDriverStopsThem) {
    const struct {
        std::string path;
        const char* speed;
        const char* rule;
        Json placeholders;
        bool midi;
    } dumps[] = {
        {OVU_USB_FIXTURES "/nux_mg300_uac2.hex", "high", "no full-speed sign", {1, 2, 3, 4}, true},
        {OVU_USB_FIXTURES "/midi10_adapter.hex", "full", "bcdUSB is below 2.00", {1, 2}, true},
        {OVU_USB_FIXTURES "/audio10_microphone.hex", "full", "bcdUSB is below 2.00", {1, 2}, false},
        {OVU_FILTER_FIXTURES "/fosi_ds2_uac2.hex", "high", "no full-speed sign", {1, 2, 3, 6}, false},
    };
    for (const auto& dump : dumps) {
        SCOPED_TRACE(dump.path);
        const std::string json = FreshPath("report.json");
        const Result run = RunSimulator("--raw " + dump.path + " --duration 0.05 --time-scale 0 --json " + json);
        EXPECT_EQ(run.status, 1) << run.output;
        const Json j = ReadJson(json);
        ASSERT_TRUE(j.is_object()) << run.output;
        EXPECT_EQ(j["started"], true);
        EXPECT_EQ(j["busSpeed"], dump.speed);
        EXPECT_EQ(j["busSpeedRule"], dump.rule);
        EXPECT_EQ(j["device"]["strings"], "placeholders");
        EXPECT_EQ(j["device"]["placeholderStrings"], dump.placeholders);
        EXPECT_EQ(j["clean"], false);
        if (dump.midi) {
            ASSERT_EQ(j["subdevices"].size(), 1u) << j["subdevices"];
            EXPECT_EQ(j["subdevices"][0]["port"], "MIDI");
            EXPECT_EQ(j["subdevices"][0]["registered"], false);
            EXPECT_NE(j["problem"].get<std::string>().find("MIDI subdevice failed"), std::string::npos);
            EXPECT_FALSE(j.contains("streamStart"));
        } else {
            EXPECT_EQ(j["subdevices"][0]["name"], "Wave");
            EXPECT_NE(j["streamStart"]["status"]["name"], "STATUS_SUCCESS");
            EXPECT_EQ(j["streamed"], false);
            const std::string notes = j["streamStart"]["deviceNotes"].dump();
            EXPECT_NE(notes.find("isochronous data endpoint"), std::string::npos) << notes;
            EXPECT_NE(notes.find("streaming interface"), std::string::npos) << notes;
        }
    }
}

// The MIDI profile: the driver's "Midi" subdevice has no miniport yet, so
// the run says so and is not clean.
TEST(Simulator, AMidiDeviceWhoseSubdeviceFailsIsNotClean) {
    const Result run = RunSimulator("--profile midi");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("subdevice (MIDI port): failed at PcNewMiniport: STATUS_INVALID_PARAMETER"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("NOT CLEAN: a MIDI subdevice failed"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("clean run"), std::string::npos) << run.output;
}

}  // namespace
