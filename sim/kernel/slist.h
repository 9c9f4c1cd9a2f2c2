// The SLIST operations with the lookaside lists' bounded push.
#pragma once

#include "platform/kernel/interlocked.h"

namespace sim {

// Pushes `entry` unless the list holds `limit` entries already; false then.
bool PushEntrySListBelow(SLIST_HEADER* head, SLIST_ENTRY* entry, USHORT limit);

}  // namespace sim
