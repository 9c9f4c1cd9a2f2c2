/* The Win64 layout and constants of platform/win32/file_io.h as plain
   numbers, proved against <windows.h> by file_io_check.cpp. */
#pragma once

#define OVU_OVERLAPPED_SIZE 32
#define OVU_OVERLAPPED_INTERNAL_HIGH 8
#define OVU_OVERLAPPED_OFFSET 16
#define OVU_OVERLAPPED_EVENT 24
#define OVU_FILE_SHARE_READ 0x1u
#define OVU_FILE_SHARE_WRITE 0x2u
#define OVU_OPEN_EXISTING 3u
#define OVU_FILE_FLAG_OVERLAPPED 0x40000000u
#define OVU_GENERIC_READ 0x80000000u
#define OVU_GENERIC_WRITE 0x40000000u
#define OVU_ERROR_IO_PENDING 997u
#define OVU_ERROR_IO_INCOMPLETE 996u
#define OVU_ERROR_OPERATION_ABORTED 995u
