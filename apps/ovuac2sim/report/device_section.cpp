// The device as the driver parsed it: class version, entities, streaming
// interfaces and their settings.
#include "apps/ovuac2sim/report/sections.h"

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

void AddDeviceSection(const Report& r, Json& document) {
    Json entities = Json::array();
    for (const EntityInfo& e : r.entities) {
        Json entity = {{"kind", e.kind}, {"id", e.id}, {"sources", e.sources}};
        if (e.clockId >= 0) entity["clockId"] = e.clockId;
        entities.push_back(std::move(entity));
    }
    Json interfaces = Json::array();
    for (const StreamingInfo& s : r.streaming) {
        Json alts = Json::array();
        for (const AltInfo& a : s.alts)
            alts.push_back({{"number", a.number},
                            {"channels", a.channels},
                            {"subslotSize", a.subslotBytes},
                            {"bitResolution", a.bitResolution},
                            {"endpointAddress", a.endpoint},
                            {"maxPacketSize", a.maxPacketSize}});
        interfaces.push_back(
            {{"number", s.number}, {"direction", s.input ? "capture" : "playback"}, {"altSettings", std::move(alts)}});
    }
    document["device"] = {
        {"classVersion", r.classVersion}, {"entities", std::move(entities)}, {"streamingInterfaces", std::move(interfaces)}};
}

}  // namespace ovusim
