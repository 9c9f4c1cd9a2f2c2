// A machine's named-object directory (\BaseNamedObjects and the sessions'
// directories). Names compare exactly, as the Win32 object names do.
#pragma once

#include "platform/base/types.h"
#include "sim/kernel/object_ref.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace sim {

class NamedObjects {
public:
    // The directory path a Win32 name means for the calling thread's
    // session: "Global\x" and, in session 0, "Local\x" and "x" are
    // "\BaseNamedObjects\x"; elsewhere "\Sessions\<n>\BaseNamedObjects\x".
    static std::u16string PathFor(std::u16string_view name);

    // The live object at `path`, or the one `create` makes (then inserted).
    // `existed` tells which.
    std::shared_ptr<KernelObject> OpenOrCreate(const std::u16string& path,
                                               const std::function<std::shared_ptr<KernelObject>()>& create,
                                               bool* existed);
    std::shared_ptr<KernelObject> Open(const std::u16string& path);

private:
    std::mutex mutex_;
    std::map<std::u16string, std::weak_ptr<KernelObject>> objects_;
};

}  // namespace sim
