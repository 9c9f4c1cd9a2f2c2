#include "apps/ovuac2sim/report.h"

#include "apps/ovuac2sim/json.h"

#include <cstdio>

namespace ovusim {

void PrintDevice(const Report& r) {
    std::printf("device: USB Audio Class %s at %s speed\n", r.classVersion.c_str(), r.speed.c_str());
    for (const EntityInfo& e : r.entities) {
        std::printf("  %-16s %-18s", e.name.c_str(), e.kind.c_str());
        if (!e.sources.empty()) {
            std::printf(" from");
            for (unsigned s : e.sources) std::printf(" %u", s);
        }
        if (e.clockId >= 0) std::printf("  clock %d", e.clockId);
        std::printf("\n");
    }
    for (const StreamingInfo& s : r.streaming) {
        std::printf("  interface %u (%s)\n", s.number, s.input ? "capture" : "playback");
        for (const AltInfo& a : s.alts)
            std::printf("    alt %u: %u ch, %u-byte subslot, %u bits, endpoint 0x%02x, %u-byte packets\n", a.number,
                        a.channels, a.subslotBytes, a.bitResolution, a.endpoint, a.maxPacketSize);
    }
}

void PrintSetup(const Report& r) {
    std::printf("clock source %u, %u Hz\n", r.clockSource, r.rate);
    std::printf("capture:  %u ch x %u bits, IN transfers of %u bytes (%u chunks, %u frames)\n", r.capture.channels,
                r.capture.containerBits, r.capture.transferBytes, r.capture.chunksPerTransfer,
                r.capture.framesPerTransfer);
    std::printf("playback: %u ch x %u bits, OUT transfers of %u bytes (%u frames), %u slots in the ring\n",
                r.playback.channels, r.playback.containerBits, r.playback.transferBytes, r.playback.framesPerTransfer,
                r.outSlots);
}

void PrintFilter(const Report& r) {
    if (!r.filter.built) {
        std::printf("filter: none (%s)\n", r.filter.status.c_str());
        return;
    }
    std::printf("filter: %zu pins, %zu nodes, %zu connections\n", r.filter.pins.size(), r.filter.nodes.size(),
                r.filter.connections.size());
    for (std::size_t i = 0; i < r.filter.pins.size(); ++i) {
        const PinInfo& p = r.filter.pins[i];
        std::printf("  pin %zu: %s %s, %s", i, p.streaming ? "streaming" : "bridge", p.dataFlowIn ? "in" : "out",
                    p.category.c_str());
        for (const RangeInfo& g : p.ranges) std::printf(" [%u ch %u bit %u Hz]", g.channels, g.maxBits, g.maxRate);
        std::printf("\n");
    }
    for (std::size_t i = 0; i < r.filter.nodes.size(); ++i) std::printf("  node %zu: %s\n", i, r.filter.nodes[i].c_str());
}

void PrintFinal(const Report& r) {
    std::printf("frames captured %llu, played %llu\n", static_cast<unsigned long long>(r.framesCaptured),
                static_cast<unsigned long long>(r.framesPlayed));
    std::printf("IN transfers %llu, OUT transfers %llu, errors %llu, recoveries %llu\n",
                static_cast<unsigned long long>(r.inTransfers), static_cast<unsigned long long>(r.outTransfers),
                static_cast<unsigned long long>(r.transferErrors), static_cast<unsigned long long>(r.recoveries));
    std::printf("device overrun %llu frames, underrun %llu frames\n", static_cast<unsigned long long>(r.overrunFrames),
                static_cast<unsigned long long>(r.underrunFrames));
    if (r.loopback)
        std::printf("capture: loopback of what the device played (no counter pattern to check)\n");
    else
        std::printf("counter pattern: %llu frames checked, %llu gaps\n",
                    static_cast<unsigned long long>(r.checkedFrames), static_cast<unsigned long long>(r.counterGaps));
    if (r.clean) std::printf("clean run\n");
    else std::printf("NOT CLEAN: %s\n", r.problem.c_str());
}

namespace {

void DirectionFields(JsonWriter& j, const DirectionLayout& d) {
    j.Field("channels", d.channels)
        .Field("containerBits", d.containerBits)
        .Field("transferBytes", d.transferBytes)
        .Field("framesPerTransfer", d.framesPerTransfer);
}

}  // namespace

std::string ReportJson(const Report& r) {
    JsonWriter j;
    j.BeginObject();
    j.Key("device").BeginObject();
    j.Field("classVersion", r.classVersion.c_str());
    j.Key("entities").BeginArray();
    for (const EntityInfo& e : r.entities) {
        j.BeginObject().Field("kind", e.kind.c_str()).Field("id", e.id);
        j.Key("sources").BeginArray();
        for (unsigned s : e.sources) j.Value(s);
        j.EndArray();
        if (e.clockId >= 0) j.Field("clockId", e.clockId);
        j.EndObject();
    }
    j.EndArray();
    j.Key("streamingInterfaces").BeginArray();
    for (const StreamingInfo& s : r.streaming) {
        j.BeginObject().Field("number", s.number).Field("direction", s.input ? "capture" : "playback");
        j.Key("altSettings").BeginArray();
        for (const AltInfo& a : s.alts)
            j.BeginObject()
                .Field("number", a.number)
                .Field("channels", a.channels)
                .Field("subslotSize", a.subslotBytes)
                .Field("bitResolution", a.bitResolution)
                .Field("endpointAddress", a.endpoint)
                .Field("maxPacketSize", a.maxPacketSize)
                .EndObject();
        j.EndArray().EndObject();
    }
    j.EndArray();
    j.EndObject();
    j.Key("filter").BeginObject().Field("built", r.filter.built);
    if (!r.filter.built) j.Field("status", r.filter.status.c_str());
    j.Key("pins").BeginArray();
    for (const PinInfo& p : r.filter.pins) {
        j.BeginObject()
            .Field("kind", p.streaming ? "streaming" : "bridge")
            .Field("dataFlow", p.dataFlowIn ? "in" : "out")
            .Field("communication", p.streaming ? "sink" : "bridge")
            .Field("category", p.category.c_str());
        j.Key("dataRanges").BeginArray();
        for (const RangeInfo& g : p.ranges)
            j.BeginObject()
                .Field("channels", g.channels)
                .Field("minBits", g.minBits)
                .Field("maxBits", g.maxBits)
                .Field("minRate", g.minRate)
                .Field("maxRate", g.maxRate)
                .EndObject();
        j.EndArray().EndObject();
    }
    j.EndArray();
    j.Key("nodes").BeginArray();
    for (const std::string& n : r.filter.nodes) j.BeginObject().Field("type", n.c_str()).EndObject();
    j.EndArray();
    j.Key("connections").BeginArray();
    for (const ConnectionInfo& c : r.filter.connections) {
        j.BeginObject();
        if (c.fromNode < 0) j.Field("fromPin", static_cast<int>(c.fromPin));
        else j.Field("fromNode", static_cast<int>(c.fromNode)).Field("fromNodePin", static_cast<int>(c.fromPin));
        if (c.toNode < 0) j.Field("toPin", static_cast<int>(c.toPin));
        else j.Field("toNode", static_cast<int>(c.toNode)).Field("toNodePin", static_cast<int>(c.toPin));
        j.EndObject();
    }
    j.EndArray().EndObject();
    j.Field("busSpeed", r.speed.c_str()).Field("clockSource", r.clockSource).Field("sampleRate", r.rate);
    j.Key("transfers").BeginObject();
    j.Key("capture").BeginObject();
    DirectionFields(j, r.capture);
    j.EndObject();
    j.Key("playback").BeginObject();
    DirectionFields(j, r.playback);
    j.Field("outStride", r.outStride).Field("outSlots", r.outSlots).EndObject();
    j.EndObject();
    j.Key("counters")
        .BeginObject()
        .Field("framesCaptured", r.framesCaptured)
        .Field("framesPlayed", r.framesPlayed)
        .Field("inTransfers", r.inTransfers)
        .Field("outTransfers", r.outTransfers)
        .Field("transferErrors", r.transferErrors)
        .Field("recoveries", r.recoveries)
        .Field("overrunFrames", r.overrunFrames)
        .Field("underrunFrames", r.underrunFrames)
        .Field("counterFramesChecked", r.checkedFrames)
        .Field("counterGaps", r.counterGaps)
        .EndObject();
    j.Field("captureSource", r.loopback ? "loopback" : "counter");
    j.Field("streamed", r.streamed).Field("clean", r.clean);
    if (!r.clean) j.Field("problem", r.problem.c_str());
    j.EndObject();
    return j.Text() + "\n";
}

}  // namespace ovusim
