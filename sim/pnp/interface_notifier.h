// Device-interface arrival and removal broadcasts. When a driver enables or
// disables a device interface, the PnP manager queues the event here; one
// thread of the machine hands the events, in order, to every listener (the
// user-mode notification registrations: windows get WM_DEVICECHANGE,
// services SERVICE_CONTROL_DEVICEEVENT). As on Windows the broadcast is
// asynchronous: the driver that changed the interface never waits for a
// listener.
#pragma once

#include "platform/base/types.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace sim {

class Machine;

struct InterfaceEvent {
    GUID interfaceClass{};
    std::u16string symbolicLink;  // "\??\USB#...#{guid}\wave"
    std::u16string instanceId;    // the device's instance id
    bool arrived = false;         // false: removed
};

class InterfaceNotifier {
public:
    using Listener = std::function<void(const InterfaceEvent&)>;

    explicit InterfaceNotifier(Machine& machine);
    ~InterfaceNotifier();
    InterfaceNotifier(const InterfaceNotifier&) = delete;
    InterfaceNotifier& operator=(const InterfaceNotifier&) = delete;

    // Listeners are called on the notifier's thread, one event at a time.
    // Remove waits until a call to that listener in progress has returned
    // (so it must not be called from within the listener itself).
    int Add(Listener listener);
    void Remove(int id);

    void Post(InterfaceEvent event);
    // Waits until every event posted so far has been delivered.
    void WaitDelivered();
    // Stops the thread; events still queued are dropped.
    void Shutdown();

private:
    void Body();

    Machine& machine_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<InterfaceEvent> queue_;
    std::map<int, Listener> listeners_;
    int nextId_ = 1;
    int delivering_ = 0;  // listener id being called, 0 for none
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace sim
