// The simulated PnP manager: device nodes, their registry entries, driver
// matching and loading, device stacks, the PnP and power requests a real
// PnP manager sends, device properties and device interfaces.
//
// Bus drivers (the USB host controller) report children with Arrive() and
// their disappearance with Depart(); tests drive plug and unplug through
// the bus. Every request is sent on the calling thread and waited for, so a
// test observes the driver's reaction when the call returns.
#pragma once

#include "platform/io/device.h"
#include "platform/io/pnp.h"
#include "sim/pnp/interface_notifier.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Machine;

// What a bus driver knows about a child device.
struct DeviceIdentity {
    std::u16string deviceId;        // "USB\VID_7A3C&PID_0B51&MI_00"
    std::u16string instanceSuffix;  // "7&2f1c5b3a&0&0000"
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    GUID containerId{};
    std::u16string description;
};

enum class NodeState { Present, Started, StartFailed, SurpriseRemoved, Removed };

class PnpNode {
public:
    PnpNode(DeviceIdentity identity, DEVICE_OBJECT* pdo) : identity_(std::move(identity)), pdo_(pdo) {}

    const DeviceIdentity& identity() const { return identity_; }
    std::u16string InstanceId() const { return identity_.deviceId + u"\\" + identity_.instanceSuffix; }
    // "\Registry\Machine\System\CurrentControlSet\Enum\<instance id>"
    std::u16string EnumKeyPath() const;
    DEVICE_OBJECT* pdo() const { return pdo_; }
    NodeState state() const { return state_; }
    NTSTATUS startStatus() const { return startStatus_; }
    const std::u16string& service() const { return service_; }
    DEVICE_POWER_STATE powerState() const { return power_; }

private:
    friend class PnpManager;
    DeviceIdentity identity_;
    DEVICE_OBJECT* pdo_;
    NodeState state_ = NodeState::Present;
    NTSTATUS startStatus_ = 0;
    std::u16string service_;
    DEVICE_POWER_STATE power_ = PowerDeviceD0;
    // Properties set without PLUGPLAY_PROPERTY_PERSISTENT: gone with the node.
    std::map<std::pair<std::u16string, ULONG>, std::pair<DEVPROPTYPE, std::vector<UCHAR>>> volatileProperties_;
};

// A registered device interface.
struct DeviceInterface {
    GUID interfaceClass{};
    std::u16string referenceString;  // without the leading backslash
    std::u16string symbolicLink;     // "\??\USB#...#{guid}\wave"
    std::u16string deviceLink;       // the object-namespace link: without the reference string
    PnpNode* node = nullptr;
    bool enabled = false;
};

class PnpManager {
public:
    explicit PnpManager(Machine& machine);
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // Installs a driver package's kernel driver: its service key
    // (HKLM\System\CurrentControlSet\Services\<service>, Type 1, Start 3,
    // ImagePath) and the hardware ids it serves. Devices that arrive later,
    // and present ones without a driver, bind to it; a device that binds
    // takes `deviceDescription` (when given) as its "DeviceDesc", as the
    // INF's description replaces the bus's.
    void InstallDriver(const std::u16string& service, PDRIVER_INITIALIZE entry,
                       std::vector<std::u16string> hardwareIds, std::u16string deviceDescription = {});

    // A bus driver reports a new child: the node is created (or found again
    // by instance id), its Enum entries written, the matching driver loaded
    // (driver entry once per service), AddDevice called and the stack
    // started. Returns the node; its state tells how the start went.
    PnpNode* Arrive(DEVICE_OBJECT* pdo, DeviceIdentity identity);
    // The child is gone (surprise removal: SURPRISE_REMOVAL then
    // REMOVE_DEVICE) or is being removed in order (QUERY_REMOVE, REMOVE).
    // The driver is unloaded when its last device goes.
    void Depart(PnpNode* node, bool surprise);

    // Device power transition: QUERY_POWER then SET_POWER to the stack.
    NTSTATUS SetDevicePower(PnpNode* node, DEVICE_POWER_STATE state);

    std::vector<PnpNode*> Nodes() const;
    PnpNode* NodeForPdo(DEVICE_OBJECT* pdo) const;

    // Device interfaces.
    NTSTATUS RegisterInterface(DEVICE_OBJECT* pdo, const GUID& interfaceClass, std::u16string_view referenceString,
                               std::u16string* symbolicLink);
    NTSTATUS SetInterfaceState(std::u16string_view symbolicLink, bool enable);
    std::vector<DeviceInterface> Interfaces(const GUID* interfaceClass = nullptr) const;
    // Arrival and removal broadcasts of device interfaces.
    InterfaceNotifier& interfaceEvents() { return notifier_; }

    // Device properties (the property store lives under the node's Enum key).
    NTSTATUS SetProperty(PnpNode* node, const DEVPROPKEY& key, ULONG flags, DEVPROPTYPE type,
                         const void* data, ULONG size);
    NTSTATUS GetProperty(PnpNode* node, const DEVPROPKEY& key, void* data, ULONG size, ULONG* requiredSize,
                         DEVPROPTYPE* type) const;

    // Sends one PnP request to the top of the node's stack and waits.
    NTSTATUS SendPnp(PnpNode* node, UCHAR minor, IO_STACK_LOCATION* parameters = nullptr);

    // Removes every node (machine teardown).
    void Shutdown();

private:
    struct InstalledDriver {
        std::u16string service;
        PDRIVER_INITIALIZE entry;
        std::vector<std::u16string> hardwareIds;
        std::u16string deviceDescription;
        DRIVER_OBJECT* loaded = nullptr;
    };

    void WriteEnumEntries(const PnpNode& node);
    InstalledDriver* MatchDriver(const DeviceIdentity& identity);
    void BindAndStart(PnpNode* node);
    NTSTATUS SendPower(PnpNode* node, UCHAR minor, DEVICE_POWER_STATE state);

    Machine& machine_;
    mutable std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<PnpNode>> nodes_;
    std::vector<InstalledDriver> drivers_;
    std::vector<DeviceInterface> interfaces_;
    InterfaceNotifier notifier_;
};

PnpManager& CurrentPnp();

}  // namespace sim
