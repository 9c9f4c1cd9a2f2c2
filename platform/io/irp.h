// I/O request packets, stack locations, file objects and memory descriptor
// lists: the records a driver's dispatch routines receive, with the wdm.h
// names, codes and flags.
#pragma once

#include "platform/base/list.h"
#include "platform/base/types.h"
#include "platform/base/unicode.h"
#include "platform/kernel/dispatcher.h"
#include "platform/io/irp_layout.h"
#include "platform/kernel/interlocked.h"
#include "platform/kernel/irql.h"

struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct FILE_OBJECT;
struct IRP;
struct MDL;
struct INTERFACE;
struct DEVICE_CAPABILITIES;
struct CM_RESOURCE_LIST;

using CCHAR = char;
using CSHORT = SHORT;

// Major functions.
inline constexpr UCHAR IRP_MJ_CREATE = 0x00;
inline constexpr UCHAR IRP_MJ_CLOSE = 0x02;
inline constexpr UCHAR IRP_MJ_READ = 0x03;
inline constexpr UCHAR IRP_MJ_WRITE = 0x04;
inline constexpr UCHAR IRP_MJ_FLUSH_BUFFERS = 0x09;
inline constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0e;
inline constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0f;
inline constexpr UCHAR IRP_MJ_SHUTDOWN = 0x10;
inline constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
inline constexpr UCHAR IRP_MJ_POWER = 0x16;
inline constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
inline constexpr UCHAR IRP_MJ_PNP = 0x1b;
inline constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1b;

// PnP minor functions.
inline constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
inline constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
inline constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
inline constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
inline constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
inline constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
inline constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
inline constexpr UCHAR IRP_MN_QUERY_DEVICE_RELATIONS = 0x07;
inline constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;
inline constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
inline constexpr UCHAR IRP_MN_QUERY_ID = 0x13;
inline constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;

// Power minor functions.
inline constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
inline constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
inline constexpr UCHAR IRP_MN_SET_POWER = 0x02;
inline constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;

// Stack location control bits.
inline constexpr UCHAR SL_PENDING_RETURNED = 0x01;
inline constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
inline constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
inline constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

// Priority boosts passed to IoCompleteRequest.
inline constexpr CCHAR IO_NO_INCREMENT = 0;
inline constexpr CCHAR IO_SOUND_INCREMENT = 8;

// Device-control codes: CTL_CODE(type, function, method, access).
inline constexpr ULONG METHOD_BUFFERED = 0;
inline constexpr ULONG METHOD_IN_DIRECT = 1;
inline constexpr ULONG METHOD_OUT_DIRECT = 2;
inline constexpr ULONG METHOD_NEITHER = 3;
inline constexpr ULONG FILE_ANY_ACCESS = 0;
inline constexpr ULONG FILE_READ_ACCESS = 1;
inline constexpr ULONG FILE_WRITE_ACCESS = 2;
inline constexpr ULONG FILE_DEVICE_UNKNOWN = 0x22;
inline constexpr ULONG FILE_DEVICE_KS = 0x2f;
constexpr ULONG CTL_CODE(ULONG deviceType, ULONG function, ULONG method, ULONG access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
constexpr ULONG METHOD_FROM_CTL_CODE(ULONG code) { return code & 3; }

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
static_assert(sizeof(IO_STATUS_BLOCK) == 16);

using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(DEVICE_OBJECT* deviceObject, IRP* irp, PVOID context);
using PDRIVER_CANCEL = void (*)(DEVICE_OBJECT* deviceObject, IRP* irp);

enum DEVICE_POWER_STATE : LONG {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum
};
enum SYSTEM_POWER_STATE : LONG {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum
};
union POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
};
enum POWER_STATE_TYPE : LONG { SystemPowerState = 0, DevicePowerState };

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        // alignas(8): POINTER_ALIGNMENT of wdm.h on x64.
        struct {
            PVOID SecurityContext;
            ULONG Options;
            alignas(8) USHORT FileAttributes;
            USHORT ShareAccess;
            alignas(8) ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            alignas(8) ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            alignas(8) ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            INTERFACE* Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            DEVICE_CAPABILITIES* Capabilities;
        } DeviceCapabilities;
        struct {
            CM_RESOURCE_LIST* AllocatedResources;
            CM_RESOURCE_LIST* AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            LONG ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    DEVICE_OBJECT* DeviceObject;
    FILE_OBJECT* FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
static_assert(sizeof(IO_STACK_LOCATION) == 72);
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8);
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 40);

struct IRP {
    CSHORT Type;
    USHORT Size;
    MDL* MdlAddress;
    ULONG Flags;
    union {
        IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CCHAR StackCount;
    CCHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    IO_STATUS_BLOCK* UserIosb;
    KEVENT* UserEvent;
    PVOID Overlay[2];
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            CHAR* AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            IO_STACK_LOCATION* CurrentStackLocation;
            FILE_OBJECT* OriginalFileObject;
        } Overlay;
        UCHAR Apc[88];  // KAPC: the I/O manager's completion APC
        PVOID CompletionKey;
    } Tail;
    // The stack locations follow the packet (Size covers them).
};

