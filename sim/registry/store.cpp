#include "sim/registry/store.h"

#include "platform/registry/registry_types.h"
#include "sim/machine.h"
#include "sim/registry/registry.h"
#include "sim/strings.h"
#include "sim/user/handles.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace sim::reg {

namespace {

// Path components, skipping empty ones: the registry's own name parser
// tolerates doubled, leading and trailing separators.
std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    std::size_t i = 0;
    while (i < path.size()) {
        if (path[i] == u'\\') {
            ++i;
            continue;
        }
        std::size_t end = path.find(u'\\', i);
        if (end == std::u16string_view::npos) end = path.size();
        parts.push_back(path.substr(i, end - i));
        i = end;
    }
    return parts;
}

// Resolves where a walk starts: the root for an absolute path (whose first
// component must name it), `base` for a relative one.
NTSTATUS StartOfWalk(const std::shared_ptr<Node>& root, const std::shared_ptr<Node>& base,
                     std::u16string_view path, std::vector<std::u16string_view>* parts,
                     std::shared_ptr<Node>* start) {
    *parts = SplitPath(path);
    if (base) {
        if (base->deleted) return STATUS_KEY_DELETED;
        *start = base;
        return STATUS_SUCCESS;
    }
    if (path.empty() || path[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (parts->empty()) return STATUS_OBJECT_TYPE_MISMATCH;  // "\" is the object directory, not a key
    if (!EqualsNoCase((*parts)[0], root->name))
        return parts->size() == 1 ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    parts->erase(parts->begin());
    *start = root;
    return STATUS_SUCCESS;
}

}  // namespace

void Signals::Deliver() {
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& signal : pending) signal();
}

Value* Node::FindValue(std::u16string_view valueName) {
    for (auto& value : values)
        if (EqualsNoCase(value.name, valueName)) return &value;
    return nullptr;
}

std::shared_ptr<Node> Node::FindChild(std::u16string_view childName) const {
    auto it = children.find(UpperCase(childName));
    return it == children.end() ? nullptr : it->second;
}

std::shared_ptr<Node> Node::ChildAt(std::size_t index) const {
    if (index >= children.size()) return nullptr;
    return std::next(children.begin(), static_cast<std::ptrdiff_t>(index))->second;
}

bool Node::IsBelow(const Node& ancestor) const {
    for (const Node* p = parent; p != nullptr; p = p->parent)
        if (p == &ancestor) return true;
    return false;
}

