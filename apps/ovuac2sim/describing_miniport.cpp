#include "apps/ovuac2sim/describing_miniport.h"

#include "driver/core/adapter_interfaces.h"
#include "driver/core/filter_description.h"
#include "driver/core/node_property.h"
#include "driver/core/sample_rate_property.h"
#include "platform/base/ntstatus.h"

#include <new>

namespace ovusim {

namespace {

class DescribingMiniport final : public IMiniportWaveRT, public ISystemAudioSubdevice {
public:
    DescribingMiniport() {
        rateItem_ = {&KSPROPSETID_DeviceSampleRate, KSPROPERTY_DEVICESAMPLERATE, kSampleRatePropertyFlags,
                     &SampleRateHandler};
        filterAutomation_ = {sizeof(PCPROPERTY_ITEM), 1, &rateItem_, 0, 0, nullptr, 0, 0, nullptr, 0};
    }

    NTSTATUS QueryInterface(REFIID iid, PVOID* object) override {
        if (iid == IID_IUnknown || iid == IID_IMiniport || iid == IID_IMiniportWaveRT) {
            *object = static_cast<IMiniportWaveRT*>(this);
        } else if (iid == IID_ISystemAudioSubdevice) {
            *object = static_cast<ISystemAudioSubdevice*>(this);
        } else {
            *object = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        AddRef();
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    NTSTATUS Init(PUNKNOWN unknownAdapter, IResourceList*, IPortWaveRT* port) override {
        NTSTATUS status = unknownAdapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&adapter_));
        if (!NT_SUCCESS(status)) return status;
        ULONG rate = 0;
        status = adapter_->GetSampleRate(&rate);
        if (NT_SUCCESS(status))
            status = BuildFilterDescription(*adapter_->GetUsbDevice(), rate, &NodeHandler, &filterAutomation_,
                                            &description_);
        if (!NT_SUCCESS(status)) return status;
        port_ = port;
        port_->AddRef();
        adapter_->RegisterWaveMiniport(static_cast<IMiniportWaveRT*>(this));
        return STATUS_SUCCESS;
    }
    NTSTATUS GetDescription(PCFILTER_DESCRIPTOR** description) override {
        *description = &description_.Filter;
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, KSDATARANGE*, KSDATARANGE*, ULONG, PVOID, ULONG*) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS NewStream(IMiniportWaveRTStream**, IPortWaveRTStream*, ULONG, BOOLEAN, KSDATAFORMAT*) override {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS GetDeviceDescription(DEVICE_DESCRIPTION*) override { return STATUS_SUCCESS; }

    NTSTATUS UnregisterSubdevice(DEVICE_OBJECT* deviceObject) override {
        if (port_ == nullptr) return STATUS_DEVICE_NOT_READY;
        IUnregisterSubdevice* unregister = nullptr;
        NTSTATUS status = port_->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister));
        if (!NT_SUCCESS(status)) return status;
        status = unregister->UnregisterSubdevice(deviceObject, port_);
        unregister->Release();
        return status;
    }

private:
    ~DescribingMiniport() {
        if (adapter_ != nullptr) {
            adapter_->UnregisterWaveMiniport(static_cast<IMiniportWaveRT*>(this));
            adapter_->Release();
        }
        if (port_ != nullptr) port_->Release();
        FreeFilterDescription(&description_);
    }

    static DescribingMiniport* Of(PCPROPERTY_REQUEST* request) {
        return static_cast<DescribingMiniport*>(static_cast<IMiniportWaveRT*>(request->MajorTarget));
    }
    static NTSTATUS NodeHandler(PCPROPERTY_REQUEST* request) {
        DescribingMiniport* self = Of(request);
        return NodeProperty(*self->adapter_->GetUsbDevice(), &self->description_, request);
    }
    static NTSTATUS SampleRateHandler(PCPROPERTY_REQUEST* request) {
        return SampleRateProperty(*Of(request)->adapter_, request);
    }

    ULONG refs_ = 1;
    IAdapterCommon* adapter_ = nullptr;
    IPortWaveRT* port_ = nullptr;
    FilterDescription description_{};
    PCPROPERTY_ITEM rateItem_{};
    PCAUTOMATION_TABLE filterAutomation_{};
};

}  // namespace

NTSTATUS CreateDescribingWaveMiniport(PUNKNOWN* miniport, REFCLSID, PUNKNOWN, POOL_TYPE) {
    if (miniport == nullptr) return STATUS_INVALID_PARAMETER;
    auto* object = new (std::nothrow) DescribingMiniport();
    if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *miniport = static_cast<IMiniportWaveRT*>(object);
    return STATUS_SUCCESS;
}

}  // namespace ovusim
