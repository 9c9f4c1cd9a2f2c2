#include "tests/support/wave_miniport.h"

#include "driver/core/adapter_interfaces.h"
#include "platform/base/ntstatus.h"

namespace test_support {

WaveMiniportCounts& WaveMiniports() {
    static WaveMiniportCounts counts;
    return counts;
}

namespace {

class WaveMiniport final : public IMiniportWaveRT, public ISystemAudioSubdevice {
public:
    WaveMiniport() { ++WaveMiniports().live; }

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
        if (left == 0) {
            if (adapter_ != nullptr) {
                adapter_->UnregisterWaveMiniport(static_cast<IMiniportWaveRT*>(this));
                adapter_->Release();
            }
            if (port_ != nullptr) port_->Release();
            --WaveMiniports().live;
            delete this;
        }
        return left;
    }

    NTSTATUS GetDescription(PCFILTER_DESCRIPTOR** description) override {
        *description = &filter_;
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, KSDATARANGE*, KSDATARANGE*, ULONG, PVOID, ULONG*) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS Init(PUNKNOWN adapter, IResourceList*, IPortWaveRT* port) override {
        port_ = port;
        port_->AddRef();
        const NTSTATUS status = adapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&adapter_));
        if (NT_SUCCESS(status) && WaveMiniports().registerWithAdapter) {
            adapter_->RegisterWaveMiniport(static_cast<IMiniportWaveRT*>(this));
            ++WaveMiniports().registered;
        }
        return status;
    }
    NTSTATUS NewStream(IMiniportWaveRTStream**, IPortWaveRTStream*, ULONG, BOOLEAN, KSDATAFORMAT*) override {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS GetDeviceDescription(DEVICE_DESCRIPTION*) override { return STATUS_SUCCESS; }

    NTSTATUS UnregisterSubdevice(DEVICE_OBJECT* deviceObject) override {
        IUnregisterSubdevice* unregister = nullptr;
        NTSTATUS status = port_->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister));
        if (!NT_SUCCESS(status)) return status;
        status = unregister->UnregisterSubdevice(deviceObject, port_);
        unregister->Release();
        return status;
    }

private:
    ~WaveMiniport() = default;
    ULONG refs_ = 1;
    IAdapterCommon* adapter_ = nullptr;
    IPortWaveRT* port_ = nullptr;
    PCFILTER_DESCRIPTOR filter_{};
};

}  // namespace

NTSTATUS NewWaveMiniport(PUNKNOWN* miniport, REFCLSID, PUNKNOWN, POOL_TYPE) {
    *miniport = static_cast<IMiniportWaveRT*>(new WaveMiniport());
    return STATUS_SUCCESS;
}

}  // namespace test_support
