#include "sim/registry/registry.h"

namespace sim {

Registry::Registry() = default;
Registry::~Registry() = default;

}  // namespace sim