// IRP flags the sim's I/O manager uses.
inline constexpr ULONG IRP_BUFFERED_IO = 0x00000010;
inline constexpr ULONG IRP_DEALLOCATE_BUFFER = 0x00000020;
inline constexpr ULONG IRP_INPUT_OPERATION = 0x00000040;

struct FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    DEVICE_OBJECT* DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
    ULONG Waiters;
    ULONG Busy;
    PVOID LastLock;
    KEVENT Lock;
    KEVENT Event;
    PVOID CompletionContext;
    ULONG_PTR IrpListLock;  // KSPIN_LOCK
    LIST_ENTRY IrpList;
    PVOID FileObjectExtension;
};

// Memory descriptor list. In the simulated machine every address space is
// the process's own, so a locked buffer's system address is its address.
struct MDL {
    MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};
inline constexpr CSHORT MDL_MAPPED_TO_SYSTEM_VA = 0x0001;
inline constexpr CSHORT MDL_PAGES_LOCKED = 0x0002;
inline constexpr CSHORT MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;

inline IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }
inline void IoSetNextIrpStackLocation(IRP* irp) {
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
}
inline void IoSkipCurrentIrpStackLocation(IRP* irp) {
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}
inline void IoCopyCurrentIrpStackLocationToNext(IRP* irp) {
    IO_STACK_LOCATION* current = IoGetCurrentIrpStackLocation(irp);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    *next = *current;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
}
inline void IoMarkIrpPending(IRP* irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }
inline void IoSetCompletionRoutine(IRP* irp, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN onSuccess,
                                   BOOLEAN onError, BOOLEAN onCancel) {
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (onSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (onError) next->Control |= SL_INVOKE_ON_ERROR;
    if (onCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

inline PVOID MmGetMdlVirtualAddress(const MDL* mdl) {
    return static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
}
inline ULONG MmGetMdlByteCount(const MDL* mdl) { return mdl->ByteCount; }

// IRPs.
extern "C" IRP* IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
extern "C" void IoInitializeIrp(IRP* irp, USHORT packetSize, CCHAR stackSize);
extern "C" void IoReuseIrp(IRP* irp, NTSTATUS status);
extern "C" void IoFreeIrp(IRP* irp);
extern "C" NTSTATUS IofCallDriver(DEVICE_OBJECT* deviceObject, IRP* irp);
inline NTSTATUS IoCallDriver(DEVICE_OBJECT* deviceObject, IRP* irp) { return IofCallDriver(deviceObject, irp); }
extern "C" void IofCompleteRequest(IRP* irp, CCHAR priorityBoost);
inline void IoCompleteRequest(IRP* irp, CCHAR priorityBoost) { IofCompleteRequest(irp, priorityBoost); }
extern "C" BOOLEAN IoCancelIrp(IRP* irp);
extern "C" void IoAcquireCancelSpinLock(KIRQL* irql);
extern "C" void IoReleaseCancelSpinLock(KIRQL irql);

// A device-control IRP owned by the I/O manager ("threaded"): on completion
// the status lands in `ioStatus`, `event` is signalled and the IRP is freed.
extern "C" IRP* IoBuildDeviceIoControlRequest(ULONG ioControlCode, DEVICE_OBJECT* deviceObject, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, KEVENT* event, IO_STATUS_BLOCK* ioStatus);

// Memory descriptor lists.
extern "C" MDL* IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota, IRP* irp);
extern "C" void IoFreeMdl(MDL* mdl);
extern "C" void MmBuildMdlForNonPagedPool(MDL* mdl);
extern "C" void MmProbeAndLockPages(MDL* mdl, KPROCESSOR_MODE accessMode, LONG operation);
extern "C" void MmUnlockPages(MDL* mdl);
enum MM_PAGE_PRIORITY : LONG { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
enum MEMORY_CACHING_TYPE : LONG { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };
inline constexpr ULONG MdlMappingNoExecute = 0x40000000;
extern "C" PVOID MmMapLockedPagesSpecifyCache(MDL* mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE cacheType,
                                   PVOID requestedAddress, ULONG bugCheckOnFailure, ULONG priority);
extern "C" void MmUnmapLockedPages(PVOID baseAddress, MDL* mdl);

// Inlines and macros of wdm.h on x64.
inline USHORT IoSizeOfIrp(CCHAR stackSize) {
    return static_cast<USHORT>(sizeof(IRP) + static_cast<std::size_t>(stackSize) * sizeof(IO_STACK_LOCATION));
}
inline PDRIVER_CANCEL IoSetCancelRoutine(IRP* irp, PDRIVER_CANCEL routine) {
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&irp->CancelRoutine), reinterpret_cast<PVOID>(routine)));
}
inline PVOID MmGetSystemAddressForMdlSafe(MDL* mdl, ULONG priority) {
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, priority);
}

