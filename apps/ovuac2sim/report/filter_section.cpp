// The filter description the system audio engine would get (audio devices):
// pins with their data ranges, nodes, connections.
#include "apps/ovuac2sim/report/sections.h"

#include <cstdio>

namespace ovusim {

void PrintFilter(const Report& r) {
    if (!r.filter) return;
    const FilterInfo& f = *r.filter;
    if (!f.built) {
        std::printf("filter: none (%s)\n", f.status.c_str());
        return;
    }
    std::printf("filter: %zu pins, %zu nodes, %zu connections\n", f.pins.size(), f.nodes.size(),
                f.connections.size());
    for (std::size_t i = 0; i < f.pins.size(); ++i) {
        const PinInfo& p = f.pins[i];
        std::printf("  pin %zu: %s %s, %s", i, p.streaming ? "streaming" : "bridge", p.dataFlowIn ? "in" : "out",
                    p.category.c_str());
        for (const RangeInfo& g : p.ranges) std::printf(" [%u ch %u bit %u Hz]", g.channels, g.maxBits, g.maxRate);
        std::printf("\n");
    }
    for (std::size_t i = 0; i < f.nodes.size(); ++i) std::printf("  node %zu: %s\n", i, f.nodes[i].c_str());
}

void AddFilterSection(const Report& r, Json& document) {
    if (!r.filter) return;
    const FilterInfo& f = *r.filter;
    Json filter = {{"built", f.built}, {"status", f.status}};
    Json pins = Json::array();
    for (const PinInfo& p : f.pins) {
        Json ranges = Json::array();
        for (const RangeInfo& g : p.ranges)
            ranges.push_back({{"channels", g.channels},
                              {"minBits", g.minBits},
                              {"maxBits", g.maxBits},
                              {"minRate", g.minRate},
                              {"maxRate", g.maxRate}});
        pins.push_back({{"kind", p.streaming ? "streaming" : "bridge"},
                        {"dataFlow", p.dataFlowIn ? "in" : "out"},
                        {"communication", p.streaming ? "sink" : "bridge"},
                        {"category", p.category},
                        {"dataRanges", std::move(ranges)}});
    }
    Json nodes = Json::array();
    for (const std::string& n : f.nodes) nodes.push_back({{"type", n}});
    Json connections = Json::array();
    for (const ConnectionInfo& c : f.connections) {
        Json connection = Json::object();
        if (c.fromNode < 0) {
            connection["fromPin"] = c.fromPin;
        } else {
            connection["fromNode"] = c.fromNode;
            connection["fromNodePin"] = c.fromPin;
        }
        if (c.toNode < 0) {
            connection["toPin"] = c.toPin;
        } else {
            connection["toNode"] = c.toNode;
            connection["toNodePin"] = c.toPin;
        }
        connections.push_back(std::move(connection));
    }
    filter["pins"] = std::move(pins);
    filter["nodes"] = std::move(nodes);
    filter["connections"] = std::move(connections);
    document["filter"] = std::move(filter);
}

}  // namespace ovusim
