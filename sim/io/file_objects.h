// File objects and the requests that open and close them, as the I/O
// manager sends them when a program opens a device path: IRP_MJ_CREATE with
// the remaining path as the file name, then IRP_MJ_CLEANUP and IRP_MJ_CLOSE.
// User-mode CreateFile and CloseHandle build on these.
#pragma once

#include "platform/io/device.h"
#include "platform/io/irp.h"

#include <string_view>

namespace sim {

// Opens a file object on the stack `device` belongs to (the request goes to
// the top of the stack). On failure no file object is left.
NTSTATUS OpenFileObject(DEVICE_OBJECT* device, std::u16string_view fileName, FILE_OBJECT** file);
// Sends IRP_MJ_CLEANUP then IRP_MJ_CLOSE and frees the file object.
void CloseFileObject(FILE_OBJECT* file);

// Sends a request on an open file object and waits for it. `information`
// receives the byte count the driver reported.
NTSTATUS SendFileRequest(FILE_OBJECT* file, UCHAR majorFunction, ULONG ioControlCode, const void* input,
                         ULONG inputLength, void* output, ULONG outputLength, ULONG_PTR* information = nullptr);

}  // namespace sim
