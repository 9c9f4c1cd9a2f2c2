#include "sim/portcls/description.h"

#include <cstdio>

namespace sim::portcls {

namespace {

thread_local char fault_text[160];

const char* Fault(const char* format, unsigned a = 0, unsigned b = 0, unsigned c = 0) {
    std::snprintf(fault_text, sizeof(fault_text), format, a, b, c);
    return fault_text;
}

const PCPROPERTY_ITEM& ItemAt(const PCAUTOMATION_TABLE& table, ULONG index) {
    return *reinterpret_cast<const PCPROPERTY_ITEM*>(reinterpret_cast<const UCHAR*>(table.Properties) +
                                                     static_cast<SIZE_T>(index) * table.PropertyItemSize);
}

// `where` names the table's owner ("filter", "pin %u", "node %u").
const char* TableFault(const PCAUTOMATION_TABLE* table, const char* where, unsigned index) {
    if (table == nullptr || table->PropertyCount == 0) return nullptr;
    char owner[32];
    std::snprintf(owner, sizeof(owner), where, index);
    if (table->Properties == nullptr) {
        std::snprintf(fault_text, sizeof(fault_text), "%s automation table has %u properties and no array", owner,
                      table->PropertyCount);
        return fault_text;
    }
    if (table->PropertyItemSize < sizeof(PCPROPERTY_ITEM)) {
        std::snprintf(fault_text, sizeof(fault_text), "%s automation table: PropertyItemSize %u below %zu", owner,
                      table->PropertyItemSize, sizeof(PCPROPERTY_ITEM));
        return fault_text;
    }
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        const PCPROPERTY_ITEM& item = ItemAt(*table, i);
        const ULONG verbs = PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT;
        if (item.Set == nullptr || ((item.Flags & verbs) != 0 && item.Handler == nullptr)) {
            std::snprintf(fault_text, sizeof(fault_text), "%s property item %u has no %s", owner, i,
                          item.Set == nullptr ? "set" : "handler");
            return fault_text;
        }
    }
    return nullptr;
}

// Node pins are the node's own numbering (0 out, 1 in for most; more for
// some node types), so only filter pins can be checked.
bool EndValid(const PCFILTER_DESCRIPTOR& d, ULONG node, ULONG pin) {
    if (node == PCFILTER_NODE) return pin < d.PinCount;
    return node < d.NodeCount;
}

}  // namespace

const char* DescriptionFault(const PCFILTER_DESCRIPTOR& d) {
    if (const char* fault = TableFault(d.AutomationTable, "filter", 0)) return fault;
    if (d.PinCount != 0) {
        if (d.Pins == nullptr) return Fault("%u pins and no pin array", d.PinCount);
        if (d.PinSize < sizeof(PCPIN_DESCRIPTOR))
            return Fault("PinSize %u below %u", d.PinSize, static_cast<unsigned>(sizeof(PCPIN_DESCRIPTOR)));
    }
    for (ULONG p = 0; p < d.PinCount; ++p) {
        const PCPIN_DESCRIPTOR& pin = PinAt(d, p);
        if (const char* fault = TableFault(pin.AutomationTable, "pin %u", p)) return fault;
        const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
        if (ks.DataRangesCount != 0 && ks.DataRanges == nullptr)
            return Fault("pin %u has %u data ranges and no array", p, ks.DataRangesCount);
        for (ULONG r = 0; r < ks.DataRangesCount; ++r) {
            const KSDATARANGE* range = ks.DataRanges[r];
            if (range == nullptr) return Fault("pin %u data range %u is null", p, r);
            if (range->FormatSize < sizeof(KSDATARANGE))
                return Fault("pin %u data range %u: FormatSize %u", p, r, range->FormatSize);
        }
        if (ks.InterfacesCount != 0 && ks.Interfaces == nullptr) return Fault("pin %u interfaces missing", p);
        if (ks.MediumsCount != 0 && ks.Mediums == nullptr) return Fault("pin %u mediums missing", p);
        if (ks.DataFlow != KSPIN_DATAFLOW_IN && ks.DataFlow != KSPIN_DATAFLOW_OUT)
            return Fault("pin %u data flow %u", p, static_cast<unsigned>(ks.DataFlow));
    }
    if (d.NodeCount != 0) {
        if (d.Nodes == nullptr) return Fault("%u nodes and no node array", d.NodeCount);
        if (d.NodeSize < sizeof(PCNODE_DESCRIPTOR))
            return Fault("NodeSize %u below %u", d.NodeSize, static_cast<unsigned>(sizeof(PCNODE_DESCRIPTOR)));
    }
    for (ULONG n = 0; n < d.NodeCount; ++n) {
        const PCNODE_DESCRIPTOR& node = NodeAt(d, n);
        if (node.Type == nullptr) return Fault("node %u has no type", n);
        if (const char* fault = TableFault(node.AutomationTable, "node %u", n)) return fault;
    }
    if (d.ConnectionCount != 0 && d.Connections == nullptr)
        return Fault("%u connections and no connection array", d.ConnectionCount);
    for (ULONG c = 0; c < d.ConnectionCount; ++c) {
        const PCCONNECTION_DESCRIPTOR& k = d.Connections[c];
        if (!EndValid(d, k.FromNode, k.FromNodePin)) return Fault("connection %u: bad source %u/%u", c, k.FromNode, k.FromNodePin);
        if (!EndValid(d, k.ToNode, k.ToNodePin)) return Fault("connection %u: bad target %u/%u", c, k.ToNode, k.ToNodePin);
    }
    if (d.CategoryCount != 0 && d.Categories == nullptr)
        return Fault("%u categories and no category array", d.CategoryCount);
    return nullptr;
}

const PCPROPERTY_ITEM* FindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id) {
    if (table == nullptr) return nullptr;
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        const PCPROPERTY_ITEM& item = ItemAt(*table, i);
        if (item.Id == id && *item.Set == set) return &item;
    }
    return nullptr;
}

bool HasPropertySet(const PCAUTOMATION_TABLE* table, const GUID& set) {
    if (table == nullptr) return false;
    for (ULONG i = 0; i < table->PropertyCount; ++i)
        if (*ItemAt(*table, i).Set == set) return true;
    return false;
}

ULONG SubdeviceCategories(const PCFILTER_DESCRIPTOR& d, bool waveRt, GUID* out, ULONG capacity) {
    ULONG count = 0;
    auto add = [&](const GUID& category) {
        for (ULONG i = 0; i < count && i < capacity; ++i)
            if (out[i] == category) return;
        if (count < capacity) out[count] = category;
        ++count;
    };
    if (d.CategoryCount != 0) {
        for (ULONG i = 0; i < d.CategoryCount; ++i) add(d.Categories[i]);
        return count;
    }
    add(KSCATEGORY_AUDIO);
    for (ULONG p = 0; p < d.PinCount; ++p) {
        const KSPIN_DESCRIPTOR& ks = PinAt(d, p).KsPinDescriptor;
        const bool streaming = ks.Communication == KSPIN_COMMUNICATION_SINK ||
                               ks.Communication == KSPIN_COMMUNICATION_BOTH ||
                               ks.Communication == KSPIN_COMMUNICATION_SOURCE;
        if (!streaming) continue;
        add(ks.DataFlow == KSPIN_DATAFLOW_IN ? KSCATEGORY_RENDER : KSCATEGORY_CAPTURE);
    }
    if (waveRt) add(KSCATEGORY_REALTIME);
    return count;
}

}  // namespace sim::portcls
