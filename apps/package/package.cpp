#include "apps/package/package.h"

#include "common/hardware_ids.h"
#include "driver/adapter/driver_entry.h"
#include "sim/pnp/pnp_manager.h"

#include <iterator>

namespace package {

const std::vector<std::u16string>& DriverHardwareIds() {
    // The same devices the user-mode deliverables serve.
    static const std::vector<std::u16string> ids(std::begin(SupportedHardwareIds), std::end(SupportedHardwareIds));
    return ids;
}

void Install(sim::Machine& machine, const InstallOptions& options) {
    std::vector<std::u16string> ids = DriverHardwareIds();
    ids.insert(ids.end(), options.extraHardwareIds.begin(), options.extraHardwareIds.end());
    // The service key, its "\Parameters" and the ids the driver serves.
    machine.pnp().InstallDriver(kDriverService, DriverEntry, std::move(ids), kDeviceDescription);
}

}  // namespace package
