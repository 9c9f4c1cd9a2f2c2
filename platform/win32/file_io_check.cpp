// <windows.h>'s overlapped-I/O record and constants against the numbers
// platform/win32/file_io.h asserts.
#include <windows.h>

#include <cstddef>

#include "platform/win32/file_io_layout.h"

static_assert(sizeof(OVERLAPPED) == OVU_OVERLAPPED_SIZE);
static_assert(offsetof(OVERLAPPED, InternalHigh) == OVU_OVERLAPPED_INTERNAL_HIGH);
static_assert(offsetof(OVERLAPPED, Offset) == OVU_OVERLAPPED_OFFSET);
static_assert(offsetof(OVERLAPPED, hEvent) == OVU_OVERLAPPED_EVENT);
static_assert(FILE_SHARE_READ == OVU_FILE_SHARE_READ);
static_assert(FILE_SHARE_WRITE == OVU_FILE_SHARE_WRITE);
static_assert(OPEN_EXISTING == OVU_OPEN_EXISTING);
static_assert(FILE_FLAG_OVERLAPPED == OVU_FILE_FLAG_OVERLAPPED);
static_assert(GENERIC_READ == OVU_GENERIC_READ);
static_assert(GENERIC_WRITE == OVU_GENERIC_WRITE);
static_assert(ERROR_IO_PENDING == OVU_ERROR_IO_PENDING);
static_assert(ERROR_IO_INCOMPLETE == OVU_ERROR_IO_INCOMPLETE);
static_assert(ERROR_OPERATION_ABORTED == OVU_ERROR_OPERATION_ABORTED);
