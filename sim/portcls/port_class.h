// The simulated port-class library of one machine: what PortCls knows across
// adapter devices, and the simulator's view of it.
//
// The Pc* routines of platform/portcls are implemented in this folder. This
// object holds what they share per machine: the adapter devices PortCls
// manages and the listeners told when a subdevice comes and goes (the
// simulated system audio engine builds its endpoints from those events, as
// the real one does from device-interface arrival).
#pragma once

#include "platform/base/types.h"
#include "platform/io/device.h"
#include "platform/kernel/pool.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Machine;

namespace portcls {
class AdapterDevice;
}

// Pool tags of what PortCls allocates on a driver's behalf.
inline constexpr ULONG kPcTagDevice = PoolTag("PcDv");         // per adapter device
inline constexpr ULONG kPcTagPort = PoolTag("PcPt");           // port objects
inline constexpr ULONG kPcTagSubdevice = PoolTag("PcSd");      // registered subdevices
inline constexpr ULONG kPcTagFilter = PoolTag("PcFh");         // open filter handles
inline constexpr ULONG kPcTagServiceGroup = PoolTag("PcSg");   // service groups
inline constexpr ULONG kPcTagResourceList = PoolTag("PcRl");   // start-device resource lists
inline constexpr ULONG kPcTagProperty = PoolTag("PcPr");       // property request buffers
inline constexpr ULONG kPcTagWaveRtBuffer = PoolTag("PcRt");   // WaveRT cyclic buffers
inline constexpr ULONG kPcTags[] = {kPcTagDevice,       kPcTagPort,         kPcTagSubdevice, kPcTagFilter,
                                    kPcTagServiceGroup, kPcTagResourceList, kPcTagProperty,  kPcTagWaveRtBuffer};

enum class PortType { WaveRT, Midi };

// A subdevice as user mode sees it.
struct SubdeviceInfo {
    DEVICE_OBJECT* functionalDevice = nullptr;
    DEVICE_OBJECT* physicalDevice = nullptr;
    std::u16string name;                    // "Wave": also the interfaces' reference string
    PortType port = PortType::WaveRT;
    std::vector<GUID> categories;           // KSCATEGORY_AUDIO, _RENDER, ...
    std::vector<std::u16string> interfaces; // symbolic links, one per category, same order
};

// A subdevice an adapter tried to install and did not get (install_log.h).
struct SubdeviceFailure {
    PortType port = PortType::WaveRT;
    std::u16string name;                 // empty unless the adapter got as far as registering
    std::string step;                    // "PcNewMiniport", "miniport", "Init" or "PcRegisterSubdevice"
    std::optional<NTSTATUS> status;      // what the step returned; unset when PortCls never saw it
};

struct SubdeviceEvent {
    enum class Kind { Registered, Unregistered };
    Kind kind;
    SubdeviceInfo subdevice;
};

class PortClass {
public:
    explicit PortClass(Machine& machine);
    ~PortClass();
    PortClass(const PortClass&) = delete;
    PortClass& operator=(const PortClass&) = delete;

    // Listeners run on the thread that registers or unregisters, after the
    // device interfaces were enabled (Registered) or disabled (Unregistered),
    // with no PortCls lock held. A surprise removal reports every subdevice
    // of the device as Unregistered. A listener may open and close filter
    // handles; it must not register or unregister subdevices itself.
    using Listener = std::function<void(const SubdeviceEvent&)>;
    std::uint64_t AddListener(Listener listener);
    void RemoveListener(std::uint64_t id);

    // The subdevices registered now, on every adapter device of the machine.
    std::vector<SubdeviceInfo> Subdevices() const;
    // What the adapter device of `fdo` tried to install and did not, in order.
    std::vector<SubdeviceFailure> SubdeviceFailures(DEVICE_OBJECT* fdo) const;
    // Adapter devices PortCls manages (added and not yet removed).
    std::size_t AdapterDeviceCount() const;

    // For the Pc* routines.
    void AddDevice(portcls::AdapterDevice* device);
    void RemoveDevice(portcls::AdapterDevice* device);
    void Notify(const SubdeviceEvent& event);

private:
    mutable std::mutex mutex_;
    std::vector<portcls::AdapterDevice*> devices_;
    std::vector<std::pair<std::uint64_t, Listener>> listeners_;
    std::uint64_t nextListener_ = 1;
};

PortClass& CurrentPortClass();

}  // namespace sim
