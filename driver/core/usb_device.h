// UsbDevice: the driver's USB request layer. It brings the device up (bus
// interface, speed, descriptors), selects the configuration and alternate
// settings, and submits URBs synchronously and asynchronously. Every request
// goes straight to the physical device object of the stack.
//
// Where each routine runs: everything synchronous requires PASSIVE_LEVEL;
// SubmitAsync may be called at DISPATCH_LEVEL and its completions arrive
// there. The object is embedded (zero-filled pool, placement-new); a
// constructed object that was never initialised is safe to destroy.
#pragma once

#include "common/bus_speed.h"
#include "platform/base/ntstatus.h"
#include "platform/base/types.h"
#include "platform/io/device.h"
#include "platform/io/irp.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/lookaside.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/spinlock.h"
#include "platform/usb/urb.h"
#include "platform/usb/usbioctl.h"
#include "platform/usb/descriptors.h"

// The one pool tag of the request layer and the descriptor model.
inline constexpr ULONG kUsbPoolTag = PoolTag("USBA");

// The completion of an asynchronous transfer: the IRP's status, the bytes
// moved (0 on error), the caller's context and a reserved 0. Runs at
// DISPATCH_LEVEL; it may submit again at once.
using UsbTransferCompletion = void (*)(NTSTATUS status, ULONG bytes, PVOID context, PVOID reserved);

class UsbDevice;

// One per asynchronous transfer, from a lookaside list of 40-byte entries.
struct UsbRequestContext {
    URB* Urb;
    USBD_PIPE_INFORMATION* Pipe;
    UsbTransferCompletion Completion;
    PVOID Context;
    UsbDevice* Device;
};
static_assert(sizeof(UsbRequestContext) == 40);

class UsbDevice {
public:
    UsbDevice();
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    // Brings the device up: IRP pool (0 means 10), bus interface and speed,
    // device descriptor, whole configuration descriptor, language list.
    // On failure everything taken so far is released again.
    NTSTATUS Initialise(DEVICE_OBJECT* target, ULONG irpPoolSize);
    // Undoes Initialise and any configuration; waits for outstanding
    // transfers (aborting the pipes first). Idempotent.
    void Release();
    bool Initialised() const { return configuration_ != nullptr; }

    // ---- synchronous requests (PASSIVE_LEVEL) ----

    // IOCTL_INTERNAL_USB_SUBMIT_URB; waits without time-out.
    NTSTATUS SubmitSync(URB* urb);
    // A class (0x20) or vendor (0x40) control transfer to a device,
    // interface, endpoint or other recipient. `transferred` (optional)
    // receives the bytes the device moved.
    NTSTATUS ControlRequest(UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex, USHORT wLength,
                            PVOID buffer, ULONG* transferred = nullptr);
    // An audio-class request to entity `entityId` of the AudioControl
    // interface: wValue = selector << 8 | channel, wIndex = entity << 8 | AC
    // interface number.
    NTSTATUS EntityRequest(UCHAR bmRequestType, UCHAR bRequest, UCHAR selector, UCHAR channel, UCHAR entityId,
                           USHORT length, PVOID buffer, ULONG* transferred = nullptr);
    // GET_DESCRIPTOR(STRING). STATUS_INSUFFICIENT_RESOURCES for a null buffer.
    NTSTATUS GetStringDescriptor(UCHAR index, USHORT languageId, PVOID buffer, ULONG length,
                                 ULONG* transferred = nullptr);

    // Selects alternate setting `alternateSetting` of interface
    // `interfaceNumber` and replaces the interface's pipe information.
    // Pipe pointers into that interface are stale afterwards.
    NTSTATUS SelectAltSetting(UCHAR interfaceNumber, UCHAR alternateSetting);
    // The pipe with that endpoint address in the configured interfaces.
    USBD_PIPE_INFORMATION* FindPipe(UCHAR endpointAddress);
    // PASSIVE_LEVEL only (else STATUS_UNSUCCESSFUL, nothing sent).
    NTSTATUS ResetPipe(USBD_PIPE_INFORMATION* pipe);
    NTSTATUS AbortPipe(USBD_PIPE_INFORMATION* pipe);
    // Re-enumerates the device.
    NTSTATUS CyclePort();

    // ---- asynchronous transfers (IRQL <= DISPATCH_LEVEL) ----

    // A bulk or interrupt transfer on `pipe` (buffer or MDL); `flags` are
    // ORed with USBD_SHORT_TRANSFER_OK. STATUS_SUCCESS once sent: the
    // completion then runs exactly once. Isochronous pipes are refused
    // (STATUS_NOT_SUPPORTED): this layer builds no isochronous URBs.
    NTSTATUS SubmitAsync(USBD_PIPE_INFORMATION* pipe, PVOID buffer, MDL* mdl, ULONG length, ULONG flags,
                         UsbTransferCompletion completion, PVOID context);

