#include "sim/portcls/port_class.h"

#include "sim/machine.h"
#include "sim/portcls/adapter_device.h"

#include <algorithm>

namespace sim {

PortClass::PortClass(Machine&) {}

PortClass::~PortClass() = default;

std::uint64_t PortClass::AddListener(Listener listener) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = nextListener_++;
    listeners_.emplace_back(id, std::move(listener));
    return id;
}

void PortClass::RemoveListener(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    std::erase_if(listeners_, [id](const auto& entry) { return entry.first == id; });
}

void PortClass::Notify(const SubdeviceEvent& event) {
    std::vector<Listener> listeners;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : listeners_) listeners.push_back(entry.second);
    }
    for (const auto& listener : listeners) listener(event);
}

std::vector<SubdeviceInfo> PortClass::Subdevices() const {
    std::lock_guard lock(mutex_);
    std::vector<SubdeviceInfo> out;
    for (const portcls::AdapterDevice* device : devices_)
        for (auto& subdevice : device->PublishedSubdevices()) out.push_back(std::move(subdevice));
    return out;
}

std::vector<SubdeviceFailure> PortClass::SubdeviceFailures(DEVICE_OBJECT* fdo) const {
    std::lock_guard lock(mutex_);
    for (const portcls::AdapterDevice* device : devices_)
        if (device->fdo() == fdo) return device->Failures();
    return {};
}

std::size_t PortClass::AdapterDeviceCount() const {
    std::lock_guard lock(mutex_);
    return devices_.size();
}

void PortClass::AddDevice(portcls::AdapterDevice* device) {
    std::lock_guard lock(mutex_);
    devices_.push_back(device);
}

void PortClass::RemoveDevice(portcls::AdapterDevice* device) {
    std::lock_guard lock(mutex_);
    std::erase(devices_, device);
}

PortClass& CurrentPortClass() { return CurrentMachine().portcls(); }

}  // namespace sim
