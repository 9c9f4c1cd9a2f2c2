// The description dump: one line per chain element, upstream first, so a
// trace shows the topology the audio engine was given.
#include "driver/core/filter_description.h"
#include "driver/core/filter_node_types.h"
#include "driver/core/usb_trace.h"

namespace {

void TraceChain(const FilterDescription& d, const char* chainName, const FilterElement* chain) {
    ULONG index = 0;
    for (const FilterElement* e = chain; e != nullptr; e = e->Next, ++index) {
        char entity[32] = "";
        if (e->Entity != nullptr) e->Entity->FormatName(entity, sizeof(entity));
        if (e->Kind == FilterElementKind::Pin) {
            const USHORT type = static_cast<const TerminalEntity*>(e->Entity)->TerminalType();
            FILTER_TRACE(TRACE_LEVEL_VERBOSE, "%s[%u]: pin %u %s %s", chainName, static_cast<unsigned>(index),
                         static_cast<unsigned>(e->Number), TerminalTypeName(type), entity);
        } else {
            FILTER_TRACE(TRACE_LEVEL_VERBOSE, "%s[%u]: node %u %s%s%s", chainName, static_cast<unsigned>(index),
                         static_cast<unsigned>(e->Number), NodeTypeName(d.Nodes[e->Number].Descriptor.Type),
                         e->Entity != nullptr ? " " : "", entity);
        }
    }
}

}  // namespace

void TraceFilterDescription(const FilterDescription& d) {
    if (!TraceIsEnabled(&g_DriverTrace, TRACE_LEVEL_VERBOSE, TRACE_FLAG_FILTER)) return;
    FILTER_TRACE(TRACE_LEVEL_VERBOSE, "filter: %u pins, %u nodes, %u connections",
                 static_cast<unsigned>(d.Filter.PinCount), static_cast<unsigned>(d.Filter.NodeCount),
                 static_cast<unsigned>(d.Filter.ConnectionCount));
    TraceChain(d, "capture", d.CaptureChain);
    TraceChain(d, "render", d.RenderChain);
}
