// The kernel's key and value information records, written into a caller's
// buffer with Windows' size rules (see platform/registry/zw.h). Internal to
// sim/registry; called with the store's mutex held.
#pragma once

#include "platform/registry/zw.h"
#include "sim/registry/store.h"

namespace sim::reg {

// `allowName`: KeyNameInformation is a ZwQueryKey class only.
NTSTATUS WriteKeyInformation(const Node& node, KEY_INFORMATION_CLASS infoClass, bool allowName, void* buffer,
                             ULONG length, ULONG* resultLength);

NTSTATUS WriteValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer, ULONG length,
                               ULONG* resultLength);

}  // namespace sim::reg
