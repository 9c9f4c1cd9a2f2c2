#include "sim/kernel/named_objects.h"

#include "sim/kernel/thread_record.h"

namespace sim {

std::u16string NamedObjects::PathFor(std::u16string_view name) {
    constexpr std::u16string_view global = u"Global\\";
    constexpr std::u16string_view local = u"Local\\";
    std::u16string directory = u"\\BaseNamedObjects\\";
    if (name.substr(0, global.size()) == global) {
        name.remove_prefix(global.size());
    } else {
        if (name.substr(0, local.size()) == local) name.remove_prefix(local.size());
        const ULONG session = CurrentSessionId();
        if (session != 0) {
            std::string number = std::to_string(session);
            directory = u"\\Sessions\\" + std::u16string(number.begin(), number.end()) + u"\\BaseNamedObjects\\";
        }
    }
    return directory + std::u16string(name);
}

std::shared_ptr<KernelObject> NamedObjects::OpenOrCreate(const std::u16string& path,
                                                         const std::function<std::shared_ptr<KernelObject>()>& create,
                                                         bool* existed) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(path);
    if (it != objects_.end()) {
        if (auto object = it->second.lock()) {
            *existed = true;
            return object;
        }
    }
    *existed = false;
    std::shared_ptr<KernelObject> object = create();
    objects_[path] = object;
    // Forget names whose objects are gone, so the map does not grow forever.
    for (auto entry = objects_.begin(); entry != objects_.end();)
        entry = entry->second.expired() ? objects_.erase(entry) : std::next(entry);
    return object;
}

std::shared_ptr<KernelObject> NamedObjects::Open(const std::u16string& path) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(path);
    return it == objects_.end() ? nullptr : it->second.lock();
}

}  // namespace sim
