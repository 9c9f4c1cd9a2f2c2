// The simulated kernel executive of one machine.
#pragma once

namespace sim {

class Machine;

class Kernel {
public:
    explicit Kernel(Machine& machine);
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

private:
    Machine& machine_;
};

}  // namespace sim
