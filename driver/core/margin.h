// The output-margin tables: how many frames ahead of the capture position an
// ASIO client's playback is placed, by bus speed, rate class and buffer size.
// The built-in tables can be replaced from the service key's "\Parameters"
// ("Margin Formula SS", "Margin Formula HS"), which the ASIO driver reads too.
#pragma once

#include "platform/base/types.h"
#include "common/margin_formula.h"
#include "platform/base/unicode.h"

struct MarginTables {
    MarginFormulaTable superSpeed;
    MarginFormulaTable highSpeed;
};

inline constexpr MarginFormulaTable kBuiltInMarginSuperSpeed = {{
    {{64, 1, 4, 0}, {224, 1, 2, 0}, {4096, 3, 4, 48}, {0, 0, 0, 0}},
    {{96, 1, 4, 0}, {992, 1, 2, 0}, {4096, 3, 4, 128}, {0, 0, 0, 0}},
    {{352, 1, 2, 0}, {4096, 3, 4, 324}, {0, 0, 0, 0}, {0, 0, 0, 0}},
}};
inline constexpr MarginFormulaTable kBuiltInMarginHighSpeed = {{
    {{64, 1, 4, 32}, {224, 1, 2, 32}, {4096, 3, 4, 80}, {0, 0, 0, 32}},
    {{96, 1, 4, 0}, {992, 1, 2, 0}, {4096, 3, 4, 128}, {0, 0, 0, 0}},
    {{352, 1, 2, 8}, {4096, 3, 4, 324}, {0, 0, 0, 0}, {0, 0, 0, 0}},
}};

inline constexpr MarginTables kBuiltInMargins = {kBuiltInMarginSuperSpeed, kBuiltInMarginHighSpeed};

// The margin in frames: MarginFormula over the table of the bus speed code;
// codes other than kBusSpeedSuper and kBusSpeedHigh give 0.
ULONG OutputMargin(const MarginTables& tables, ULONG speedCode, ULONG rate, ULONG bufferFrames);

// Driver entry: replaces the built-in tables from "<registryPath>\Parameters".
// A missing key or value keeps the table; a value longer than 192 bytes is
// ignored; a shorter one fills the table from the front and zeroes the rest.
// Both tables are traced afterwards.
void ReadDriverParameters(const UNICODE_STRING* registryPath, MarginTables* tables);
