// The device as the driver parsed it: class version, entities, streaming
// interfaces and their settings; and where its strings came from.
#include "apps/ovuac2sim/report/sections.h"

#include <cstdio>

namespace ovusim {

void PrintDevice(const Report& r) {
    const DeviceInfo& d = r.device;
    std::printf("device: USB Audio Class %s at %s speed (%s)\n", d.classVersion.c_str(), r.speed.c_str(),
                r.speedRule.c_str());
    if (d.placeholderStrings) {
        std::printf("  the dump has no string descriptors: answering language 0x0409 and placeholders for");
        if (d.placeholderIndices.empty()) std::printf(" no index (none named)");
        for (unsigned index : d.placeholderIndices) std::printf(" %u", index);
        std::printf("\n");
    }
    for (const EntityInfo& e : d.entities) {
        std::printf("  %-16s %-18s", e.name.c_str(), e.kind.c_str());
        if (!e.sources.empty()) {
            std::printf(" from");
            for (unsigned s : e.sources) std::printf(" %u", s);
        }
        if (e.clockId >= 0) std::printf("  clock %d", e.clockId);
        std::printf("\n");
    }
    for (const StreamingInfo& s : d.streaming) {
        std::printf("  interface %u (%s)\n", s.number, s.input ? "capture" : "playback");
        for (const AltInfo& a : s.alts) {
            std::printf("    alt %u: %u ch, %u-byte subslot, %u bits, %s endpoint 0x%02x, %u-byte packets", a.number,
                        a.channels, a.subslotBytes, a.bitResolution, a.transferType.c_str(), a.endpoint,
                        a.maxPacketSize);
            if (a.feedbackEndpoint) std::printf(", feedback 0x%02x", *a.feedbackEndpoint);
            if (!a.sampleRates.empty()) {
                std::printf(a.continuousRates ? ", %u to %u Hz" : ", Hz:", a.sampleRates.front(), a.sampleRates.back());
                for (std::size_t i = 0; !a.continuousRates && i < a.sampleRates.size(); ++i)
                    std::printf(" %u", a.sampleRates[i]);
            }
            std::printf("\n");
        }
    }
}

void AddDeviceSection(const Report& r, Json& document) {
    if (!r.start.started) return;
    const DeviceInfo& d = r.device;
    Json entities = Json::array();
    for (const EntityInfo& e : d.entities) {
        Json entity = {{"kind", e.kind}, {"id", e.id}, {"sources", e.sources}};
        if (e.clockId >= 0) entity["clockId"] = e.clockId;
        entities.push_back(std::move(entity));
    }
    Json interfaces = Json::array();
    for (const StreamingInfo& s : d.streaming) {
        Json alts = Json::array();
        for (const AltInfo& a : s.alts) {
            Json alt = {{"number", a.number},
                        {"channels", a.channels},
                        {"subslotSize", a.subslotBytes},
                        {"bitResolution", a.bitResolution},
                        {"endpointAddress", a.endpoint},
                        {"maxPacketSize", a.maxPacketSize},
                        {"transferType", a.transferType},
                        {"feedbackEndpoint", a.feedbackEndpoint ? Json(*a.feedbackEndpoint) : Json()}};
            if (d.classVersion == "1.0") {
                alt["sampleRates"] = a.sampleRates;
                alt["continuousRates"] = a.continuousRates;
            }
            alts.push_back(std::move(alt));
        }
        interfaces.push_back(
            {{"number", s.number}, {"direction", s.input ? "capture" : "playback"}, {"altSettings", std::move(alts)}});
    }
    document["device"] = {{"classVersion", d.classVersion},
                          {"strings", d.placeholderStrings ? "placeholders" : "device"},
                          {"placeholderStrings", d.placeholderIndices},
                          {"entities", std::move(entities)},
                          {"streamingInterfaces", std::move(interfaces)}};
}

}  // namespace ovusim
