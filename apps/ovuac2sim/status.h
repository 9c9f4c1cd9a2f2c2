// An NTSTATUS as the report shows it.
#pragma once

#include "apps/ovuac2sim/report/report.h"
#include "platform/base/ntstatus.h"

namespace ovusim {

inline StatusInfo StatusOf(NTSTATUS status) {
    const char* name = NtStatusName(status);
    return {name != nullptr ? name : "status", static_cast<std::uint32_t>(status)};
}

}  // namespace ovusim