    // Outstanding asynchronous transfers. The zero event is signalled while
    // none is outstanding; the idle event while at most one is.
    ULONG OutstandingTransfers() const;
    KEVENT* IoZeroEvent() { return &ioZero_; }
    KEVENT* IoIdleEvent() { return &ioIdle_; }
    // Request-context lookaside counters (allocations, and those that
    // reached the pool).
    ULONG ContextAllocations() const;
    ULONG ContextMisses() const;

    // ---- what Initialise learned ----

    DEVICE_OBJECT* Target() const { return target_; }
    bool SuperSpeed() const { return superSpeed_ != 0; }
    bool HighSpeed() const { return highSpeed_ != 0; }
    // kBusSpeedSuper, kBusSpeedHigh or kBusSpeedFull.
    ULONG BusSpeed() const;
    const USB_DEVICE_DESCRIPTOR& DeviceDescriptor() const { return deviceDescriptor_; }
    const USB_CONFIGURATION_DESCRIPTOR* Configuration() const { return configuration_; }
    ULONG ConfigurationLength() const { return configurationLength_; }
    bool RemoteWakeup() const { return remoteWakeup_ != 0; }
    const USB_STRING_DESCRIPTOR* LanguageList() const { return languages_; }
    const USB_BUS_INTERFACE_USBDI_V1& BusInterface() const { return busInterface_; }
    // The bus interface's current frame number.
    NTSTATUS QueryBusTime(ULONG* frame) const;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle() const { return configurationHandle_; }
    bool Configured() const { return interfaceTable_ != nullptr; }

protected:
    // Selects the configuration with exactly these interface descriptors
    // (pointers into Configuration()) and fills the interface table. On
    // failure the table is freed.
    NTSTATUS SelectInterfaces(const USB_INTERFACE_DESCRIPTOR* const* interfaces, ULONG count);
    void FreeInterfaceTable();
    // The AudioControl interface number EntityRequest addresses.
    void SetControlInterface(UCHAR number) { controlInterface_ = number; }

private:
    NTSTATUS AllocateIrpPool(ULONG size);
    void FreeIrpPool();
    NTSTATUS QueryBusInterface(USB_BUS_INTERFACE_USBDI_V1* result);
    NTSTATUS GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, PVOID buffer, ULONG length,
                           ULONG* transferred);
    NTSTATUS ReadDescriptors();
    NTSTATUS PipeRequest(USHORT function, USBD_PIPE_INFORMATION* pipe);
    void AbortAllPipes();
    IRP* TakeIrp();
    void ReturnIrp(IRP* irp);
    void IoReference();
    void IoDereference();
    static NTSTATUS TransferComplete(DEVICE_OBJECT* device, IRP* irp, PVOID context);

    DEVICE_OBJECT* target_ = nullptr;
    UCHAR superSpeed_ = 0;
    UCHAR highSpeed_ = 0;
    UCHAR controlInterface_ = 0;
    UCHAR remoteWakeup_ = 0;
    USB_DEVICE_DESCRIPTOR deviceDescriptor_{};
    USB_CONFIGURATION_DESCRIPTOR* configuration_ = nullptr;
    ULONG configurationLength_ = 0;
    USB_STRING_DESCRIPTOR* languages_ = nullptr;
    USB_BUS_INTERFACE_USBDI_V1 busInterface_{};
    bool busInterfaceHeld_ = false;
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;

    // One copy of each configured interface's information, own allocation
    // each; guarded by interfaceMutex_.
    KMUTEX interfaceMutex_{};
    ULONG interfaceCount_ = 0;
    USBD_INTERFACE_INFORMATION** interfaceTable_ = nullptr;

    // Preallocated IRPs chained through Tail.Overlay.ListEntry.
    KSPIN_LOCK irpPoolLock_ = 0;
    LIST_ENTRY irpPool_{};
    bool irpPoolReady_ = false;

    // Request contexts and the transfer URBs they carry: lookaside lists so
    // that a running stream reaches the pool only while warming up.
    NPAGED_LOOKASIDE_LIST contexts_{};
    NPAGED_LOOKASIDE_LIST transferUrbs_{};
    bool lookasidesReady_ = false;

    KSPIN_LOCK ioLock_ = 0;
    ULONG ioRefCount_ = 0;
    KEVENT ioZero_{};
    KEVENT ioIdle_{};
};
