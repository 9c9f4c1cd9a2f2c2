// The simulated registry of one machine.
#pragma once

namespace sim {

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;
};

}  // namespace sim
