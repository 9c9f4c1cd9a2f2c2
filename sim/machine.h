// One simulated Windows computer.
//
// A Machine owns everything a real machine has: the kernel executive, the
// registry, and (as they are added) the PnP tree, the USB host controller,
// services and processes. Tests make one per case; several may live in one
// process, and nothing survives a machine's destruction.
#pragma once

#include "sim/kernel/clock.h"
#include "sim/object.h"

#include <memory>

namespace sim {

namespace usb {
class HostController;
}
namespace audio {
class EndpointBuilder;
}
class Faults;
class ImageCatalog;
class IoManager;
class ProcessManager;
class PnpManager;
class PortClass;
class Kernel;
class Registry;

class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    Kernel& kernel() { return *kernel_; }
    // The one clock of kernel and user time; Skip moves it forward.
    Clock& clock() { return clock_; }
    Registry& registry() { return *registry_; }
    // The System process (kernel handles), the test process and the
    // processes a test creates or starts.
    ProcessManager& processes() { return *processes_; }
    // Fault injection for user-mode calls.
    Faults& faults() { return *faults_; }
    // The images installed on the machine's disk.
    ImageCatalog& images() { return *images_; }
    IoManager& io() { return *io_; }
    PnpManager& pnp() { return *pnp_; }
    usb::HostController& usb() { return *usb_; }
    PortClass& portcls() { return *portcls_; }
    // The system audio engine's endpoint records of the WaveRT filters.
    audio::EndpointBuilder& audioEndpoints() { return *audio_; }

    // The machine the calling thread runs on. Platform calls made by the
    // system (pool, DPCs, registry) act on it. The constructing thread enters
    // the new machine; threads the machine creates run on it.
    static Machine* Current();

private:
    friend class MachineScope;
    Machine* previous_ = nullptr;
    Clock clock_;
    std::unique_ptr<Faults> faults_;
    std::unique_ptr<ImageCatalog> images_;  // outlives every process
    // Destroyed last: the objects the handle tables held may refer to the
    // kernel (the tables are emptied when the processes exit, first).
    std::unique_ptr<ProcessManager> processes_;
    std::unique_ptr<Kernel> kernel_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<IoManager> io_;
    std::unique_ptr<PnpManager> pnp_;
    std::unique_ptr<usb::HostController> usb_;
    std::unique_ptr<PortClass> portcls_;  // outlives the drivers that use it
    std::unique_ptr<audio::EndpointBuilder> audio_;
};

// Makes `machine` the calling thread's current machine until the scope ends.
class MachineScope {
public:
    explicit MachineScope(Machine& machine);
    ~MachineScope();
    MachineScope(const MachineScope&) = delete;
    MachineScope& operator=(const MachineScope&) = delete;

private:
    Machine* previous_;
};

// The current machine; a verifier stop when the thread runs on none.
Machine& CurrentMachine();

}  // namespace sim
