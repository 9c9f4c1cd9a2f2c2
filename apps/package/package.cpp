#include "apps/package/package.h"

#include "driver/adapter/driver_entry.h"
#include "sim/pnp/pnp_manager.h"

namespace package {

const std::vector<std::u16string>& DriverHardwareIds() {
    static const std::vector<std::u16string> ids = {u"USB\\VID_7A3C&PID_0B51&MI_00"};
    return ids;
}

void Install(sim::Machine& machine, const InstallOptions& options) {
    std::vector<std::u16string> ids = DriverHardwareIds();
    ids.insert(ids.end(), options.extraHardwareIds.begin(), options.extraHardwareIds.end());
    // The service key, its "\Parameters" and the ids the driver serves.
    machine.pnp().InstallDriver(kDriverService, DriverEntry, std::move(ids), kDeviceDescription);
}

}  // namespace package
