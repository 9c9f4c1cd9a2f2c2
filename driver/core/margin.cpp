#include "driver/core/margin.h"

#include "driver/core/registry_access.h"
#include "driver/core/usb_trace.h"
#include "platform/base/ntstatus.h"
#include "platform/kernel/pool.h"
#include "platform/registry/registry_types.h"

#include <cstring>

namespace {

constexpr ULONG kTag = PoolTag("USBA");

void ReadTable(const RegistryKey& parameters, PCWSTR name, MarginFormulaTable* table) {
    MarginFormulaTable read{};
    ULONG length = 0;
    const NTSTATUS status = parameters.QueryValue(name, &read, sizeof(read), &length);
    if (!NT_SUCCESS(status)) {
        MODEL_TRACE(TRACE_LEVEL_INFORMATION, "margin value read failed 0x%08x; the table is kept",
                    static_cast<unsigned>(status));
        return;
    }
    // A short value leaves the rest zero: each class then ends at its first
    // zeroed entry.
    *table = read;
}

void TraceTable(const char* label, const MarginFormulaTable& table) {
    for (unsigned c = 0; c < 3; ++c)
        for (unsigned e = 0; e < 4; ++e) {
            const MarginFormulaEntry& m = table.classes[c][e];
            MODEL_TRACE(TRACE_LEVEL_INFORMATION, "%s class %u entry %u: limit %u x%u /%u +%u", label, c, e, m.limit,
                        m.multiplier, m.divisor, m.addend);
        }
}

}  // namespace

ULONG OutputMargin(const MarginTables& tables, ULONG speedCode, ULONG rate, ULONG bufferFrames) {
    if (speedCode == kBusSpeedSuper) return MarginFormula(tables.superSpeed, rate, bufferFrames);
    if (speedCode == kBusSpeedHigh) return MarginFormula(tables.highSpeed, rate, bufferFrames);
    return 0;
}

void ReadDriverParameters(const UNICODE_STRING* registryPath, MarginTables* tables) {
    static constexpr WCHAR kSuffix[] = u"\\Parameters";
    const USHORT bytes = static_cast<USHORT>(registryPath->Length + sizeof(kSuffix));
    auto* buffer = static_cast<WCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, bytes, kTag));
    if (buffer != nullptr) {
        UNICODE_STRING path{0, bytes, buffer};
        RtlCopyUnicodeString(&path, registryPath);
        RtlAppendUnicodeToString(&path, kSuffix);
        RegistryKey parameters;
        const NTSTATUS status = parameters.Open(&path, KEY_READ);
        if (NT_SUCCESS(status)) {
            ReadTable(parameters, kMarginFormulaSuperSpeedValue, &tables->superSpeed);
            ReadTable(parameters, kMarginFormulaHighSpeedValue, &tables->highSpeed);
        } else {
            MODEL_TRACE(TRACE_LEVEL_INFORMATION, "no driver parameters key (0x%08x)", static_cast<unsigned>(status));
        }
        ExFreePoolWithTag(buffer, kTag);
    }
    TraceTable("Margin Formula SS", tables->superSpeed);
    TraceTable("Margin Formula HS", tables->highSpeed);
}