// The Win64 layout (irp_check.c proves the numbers against the Windows
// headers).
static_assert(sizeof(IRP) == OVU_IRP_SIZE);
static_assert(offsetof(IRP, MdlAddress) == OVU_IRP_MDL_ADDRESS);
static_assert(offsetof(IRP, AssociatedIrp) == OVU_IRP_ASSOCIATED_IRP);
static_assert(offsetof(IRP, IoStatus) == OVU_IRP_IO_STATUS);
static_assert(offsetof(IRP, RequestorMode) == OVU_IRP_REQUESTOR_MODE);
static_assert(offsetof(IRP, Cancel) == OVU_IRP_CANCEL);
static_assert(offsetof(IRP, UserIosb) == OVU_IRP_USER_IOSB);
static_assert(offsetof(IRP, CancelRoutine) == OVU_IRP_CANCEL_ROUTINE);
static_assert(offsetof(IRP, UserBuffer) == OVU_IRP_USER_BUFFER);
static_assert(offsetof(IRP, Tail.Overlay.Thread) == OVU_IRP_THREAD);
static_assert(offsetof(IRP, Tail.Overlay.ListEntry) == OVU_IRP_LIST_ENTRY);
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == OVU_IRP_CURRENT_STACK_LOCATION);
static_assert(offsetof(IRP, Tail.Overlay.OriginalFileObject) == OVU_IRP_ORIGINAL_FILE_OBJECT);
static_assert(sizeof(IO_STACK_LOCATION) == OVU_IO_STACK_LOCATION_SIZE);
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == OVU_IO_STACK_LOCATION_PARAMETERS);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) ==
              OVU_IO_STACK_LOCATION_IO_CONTROL_CODE);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) ==
              OVU_IO_STACK_LOCATION_TYPE3_INPUT_BUFFER);
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == OVU_IO_STACK_LOCATION_DEVICE_OBJECT);
static_assert(offsetof(IO_STACK_LOCATION, FileObject) == OVU_IO_STACK_LOCATION_FILE_OBJECT);
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == OVU_IO_STACK_LOCATION_COMPLETION_ROUTINE);
static_assert(sizeof(FILE_OBJECT) == OVU_FILE_OBJECT_SIZE);
static_assert(offsetof(FILE_OBJECT, FsContext2) == OVU_FILE_OBJECT_FS_CONTEXT2);
static_assert(offsetof(FILE_OBJECT, FileName) == OVU_FILE_OBJECT_FILE_NAME);
static_assert(offsetof(FILE_OBJECT, CurrentByteOffset) == OVU_FILE_OBJECT_CURRENT_BYTE_OFFSET);
static_assert(offsetof(FILE_OBJECT, Event) == OVU_FILE_OBJECT_EVENT);
static_assert(offsetof(FILE_OBJECT, FileObjectExtension) == OVU_FILE_OBJECT_FILE_OBJECT_EXTENSION);
static_assert(sizeof(MDL) == OVU_MDL_SIZE);
static_assert(offsetof(MDL, MappedSystemVa) == OVU_MDL_MAPPED_SYSTEM_VA);
static_assert(offsetof(MDL, ByteCount) == OVU_MDL_BYTE_COUNT);
static_assert(sizeof(IO_STATUS_BLOCK) == OVU_IO_STATUS_BLOCK_SIZE);
static_assert(IRP_MJ_CREATE == OVU_IRP_MJ_CREATE && IRP_MJ_CLOSE == OVU_IRP_MJ_CLOSE && IRP_MJ_READ == OVU_IRP_MJ_READ &&
              IRP_MJ_WRITE == OVU_IRP_MJ_WRITE && IRP_MJ_DEVICE_CONTROL == OVU_IRP_MJ_DEVICE_CONTROL &&
              IRP_MJ_CLEANUP == OVU_IRP_MJ_CLEANUP && IRP_MJ_PNP == OVU_IRP_MJ_PNP);
static_assert(METHOD_OUT_DIRECT == OVU_METHOD_OUT_DIRECT && METHOD_NEITHER == OVU_METHOD_NEITHER);
static_assert(SL_PENDING_RETURNED == OVU_SL_PENDING_RETURNED);
static_assert(MDL_MAPPED_TO_SYSTEM_VA == OVU_MDL_MAPPED_TO_SYSTEM_VA &&
              MDL_SOURCE_IS_NONPAGED_POOL == OVU_MDL_SOURCE_IS_NONPAGED_POOL);
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x808, METHOD_OUT_DIRECT, FILE_ANY_ACCESS) == OVU_CTL_CODE_SAMPLE);
