// The output margin: how many frames ahead of the capture position an ASIO
// client's playback is placed, from a table per bus speed (SuperSpeed and
// high speed; full speed has none) that the installation may store in the
// driver's "\Parameters" key. The driver and the ASIO driver read the same
// values and evaluate the same formula; each keeps its own tables (the
// driver has built-in ones, the ASIO driver's are zero until loaded).
#pragma once

#include "platform/base/types.h"
#include "common/bus_speed.h"

struct MarginFormulaEntry {
    ULONG limit;       // the largest buffer size (frames) this entry serves; 0 ends the class
    ULONG multiplier;  // applied to the buffer size
    ULONG divisor;     // of the product; 0 ends the class
    ULONG addend;      // frames added at the end
};
static_assert(sizeof(MarginFormulaEntry) == 16);

// Three rate classes (RateClass) of four entries: 192 bytes, little-endian,
// as the registry values hold them.
struct MarginFormulaTable {
    MarginFormulaEntry classes[3][4];
};
static_assert(sizeof(MarginFormulaTable) == 192);

// The values under the driver's service key + "\Parameters".
inline constexpr WCHAR kMarginFormulaSuperSpeedValue[] = u"Margin Formula SS";
inline constexpr WCHAR kMarginFormulaHighSpeedValue[] = u"Margin Formula HS";

// Within the rate class, the first entry whose limit is at least
// `bufferFrames` gives (multiplier × frames, kept to 32 bits) ÷ divisor +
// addend; an entry with a zero limit or divisor ends the search with 0, as
// does running past the fourth.
constexpr ULONG MarginFormula(const MarginFormulaTable& table, ULONG rate, ULONG bufferFrames) {
    for (const MarginFormulaEntry& entry : table.classes[RateClass(rate)]) {
        if (entry.limit == 0 || entry.divisor == 0) return 0;
        if (entry.limit >= bufferFrames) {
            const ULONG product = entry.multiplier * bufferFrames;  // kept to 32 bits
            return product / entry.divisor + entry.addend;
        }
    }
    return 0;
}
