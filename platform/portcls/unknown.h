// The kernel's IUnknown (unknown.h): the base of every port-class interface.
//
// Kernel-mode QueryInterface returns NTSTATUS. HRESULT and NTSTATUS are both
// a 32-bit LONG, so this is also the user-mode IUnknown's layout; a user-mode
// COM header includes this one rather than declaring a second IUnknown.
#pragma once

#include "platform/base/types.h"

#ifndef OVU_IUNKNOWN_DECLARED
#define OVU_IUNKNOWN_DECLARED

inline constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Interfaces have no virtual destructor: objects go away through Release.
struct IUnknown {
    virtual NTSTATUS QueryInterface(REFIID interfaceId, PVOID* object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};
using PUNKNOWN = IUnknown*;

#endif  // OVU_IUNKNOWN_DECLARED
