// The output-margin tables: how many frames ahead of the capture position an
// ASIO client's playback is placed, by bus speed, rate class and buffer size.
// The built-in tables can be replaced from the service key's "\Parameters"
// ("Margin Formula SS", "Margin Formula HS"), which the ASIO driver reads too.
#pragma once

#include "platform/base/types.h"
#include "platform/base/unicode.h"

struct MarginEntry {
    ULONG limit;       // the largest buffer size (frames) this entry serves; 0 ends the class
    ULONG multiplier;  // applied to the buffer size
    ULONG divisor;     // of the product; 0 ends the class
    ULONG addend;      // frames added at the end
};
static_assert(sizeof(MarginEntry) == 16);

// Three rate classes (below 50000 Hz, 50000-99999 Hz, 100000 Hz and up) of
// four entries: 192 bytes, little-endian, as the registry values hold them.
struct MarginTable {
    MarginEntry classes[3][4];
};
static_assert(sizeof(MarginTable) == 192);

struct MarginTables {
    MarginTable superSpeed;
    MarginTable highSpeed;
};

inline constexpr MarginTable kBuiltInMarginSuperSpeed = {{
    {{64, 1, 4, 0}, {224, 1, 2, 0}, {4096, 3, 4, 48}, {0, 0, 0, 0}},
    {{96, 1, 4, 0}, {992, 1, 2, 0}, {4096, 3, 4, 128}, {0, 0, 0, 0}},
    {{352, 1, 2, 0}, {4096, 3, 4, 324}, {0, 0, 0, 0}, {0, 0, 0, 0}},
}};
inline constexpr MarginTable kBuiltInMarginHighSpeed = {{
    {{64, 1, 4, 32}, {224, 1, 2, 32}, {4096, 3, 4, 80}, {0, 0, 0, 32}},
    {{96, 1, 4, 0}, {992, 1, 2, 0}, {4096, 3, 4, 128}, {0, 0, 0, 0}},
    {{352, 1, 2, 8}, {4096, 3, 4, 324}, {0, 0, 0, 0}, {0, 0, 0, 0}},
}};

inline constexpr MarginTables kBuiltInMargins = {kBuiltInMarginSuperSpeed, kBuiltInMarginHighSpeed};

// Rate class of the tables indexed by rate: 0 below 50000 Hz, 1 up to
// 99999 Hz, 2 from 100000 Hz.
constexpr unsigned RateClass(ULONG rate) { return rate < 50000 ? 0 : rate < 100000 ? 1 : 2; }

// Bus speed codes as IOCTL_UAC2_GET_USB_SPEED reports them.
inline constexpr ULONG kSpeedCodeFull = 0;
inline constexpr ULONG kSpeedCodeHigh = 2;
inline constexpr ULONG kSpeedCodeSuper = 3;

// The margin in frames: within the rate class, the first entry whose limit
// is at least `bufferFrames` gives (multiplier × frames, kept to 32 bits) ÷
// divisor + addend; an entry with a zero limit or divisor ends the search with
// 0, as does running past the fourth. Codes other than 3 and 2 give 0.
ULONG OutputMargin(const MarginTables& tables, ULONG speedCode, ULONG rate, ULONG bufferFrames);

// Driver entry: replaces the built-in tables from "<registryPath>\Parameters".
// A missing key or value keeps the table; a value longer than 192 bytes is
// ignored; a shorter one fills the table from the front and zeroes the rest.
// Both tables are traced afterwards.
void ReadDriverParameters(const UNICODE_STRING* registryPath, MarginTables* tables);
