/* The MinGW-w64 headers' interlocked list records against the layout
   platform/kernel/interlocked.h asserts (16 bytes, 16-byte aligned). */
#include <ddk/wdm.h>
#include <stddef.h>

_Static_assert(sizeof(SLIST_HEADER) == 16, "SLIST_HEADER is 16 bytes");
_Static_assert(_Alignof(SLIST_HEADER) == 16, "SLIST_HEADER is 16-byte aligned");
_Static_assert(sizeof(SLIST_ENTRY) == 16, "SLIST_ENTRY is 16 bytes");
_Static_assert(_Alignof(SLIST_ENTRY) == 16, "SLIST_ENTRY is 16-byte aligned");
