#include "sim/portcls/install_log.h"

#include "sim/portcls/adapter_device.h"
#include "sim/portcls/port.h"

#include <memory>
#include <optional>
#include <vector>

namespace sim::portcls {
namespace {

struct MadePort {
    const Port* port;  // identity only: the port may be gone
    PortType type;
    bool reachedInit = false;
    std::optional<NTSTATUS> miniportStatus;  // PcNewMiniport's refusal after it was made
};

struct Scope {
    AdapterDevice* device = nullptr;
    std::vector<MadePort> ports;
};

thread_local std::unique_ptr<Scope> t_scope;

}  // namespace

StartDeviceScope::StartDeviceScope(AdapterDevice* device) { t_scope.reset(new Scope{device, {}}); }

StartDeviceScope::~StartDeviceScope() {
    const std::unique_ptr<Scope> scope = std::move(t_scope);
    for (const MadePort& made : scope->ports) {
        if (made.reachedInit) continue;
        SubdeviceFailure failure;
        failure.port = made.type;
        failure.step = made.miniportStatus ? "PcNewMiniport" : "miniport";
        failure.status = made.miniportStatus;
        scope->device->RecordFailure(std::move(failure));
    }
}

void NotePortCreated(Port* port) {
    if (t_scope != nullptr) t_scope->ports.push_back({port, port->type(), false, std::nullopt});
}

void NoteMiniportRefused(NTSTATUS status) {
    if (t_scope == nullptr) return;
    // The miniport is meant for the newest port still waiting for one.
    for (auto it = t_scope->ports.rbegin(); it != t_scope->ports.rend(); ++it)
        if (!it->reachedInit && !it->miniportStatus) {
            it->miniportStatus = status;
            return;
        }
}

NTSTATUS NotePortInit(Port* port, DEVICE_OBJECT* deviceObject, NTSTATUS status) {
    if (t_scope != nullptr)
        for (MadePort& made : t_scope->ports)
            if (made.port == port) made.reachedInit = true;
    if (NT_SUCCESS(status)) return status;
    AdapterDevice* device = AdapterDevice::FromDeviceObject(deviceObject);
    if (device == nullptr && t_scope != nullptr) device = t_scope->device;
    if (device == nullptr) return status;
    SubdeviceFailure failure;
    failure.port = port->type();
    failure.step = "Init";
    failure.status = status;
    device->RecordFailure(std::move(failure));
    return status;
}

void NoteRegistrationRefused(AdapterDevice* device, Port* port, PCWSTR name, NTSTATUS status) {
    SubdeviceFailure failure;
    failure.port = port->type();
    for (std::size_t i = 0; name != nullptr && name[i] != 0 && i < 64; ++i) failure.name += name[i];
    failure.step = "PcRegisterSubdevice";
    failure.status = status;
    device->RecordFailure(std::move(failure));
}

}  // namespace sim::portcls
