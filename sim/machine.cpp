#include "sim/machine.h"

#include "sim/audio/endpoints.h"
#include "sim/faults.h"
#include "sim/io/io_manager.h"
#include "sim/kernel/kernel.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/portcls/port_class.h"
#include "sim/registry/registry.h"
#include "sim/usb/host_controller.h"
#include "sim/user/images.h"
#include "sim/user/process_manager.h"
#include "sim/verifier.h"

namespace sim {

namespace {
thread_local Machine* current_machine = nullptr;
}

Machine* Machine::Current() { return current_machine; }

Machine& CurrentMachine() {
    if (current_machine == nullptr) VerifierStop("platform call on a thread that runs on no simulated machine");
    return *current_machine;
}

Machine::Machine() : previous_(current_machine) {
    current_machine = this;
    faults_ = std::make_unique<Faults>();
    images_ = std::make_unique<ImageCatalog>();
    registry_ = std::make_unique<Registry>();
    processes_ = std::make_unique<ProcessManager>(*this);  // before the kernel's threads enter System
    kernel_ = std::make_unique<Kernel>(*this);
    io_ = std::make_unique<IoManager>(*this);
    portcls_ = std::make_unique<PortClass>(*this);
    audio_ = std::make_unique<audio::EndpointBuilder>(*this);
    pnp_ = std::make_unique<PnpManager>(*this);
    usb_ = std::make_unique<usb::HostController>(*this);
}

Machine::~Machine() {
    // Processes exit first (their handles' CLEANUP and CLOSE reach the
    // drivers), then the drivers go (their unload may still use the
    // kernel), then the kernel, whose threads may still read the registry
    // and whose teardown runs the pool leak check.
    processes_->Shutdown();
    kernel_->RunUntilQuiet();  // CLOSE of file objects whose last reference went at DISPATCH_LEVEL
    pnp_->Shutdown();
    usb_->Shutdown();
    io_->Shutdown();
    audio_.reset();  // no subdevice comes or goes any more
    usb_.reset();
    pnp_.reset();
    io_.reset();
    portcls_.reset();
    kernel_->Shutdown();  // while kernel() still answers its threads
    kernel_.reset();
    registry_.reset();
    if (current_machine == this) current_machine = previous_;
}

MachineScope::MachineScope(Machine& machine) : previous_(current_machine) { current_machine = &machine; }

MachineScope::~MachineScope() { current_machine = previous_; }

}  // namespace sim
