#include "sim/portcls/resource_list.h"

#include "platform/base/ntstatus.h"
#include "sim/portcls/pool_object.h"
#include "sim/portcls/port_class.h"
#include "sim/verifier.h"

namespace sim::portcls {

ResourceList* ResourceList::Create(CM_RESOURCE_LIST* translated, CM_RESOURCE_LIST* untranslated) {
    // The simulated buses assign no hardware resources, and the records that
    // would describe them are not part of the surface.
    if ((translated != nullptr && translated->Count != 0) || (untranslated != nullptr && untranslated->Count != 0))
        VerifierStop("start request carries hardware resources, which the simulated PortCls cannot describe");
    return PoolNew<ResourceList>(kPcTagResourceList, translated, untranslated);
}

NTSTATUS ResourceList::QueryInterface(REFIID id, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    if (id != IID_IUnknown && id != IID_IResourceList) return STATUS_INVALID_PARAMETER;
    *object = static_cast<IResourceList*>(this);
    AddRef();
    return STATUS_SUCCESS;
}

ULONG ResourceList::Release() {
    const LONG left = --references_;
    if (left == 0) PoolDelete(this, kPcTagResourceList);
    return static_cast<ULONG>(left);
}

NTSTATUS ResourceList::AddEntry(CM_PARTIAL_RESOURCE_DESCRIPTOR*, CM_PARTIAL_RESOURCE_DESCRIPTOR*) {
    return STATUS_NOT_SUPPORTED;  // see Create
}

NTSTATUS ResourceList::AddEntryFromParent(IResourceList*, CM_RESOURCE_TYPE, ULONG) { return STATUS_NOT_SUPPORTED; }

}  // namespace sim::portcls
