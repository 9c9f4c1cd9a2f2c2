#include "driver/adapter/adapter.h"

#include "driver/adapter/driver_entry.h"
#include "driver/core/device_extension.h"
#include "driver/core/subdevice.h"
#include "driver/core/usb_trace.h"
#include "platform/base/ntstatus.h"
#include "platform/kernel/interlocked.h"
#include "platform/kernel/pool.h"

#include <new>

NTSTATUS AdapterCommon::Create(AdapterCommon** adapter) {
    *adapter = nullptr;
    void* memory = ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(AdapterCommon), kAdapterPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* created = new (memory) AdapterCommon();
    const NTSTATUS status = created->engine_.Initialize(created);
    created->AddRef();
    if (!NT_SUCCESS(status)) {
        created->Release();
        return status;
    }
    *adapter = created;
    return STATUS_SUCCESS;
}

AdapterCommon::AdapterCommon() = default;

AdapterCommon::~AdapterCommon() {
    // The engine goes first: its threads and transfers use the device model.
    engine_.Shutdown();
    device_.Destroy();
}

NTSTATUS AdapterCommon::QueryInterface(REFIID interfaceId, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    if (interfaceId == IID_IUnknown || interfaceId == IID_IAdapterCommon) {
        *object = static_cast<IAdapterCommon*>(this);
    } else if (interfaceId == IID_IAdapterPowerManagement) {
        *object = static_cast<IAdapterPowerManagement*>(this);
    } else if (interfaceId == IID_IAsioStreamControl) {
        *object = static_cast<IAsioStreamControl*>(this);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

ULONG AdapterCommon::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

ULONG AdapterCommon::Release() {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) {
        this->~AdapterCommon();
        ExFreePoolWithTag(this, kAdapterPoolTag);
    }
    return static_cast<ULONG>(left);
}

NTSTATUS AdapterCommon::Init(DEVICE_OBJECT* physicalDeviceObject, DEVICE_OBJECT* functionalDeviceObject) {
    pdo_ = physicalDeviceObject;
    fdo_ = functionalDeviceObject;
    DeviceExtension* extension = ExtensionOf(functionalDeviceObject);
    NTSTATUS status = device_.Start(physicalDeviceObject, kAdapterIrpPoolSize, &extension->MidiMode);
    if (!NT_SUCCESS(status)) {
        MODEL_TRACE(TRACE_LEVEL_ERROR, "device model start failed 0x%08x", static_cast<unsigned>(status));
        return status;
    }
    status = device_.SelectConfiguration();
    if (!NT_SUCCESS(status)) {
        MODEL_TRACE(TRACE_LEVEL_ERROR, "select configuration failed 0x%08x", static_cast<unsigned>(status));
        return status;
    }
    if (extension->MidiMode != 0) return STATUS_SUCCESS;

    // An audio device: its registry values, its records, its rate.
    if (!NT_SUCCESS(DeviceRegistry::ReadDeviceValue(pdo_, kDumpCaptureValue, &dumpCapture_))) dumpCapture_ = 0;
    status = registry_.FindDevicePath(pdo_);
    if (!NT_SUCCESS(status)) {
        MODEL_TRACE(TRACE_LEVEL_ERROR, "device instance path not found 0x%08x", static_cast<unsigned>(status));
        return status;
    }
    engine_.AttachDefaultFormatSource(this);
    return RateStartUp(*this);
}

void AdapterCommon::RegisterWaveMiniport(PUNKNOWN miniport) {
    InterlockedExchangePointer(&waveMiniport_, miniport);
}

void AdapterCommon::UnregisterWaveMiniport(PUNKNOWN miniport) {
    if (miniport != nullptr)
        InterlockedCompareExchangePointer(&waveMiniport_, nullptr, miniport);
}

PUNKNOWN AdapterCommon::TakeWaveMiniport() {
    return static_cast<PUNKNOWN>(InterlockedExchangePointer(&waveMiniport_, nullptr));
}

NTSTATUS AdapterCommon::RegisterAudioSubdevice() {
    return InstallSubdevice(fdo_, nullptr, nullptr, static_cast<IAdapterCommon*>(this));
}

// The installation's margins, as driver entry read them.
const MarginTables& AdapterCommon::Margins() const { return DriverMargins(); }

NTSTATUS AdapterCommon::GetDefaultFormat(bool capture, ULONG* channels, ULONG* bits, ULONG* rate) {
    if (channels == nullptr || bits == nullptr || rate == nullptr) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = registry_.FindEndpoints();
    if (!NT_SUCCESS(status)) return status;
    ULONG storedRate = 0;
    status = registry_.ReadEndpointFormat(capture, channels, bits, &storedRate);
    if (!NT_SUCCESS(status)) return status;
    // The device runs at one rate, whatever the record was written for.
    *rate = engine_.CurrentRate();
    return STATUS_SUCCESS;
}

NTSTATUS AdapterCommon::GetDefaultFormat(bool capture, ULONG* channels, ULONG* bits) {
    ULONG rate = 0;
    return GetDefaultFormat(capture, channels, bits, &rate);
}

NTSTATUS AdapterCommon::GetSampleRate(ULONG* rate) {
    if (rate == nullptr) return STATUS_INVALID_PARAMETER;
    *rate = engine_.CurrentRate();
    return STATUS_SUCCESS;
}

NTSTATUS AdapterCommon::SetSampleRate(ULONG rate, BOOLEAN force) { return ::SetSampleRate(*this, rate, force); }

NTSTATUS AdapterCommon::GetRateLimits(ULONG* lowest, ULONG* highest) { return RateLimits(device_, lowest, highest); }

ULONG AdapterCommon::MidiMode() const { return fdo_ != nullptr ? ExtensionOf(fdo_)->MidiMode : 0; }

bool AdapterCommon::TakeClockReapply() { return InterlockedExchange(&clockReapply_, 0) != 0; }

void AdapterCommon::SurpriseRemoval() {
    Stop();
    CancelRequests(nullptr, kCancelAllHandles);
    InterlockedExchange(&surpriseRemoved_, 1);
}

NTSTATUS AdapterCommon::QueryPowerChangeState(POWER_STATE newStateQuery) {
    if (newStateQuery.DeviceState != PowerDeviceD0) {
        InterlockedExchange(&powerDownPending_, 1);
        engine_.BlockAsioHandles();
        CancelRequests(nullptr, kCancelAllHandles);
    }
    return STATUS_SUCCESS;
}

void AdapterCommon::PowerChangeState(POWER_STATE newState) {
    const DEVICE_POWER_STATE state = newState.DeviceState;
    if (state != powerState_) {
        if (state == PowerDeviceD0) {
            powerState_ = state;
            InterlockedExchange(&powerDownPending_, 0);
            CancelRequests(nullptr, kCancelAllHandles);
            if (MidiMode() == 0) {
                InterlockedExchange(&clockReapply_, 1);
                engine_.UnblockAsioHandles();
            }
        } else if (state == PowerDeviceD1 || state == PowerDeviceD2 || state == PowerDeviceD3) {
            powerState_ = state;
            InterlockedExchange(&powerDownPending_, 0);
            CancelRequests(nullptr, kCancelAllHandles);
        }
    }
    if (midiMiniport_ != nullptr) midiMiniport_->PowerChangeNotify(newState);
}

NTSTATUS AdapterCommon::QueryDeviceCapabilities(DEVICE_CAPABILITIES* capabilities) {
    if (capabilities != nullptr) capabilities->SurpriseRemovalOK = 1;
    return STATUS_SUCCESS;
}
