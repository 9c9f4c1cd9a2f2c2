// What a simulator run found: the parsed device, the streaming set-up, the
// counters. Printed for a person and written as JSON for scripts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ovusim {

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
};

struct StreamingInfo {
    unsigned number = 0;
    bool input = false;
    std::vector<AltInfo> alts;  // settings with a data endpoint
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
    std::string status;  // when not built
    std::vector<PinInfo> pins;
    std::vector<std::string> nodes;  // node types
    std::vector<ConnectionInfo> connections;
};

struct DirectionLayout {
    unsigned channels = 0, containerBits = 0;
    unsigned transferBytes = 0, framesPerTransfer = 0, chunksPerTransfer = 0;
};

struct Report {
    std::string speed;
    std::string classVersion;
    std::vector<EntityInfo> entities;
    std::vector<StreamingInfo> streaming;
    FilterInfo filter;
    unsigned clockSource = 0;
    unsigned rate = 0;
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
void PrintDevice(const Report& report);
void PrintFilter(const Report& report);
void PrintSetup(const Report& report);
void PrintCounters(const Report& report);
void PrintOutcome(const Report& report);

// The JSON report: one document, written once at the end of the run.
std::string ReportJsonText(const Report& report);

}  // namespace ovusim
