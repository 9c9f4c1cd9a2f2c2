// File objects and the requests that open and close them, as the I/O
// manager sends them when a program opens a device path: IRP_MJ_CREATE with
// the remaining path as the file name on the opening thread, IRP_MJ_CLEANUP
// when the opener's handle closes, and IRP_MJ_CLOSE only when the last
// reference goes. Every request sent on a file object holds a reference
// (ObReferenceObject), so a request still pending at CLEANUP delays CLOSE.
// User-mode CreateFile and CloseHandle build on these.
#pragma once

#include "platform/io/device.h"
#include "platform/io/irp.h"

#include <string_view>

namespace sim {

// Opens a file object on the stack `device` belongs to (the request goes to
// the top of the stack). The opener holds the one reference it starts
// with. On failure no file object is left.
NTSTATUS OpenFileObject(DEVICE_OBJECT* device, std::u16string_view fileName, FILE_OBJECT** file);
// The opener's handle goes: IRP_MJ_CLEANUP, then its reference is dropped
// (IRP_MJ_CLOSE follows once no request holds the file object).
void CloseFileObject(FILE_OBJECT* file);
// The top of the stack the file object's requests go to.
DEVICE_OBJECT* FileObjectTarget(FILE_OBJECT* file);
// The file object's own event: signalled when an overlapped request whose
// OVERLAPPED names no event completes.
KEVENT* FileObjectEvent(FILE_OBJECT* file);

// Sends a request on an open file object and waits for it. `information`
// receives the byte count the driver reported.
NTSTATUS SendFileRequest(FILE_OBJECT* file, UCHAR majorFunction, ULONG ioControlCode, const void* input,
                         ULONG inputLength, void* output, ULONG outputLength, ULONG_PTR* information = nullptr);

}  // namespace sim
