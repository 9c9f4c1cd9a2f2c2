#include "sim/kernel/kernel.h"

namespace sim {

Kernel::Kernel(Machine& machine) : machine_(machine) { (void)machine_; }

Kernel::~Kernel() = default;

}  // namespace sim
