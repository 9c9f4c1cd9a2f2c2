// The registry's tree and its operations, shared by the kernel view
// (ZwOpenKey ...), the user view (RegOpenKeyExW ...), the .reg import and
// export, and the simulator's own Registry API. Internal to sim/registry.
//
// One mutex guards the whole tree. Every Store operation below expects it to
// be held; the ones that change the tree collect the notification signals
// they cause in a Signals list, which the caller delivers after releasing
// the mutex (an event's lock is never taken inside the registry's).
#pragma once

#include "platform/base/ntstatus.h"
#include "platform/base/types.h"
#include "platform/registry/object_attributes.h"
#include "sim/object.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim::reg {

struct Value {
    std::u16string name;
    ULONG type = 0;
    std::vector<std::uint8_t> data;
};

struct Node {
    std::u16string name;  // as created
    std::u16string className;
    Node* parent = nullptr;  // null for the root and for deleted keys
    // Keyed by the upcased name, which is also the enumeration order.
    std::map<std::u16string, std::shared_ptr<Node>> children;
    std::vector<Value> values;  // in the order they were first set
    LONGLONG lastWrite = 0;
    bool deleted = false;
    bool permanent = false;  // the root and the hive keys cannot be deleted

    Value* FindValue(std::u16string_view valueName);
    std::shared_ptr<Node> FindChild(std::u16string_view childName) const;
    std::shared_ptr<Node> ChildAt(std::size_t index) const;
    bool IsBelow(const Node& ancestor) const;
};

// One handle's change notification (the registration RegNotifyChangeKeyValue
// makes on its first call and keeps until the handle is closed).
struct NotifyRequest {
    std::shared_ptr<Node> node;
    ULONG filter = 0;
    bool subtree = false;
    bool armed = false;    // a request waits for the next change
    bool pending = false;  // a change came while none waited
    bool closed = false;
    std::vector<std::function<void()>> signals;  // of the armed asynchronous requests
    std::uint64_t completions = 0;              // wakes synchronous waiters
};

class Signals {
public:
    Signals() = default;
    Signals(const Signals&) = delete;
    Signals& operator=(const Signals&) = delete;
    ~Signals() { Deliver(); }
    void Add(std::function<void()> signal) { pending_.push_back(std::move(signal)); }
    // Call with the store's mutex released.
    void Deliver();

private:
    std::vector<std::function<void()>> pending_;
};

class Store {
public:
    Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    mutable std::mutex mutex;
    std::condition_variable notified;  // NotifyRequest::completions moved
    std::shared_ptr<Node> root;        // "\REGISTRY"
    bool shutDown = false;             // the machine is going away: nothing signals any more

    // Absolute when `base` is null ("\Registry\..."), else relative to it; an
    // empty relative path is `base` itself.
    NTSTATUS Lookup(const std::shared_ptr<Node>& base, std::u16string_view path, std::shared_ptr<Node>* out) const;
    // Opens or creates. With `intermediates`, missing keys along the path are
    // created too (the user view's rule); without, only the last one is.
    NTSTATUS Create(const std::shared_ptr<Node>& base, std::u16string_view path, bool intermediates,
                    std::u16string_view className, std::shared_ptr<Node>* out, ULONG* disposition, Signals& signals);
    // STATUS_CANNOT_DELETE for a key with subkeys and for the permanent keys.
    NTSTATUS Delete(Node& node, Signals& signals);
    // Deletes everything below `node` (and its values); the node itself too
    // with `self`. Permanent keys below stay (emptied).
    NTSTATUS DeleteTree(Node& node, bool self, Signals& signals);
    // Identical type and data change nothing, as on Windows.
    NTSTATUS SetValue(Node& node, std::u16string_view valueName, ULONG type, const void* data, std::size_t size,
                      Signals& signals);
    NTSTATUS DeleteValue(Node& node, std::u16string_view valueName, Signals& signals);

    // "\REGISTRY\MACHINE\SOFTWARE\...".
    static std::u16string FullName(const Node& node);

    // Change notification.
    std::shared_ptr<NotifyRequest> NewRequest(const std::shared_ptr<Node>& node);
    // Arms the request; true when a kept change completes it at once (the
    // signal is then added to `signals`).
    bool Arm(NotifyRequest& request, ULONG filter, bool subtree, std::function<void()> signal, Signals& signals);
    // The handle closes: a waiting request completes.
    void Close(const std::shared_ptr<NotifyRequest>& request, Signals& signals);
    // Drops every request without signalling (machine teardown).
    void ShutDown();

private:
    LONGLONG Stamp();
    void Report(const Node& reportedAt, ULONG filter, Signals& signals);
    void Complete(NotifyRequest& request, Signals& signals);
    void DeleteLocked(Node& node, Signals& signals);

    LONGLONG lastStamp_ = 0;
    std::vector<std::shared_ptr<NotifyRequest>> requests_;
};

// An open key: the object behind a key handle of the machine's handle table.
class KeyObject final : public Object {
public:
    KeyObject(std::shared_ptr<Store> store, std::shared_ptr<Node> node, ACCESS_MASK granted);
    ~KeyObject() override;  // completes a waiting change notification
    const char* TypeName() const override { return "Key"; }

    const std::shared_ptr<Store> store;
    const std::shared_ptr<Node> node;
    const ACCESS_MASK granted;
    std::shared_ptr<NotifyRequest> notify;  // guarded by the store's mutex
};

// The current machine's store.
std::shared_ptr<Store> CurrentStore();

// STATUS_INVALID_HANDLE for a handle that is not open,
// STATUS_OBJECT_TYPE_MISMATCH for one that is not a key. `userMode`: the
// caller is a Win32 call (the calling process's handles only).
NTSTATUS ReferenceKey(HANDLE handle, std::shared_ptr<KeyObject>* out, bool userMode = false);

// A new handle: a user handle of the calling process, or for a kernel-mode
// caller one placed as `attributes` say (OBJ_KERNEL_HANDLE).
HANDLE InsertKey(const std::shared_ptr<Store>& store, const std::shared_ptr<Node>& node, ACCESS_MASK granted,
                 const OBJECT_ATTRIBUTES* attributes = nullptr, bool userMode = false);

// Generic and maximum-allowed rights mapped to key rights; the WOW64 view
// bits dropped (there is only the 64-bit view).
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired);

// FILETIME-style time of the host clock.
LONGLONG SystemTimeNow();

}  // namespace sim::reg
