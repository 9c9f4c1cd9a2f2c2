// What a simulator run observed: whether the device started, the parsed
// device, the subdevices and clock sources the driver published, the
// streaming set-up, the counters. Printed for a person as the run goes and
// written as JSON for scripts at the end. Only what happened is filled in:
// a part that did not run stays empty, and its section says nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ovusim {

// An NTSTATUS as the report shows it.
struct StatusInfo {
    std::string name;  // "STATUS_NOT_SUPPORTED", or "status" when the value has no name here
    std::uint32_t value = 0;
    std::string Text() const;  // "STATUS_NOT_SUPPORTED (0xC00000BB)"
    std::string Hex() const;   // "0xC00000BB"
};

struct StartInfo {
    bool started = false;   // the device reached the started state
    StatusInfo status;      // the start request's status
    std::vector<std::string> traceTail;  // the driver's last trace lines, when it did not start
};

struct EntityInfo {
    std::string kind;  // "input terminal", "clock selector", ...
    std::string name;  // the driver's display name, "IT(1)"
    unsigned id = 0;
    std::vector<unsigned> sources;
    int clockId = -1;  // terminals of a 2.0 device
};

struct AltInfo {
    unsigned number = 0;
    unsigned channels = 0, subslotBytes = 0, bitResolution = 0;
    unsigned endpoint = 0, maxPacketSize = 0;
    std::string transferType;                 // "bulk", "isochronous", "interrupt"
    std::optional<unsigned> feedbackEndpoint;  // its address
    // 1.0 settings: the format's sampling frequencies (continuous: the
    // lower and upper bound).
    std::vector<unsigned> sampleRates;
    bool continuousRates = false;
};

struct StreamingInfo {
    unsigned number = 0;
    bool input = false;
    std::vector<AltInfo> alts;  // settings with a data endpoint
};

struct DeviceInfo {
    std::string classVersion;  // "2.0", "1.0"
    std::vector<EntityInfo> entities;
    std::vector<StreamingInfo> streaming;
    // The string descriptors: the device's own, or placeholders for the
    // indices a dump without strings names.
    bool placeholderStrings = false;
    std::vector<unsigned> placeholderIndices;
};

struct RangeInfo {
    unsigned channels = 0, minBits = 0, maxBits = 0, minRate = 0, maxRate = 0;
};

struct PinInfo {
    bool streaming = false;
    bool dataFlowIn = false;
    std::string category;
    std::vector<RangeInfo> ranges;  // streaming pins
};

struct ConnectionInfo {
    long fromNode = -1, fromPin = 0, toNode = -1, toPin = 0;  // -1: a filter pin
};

struct FilterInfo {
    bool built = false;
    std::string status;  // the build's status
    std::vector<PinInfo> pins;
    std::vector<std::string> nodes;  // node types
    std::vector<ConnectionInfo> connections;
};

// A subdevice of the device: registered with PortCls, or tried and failed.
struct SubdeviceReport {
    std::string name;  // empty for a failure before registration
    std::string port;  // "WaveRT", "MIDI"
    bool registered = false;
    std::string failedAt;              // the step that failed
    std::optional<StatusInfo> status;  // unset when PortCls never saw it
};

struct ClockInfo {
    std::vector<unsigned> published;  // DEVPKEY_Uac2ClockSourceList
    std::optional<unsigned> selected;  // DEVPKEY_Uac2ClockSource
};

// A change the run asked the driver for (--clock-source).
struct ClockSelectionInfo {
    unsigned requested = 0;
    StatusInfo status;
};

struct DirectionLayout {
    unsigned channels = 0, containerBits = 0;
    unsigned transferBytes = 0, framesPerTransfer = 0, chunksPerTransfer = 0;
};

// The streaming start the run asked for, what the driver traced at warning
// level or above while it ran (its own account of a refusal), and, for a
// refusal, what the device's descriptors show that bulk streaming in both
// directions needs and lacks.
struct StreamStartInfo {
    StatusInfo status;
    std::vector<std::string> driverTrace;
    std::vector<std::string> deviceNotes;
};

struct Report {
    StartInfo start;
    std::string speed;      // "full", "high", "super"
    std::string speedRule;  // what decided it
    bool midi = false;      // the driver serves the device as a USB-MIDI device
    DeviceInfo device;      // when started
    std::optional<FilterInfo> filter;  // audio devices
    std::vector<SubdeviceReport> subdevices;
    std::optional<ClockInfo> clock;  // when started
    std::optional<ClockSelectionInfo> clockSelection;
    unsigned clockSource = 0;
    unsigned rate = 0;
    std::optional<StreamStartInfo> streamStart;
    DirectionLayout capture, playback;
    unsigned outStride = 0, outSlots = 0;
    // counters
    std::uint64_t framesCaptured = 0, framesPlayed = 0;
    std::uint64_t inTransfers = 0, outTransfers = 0;
    std::uint64_t transferErrors = 0, recoveries = 0;
    std::uint64_t overrunFrames = 0, underrunFrames = 0;
    std::uint64_t checkedFrames = 0, counterGaps = 0;
    bool loopback = false;  // capture is the loopback, not the counter pattern
    bool streamed = false;
    bool clean = false;
    std::string problem;  // why the run is not clean
};

// What the run prints as it goes, one part at a time (each section's file
// prints its part and adds it to the JSON document, sections.h).
void PrintStart(const Report& report);
void PrintDevice(const Report& report);
void PrintSubdevices(const Report& report);
void PrintClock(const Report& report);
void PrintFilter(const Report& report);
void PrintSetup(const Report& report);
void PrintStreamStart(const Report& report);
void PrintCounters(const Report& report);
void PrintOutcome(const Report& report);

// The JSON report: one document, written once at the end of the run.
std::string ReportJsonText(const Report& report);

}  // namespace ovusim