LONGLONG SystemTimeNow() {
    // 100 ns units from 1601-01-01 to 1970-01-01.
    constexpr LONGLONG kUnixEpoch = 116444736000000000LL;
    const auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpoch + std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

Store::Store() : root(std::make_shared<Node>()) {
    root->name = u"REGISTRY";
    root->permanent = true;
    root->lastWrite = Stamp();
}

LONGLONG Store::Stamp() {
    // Strictly increasing, so every change is visible in LastWriteTime even
    // within one tick of the host clock.
    lastStamp_ = std::max(SystemTimeNow(), lastStamp_ + 1);
    return lastStamp_;
}

NTSTATUS Store::Lookup(const std::shared_ptr<Node>& base, std::u16string_view path,
                       std::shared_ptr<Node>* out) const {
    std::vector<std::u16string_view> parts;
    std::shared_ptr<Node> node;
    NTSTATUS status = StartOfWalk(root, base, path, &parts, &node);
    if (!NT_SUCCESS(status)) return status;
    for (auto part : parts) {
        node = node->FindChild(part);
        if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *out = std::move(node);
    return STATUS_SUCCESS;
}

NTSTATUS Store::Create(const std::shared_ptr<Node>& base, std::u16string_view path, bool intermediates,
                       std::u16string_view className, std::shared_ptr<Node>* out, ULONG* disposition,
                       Signals& signals) {
    std::vector<std::u16string_view> parts;
    std::shared_ptr<Node> node;
    NTSTATUS status = StartOfWalk(root, base, path, &parts, &node);
    if (!NT_SUCCESS(status)) return status;
    bool created = false;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        auto child = node->FindChild(parts[i]);
        created = !child;
        if (!child) {
            const bool last = i + 1 == parts.size();
            if (!last && !intermediates) return STATUS_OBJECT_NAME_NOT_FOUND;
            child = std::make_shared<Node>();
            child->name = std::u16string(parts[i]);
            if (last) child->className = std::u16string(className);
            child->parent = node.get();
            child->lastWrite = node->lastWrite = Stamp();
            node->children.emplace(UpperCase(parts[i]), child);
            Report(*node, REG_NOTIFY_CHANGE_NAME, signals);
        }
        node = std::move(child);
    }
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *out = std::move(node);
    return STATUS_SUCCESS;
}

NTSTATUS Store::Delete(Node& node, Signals& signals) {
    if (node.deleted) return STATUS_KEY_DELETED;
    if (node.permanent || !node.children.empty()) return STATUS_CANNOT_DELETE;
    DeleteLocked(node, signals);
    return STATUS_SUCCESS;
}

void Store::DeleteLocked(Node& node, Signals& signals) {
    Node& parent = *node.parent;
    // The parent's map may hold the last reference.
    const std::shared_ptr<Node> keep = parent.children.at(UpperCase(node.name));
    Report(parent, REG_NOTIFY_CHANGE_NAME, signals);
    // Whoever watches the key itself hears of its end, whatever the filter.
    for (auto& request : requests_)
        if (request->node.get() == &node) Complete(*request, signals);
    parent.children.erase(UpperCase(node.name));
    parent.lastWrite = Stamp();
    node.parent = nullptr;
    node.deleted = true;
    node.values.clear();
}

NTSTATUS Store::DeleteTree(Node& node, bool self, Signals& signals) {
    if (node.deleted) return STATUS_KEY_DELETED;
    std::vector<std::shared_ptr<Node>> children;
    for (auto& [upcased, child] : node.children) children.push_back(child);
    NTSTATUS status = STATUS_SUCCESS;
    for (auto& child : children) {
        NTSTATUS childStatus = DeleteTree(*child, true, signals);
        if (!NT_SUCCESS(childStatus)) status = childStatus;
    }
    if (!node.values.empty()) {
        node.values.clear();
        node.lastWrite = Stamp();
        Report(node, REG_NOTIFY_CHANGE_LAST_SET, signals);
    }
    if (self) {
        if (node.permanent || !node.children.empty()) return STATUS_CANNOT_DELETE;
        DeleteLocked(node, signals);
    }
    return status;
}

NTSTATUS Store::SetValue(Node& node, std::u16string_view valueName, ULONG type, const void* data, std::size_t size,
                         Signals& signals) {
    if (node.deleted) return STATUS_KEY_DELETED;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    Value* value = node.FindValue(valueName);
    if (value && value->type == type && value->data.size() == size &&
        (size == 0 || std::memcmp(value->data.data(), bytes, size) == 0))
        return STATUS_SUCCESS;
    if (!value) {
        node.values.push_back(Value{std::u16string(valueName), type, {}});
        value = &node.values.back();
    }
    value->type = type;
    value->data.assign(bytes, bytes + size);
    node.lastWrite = Stamp();
    Report(node, REG_NOTIFY_CHANGE_LAST_SET, signals);
    return STATUS_SUCCESS;
}

NTSTATUS Store::DeleteValue(Node& node, std::u16string_view valueName, Signals& signals) {
    if (node.deleted) return STATUS_KEY_DELETED;
    auto it = std::find_if(node.values.begin(), node.values.end(),
                           [&](const Value& v) { return EqualsNoCase(v.name, valueName); });
    if (it == node.values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    node.values.erase(it);
    node.lastWrite = Stamp();
    Report(node, REG_NOTIFY_CHANGE_LAST_SET, signals);
    return STATUS_SUCCESS;
}

std::u16string Store::FullName(const Node& node) {
    std::vector<const Node*> chain;
    for (const Node* p = &node; p != nullptr; p = p->parent) chain.push_back(p);
    std::u16string name;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        name += u'\\';
        name += (*it)->name;
    }
    return name;
}

std::shared_ptr<NotifyRequest> Store::NewRequest(const std::shared_ptr<Node>& node) {
    auto request = std::make_shared<NotifyRequest>();
    request->node = node;
    requests_.push_back(request);
    return request;
}

bool Store::Arm(NotifyRequest& request, ULONG filter, bool subtree, std::function<void()> signal,
                Signals& signals) {
    request.filter = filter;
    request.subtree = subtree;
    if (request.pending) {
        request.pending = false;
        ++request.completions;
        if (signal) signals.Add(std::move(signal));
        return true;
    }
    request.armed = true;
    if (signal) request.signals.push_back(std::move(signal));
    return false;
}

void Store::Report(const Node& reportedAt, ULONG filter, Signals& signals) {
    for (auto& request : requests_) {
        if ((request->filter & filter) == 0) continue;
        if (request->node.get() == &reportedAt || (request->subtree && reportedAt.IsBelow(*request->node)))
            Complete(*request, signals);
    }
}

void Store::Complete(NotifyRequest& request, Signals& signals) {
    if (!request.armed) {
        request.pending = true;
        return;
    }
    request.armed = false;
    for (auto& signal : request.signals) signals.Add(std::move(signal));
    request.signals.clear();
    ++request.completions;
    notified.notify_all();
}

void Store::Close(const std::shared_ptr<NotifyRequest>& request, Signals& signals) {
    if (request->closed) return;
    if (request->armed) Complete(*request, signals);
    request->closed = true;
    ++request->completions;
    notified.notify_all();
    std::erase(requests_, request);
}

void Store::ShutDown() {
    shutDown = true;
    for (auto& request : requests_) {
        request->signals.clear();
        request->armed = false;
        request->closed = true;
        ++request->completions;
    }
    requests_.clear();
    notified.notify_all();
}

KeyObject::KeyObject(std::shared_ptr<Store> storeIn, std::shared_ptr<Node> nodeIn, ACCESS_MASK grantedIn)
    : store(std::move(storeIn)), node(std::move(nodeIn)), granted(grantedIn) {}

KeyObject::~KeyObject() {
    Signals signals;
    std::lock_guard lock(store->mutex);
    if (notify) store->Close(notify, signals);
    // `lock` is released before `signals` delivers.
}

std::shared_ptr<Store> CurrentStore() { return CurrentMachine().registry().store(); }

NTSTATUS ReferenceKey(HANDLE handle, std::shared_ptr<KeyObject>* out, bool userMode) {
    auto object = userMode ? LookupUserHandle(handle) : LookupKernelModeHandle(handle);
    if (!object) return STATUS_INVALID_HANDLE;
    auto key = std::dynamic_pointer_cast<KeyObject>(object);
    if (!key) return STATUS_OBJECT_TYPE_MISMATCH;
    *out = std::move(key);
    return STATUS_SUCCESS;
}

HANDLE InsertKey(const std::shared_ptr<Store>& store, const std::shared_ptr<Node>& node, ACCESS_MASK granted,
                 const OBJECT_ATTRIBUTES* attributes, bool userMode) {
    auto key = std::make_shared<KeyObject>(store, node, granted);
    return userMode ? InsertUserHandle(std::move(key)) : InsertKernelModeHandle(std::move(key), attributes);
}

ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
    constexpr ACCESS_MASK kGenericRead = 0x80000000;
    constexpr ACCESS_MASK kGenericWrite = 0x40000000;
    constexpr ACCESS_MASK kGenericExecute = 0x20000000;
    constexpr ACCESS_MASK kGenericAll = 0x10000000;
    constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
    ACCESS_MASK granted = desired & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll |
                                      kMaximumAllowed | KEY_WOW64_RES);
    if (desired & kGenericRead) granted |= KEY_READ;
    if (desired & kGenericWrite) granted |= KEY_WRITE;
    if (desired & kGenericExecute) granted |= KEY_EXECUTE;
    if (desired & (kGenericAll | kMaximumAllowed)) granted |= KEY_ALL_ACCESS;
    return granted;
}

}  // namespace sim::reg
