// Service groups (PcNewServiceGroup): sinks serviced together, the way a
// MIDI miniport tells its port that data arrived.
#include "platform/base/list.h"
#include "platform/base/ntstatus.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/spinlock.h"
#include "platform/portcls/portcls.h"
#include "sim/portcls/pool_object.h"
#include "sim/portcls/port_class.h"
#include "sim/verifier.h"

#include <atomic>

namespace sim::portcls {

namespace {

struct Member {
    LIST_ENTRY link;
    IServiceSink* sink;  // referenced
};

class ServiceGroup final : public IServiceGroup {
public:
    ServiceGroup() {
        InitializeListHead(&members_);
        KeInitializeSpinLock(&lock_);
    }

    NTSTATUS QueryInterface(REFIID id, PVOID* object) override {
        if (object == nullptr) return STATUS_INVALID_PARAMETER;
        *object = nullptr;
        if (id != IID_IUnknown && id != IID_IServiceSink && id != IID_IServiceGroup) return STATUS_INVALID_PARAMETER;
        *object = static_cast<IServiceGroup*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG Release() override {
        const LONG left = --references_;
        if (left < 0) VerifierStop("service group %p released more often than referenced", (void*)this);
        if (left == 0) Destroy();
        return static_cast<ULONG>(left);
    }

    // Members are serviced under the group's lock, so that once RemoveMember
    // returns the removed sink is not running.
    void RequestService() override {
        KIRQL irql;
        KeAcquireSpinLock(&lock_, &irql);
        for (LIST_ENTRY* entry = members_.Flink; entry != &members_; entry = entry->Flink)
            OVU_CONTAINING_RECORD(entry, Member, link)->sink->RequestService();
        KeReleaseSpinLock(&lock_, irql);
    }

    NTSTATUS AddMember(IServiceSink* sink) override {
        if (sink == nullptr) return STATUS_INVALID_PARAMETER;
        Member* member = PoolNew<Member>(kPcTagServiceGroup);
        if (member == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        sink->AddRef();
        member->sink = sink;
        KIRQL irql;
        KeAcquireSpinLock(&lock_, &irql);
        InsertTailList(&members_, &member->link);
        KeReleaseSpinLock(&lock_, irql);
        return STATUS_SUCCESS;
    }

    void RemoveMember(IServiceSink* sink) override {
        Member* found = nullptr;
        KIRQL irql;
        KeAcquireSpinLock(&lock_, &irql);
        for (LIST_ENTRY* entry = members_.Flink; entry != &members_; entry = entry->Flink) {
            Member* member = OVU_CONTAINING_RECORD(entry, Member, link);
            if (member->sink == sink) {
                RemoveEntryList(entry);
                found = member;
                break;
            }
        }
        KeReleaseSpinLock(&lock_, irql);
        if (found == nullptr) return;
        found->sink->Release();
        PoolDelete(found, kPcTagServiceGroup);
    }

    void SupportDelayedService() override {}
    void RequestDelayedService(ULONGLONG) override {
        // Nothing in the package asks for it, and the simulated kernel has no
        // timers to build it on: fail loudly rather than service at the
        // wrong time.
        VerifierStop("IServiceGroup::RequestDelayedService is not simulated");
    }
    void CancelDelayedService() override {}

private:
    void Destroy() {
        while (!IsListEmpty(&members_)) {
            Member* member = OVU_CONTAINING_RECORD(RemoveHeadList(&members_), Member, link);
            member->sink->Release();
            PoolDelete(member, kPcTagServiceGroup);
        }
        PoolDelete(this, kPcTagServiceGroup);
    }

    std::atomic<LONG> references_{1};
    KSPIN_LOCK lock_ = 0;
    LIST_ENTRY members_;
};

}  // namespace

}  // namespace sim::portcls

NTSTATUS PcNewServiceGroup(PSERVICEGROUP* outServiceGroup, PUNKNOWN) {
    if (outServiceGroup == nullptr) return STATUS_INVALID_PARAMETER;
    *outServiceGroup = sim::portcls::PoolNew<sim::portcls::ServiceGroup>(sim::kPcTagServiceGroup);
    return *outServiceGroup != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
