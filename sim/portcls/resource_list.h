// The resource list PortCls hands to StartDevice: a view of the start
// request's CM_RESOURCE_LISTs. USB adapters receive none.
#pragma once

#include "platform/portcls/portcls.h"

#include <atomic>

namespace sim::portcls {

class ResourceList final : public IResourceList {
public:
    // Null when the pool fails.
    static ResourceList* Create(CM_RESOURCE_LIST* translated, CM_RESOURCE_LIST* untranslated);

    NTSTATUS QueryInterface(REFIID id, PVOID* object) override;
    ULONG AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG Release() override;

    ULONG NumberOfEntries() override { return 0; }
    ULONG NumberOfEntriesOfType(CM_RESOURCE_TYPE) override { return 0; }
    CM_PARTIAL_RESOURCE_DESCRIPTOR* FindTranslatedEntry(CM_RESOURCE_TYPE, ULONG) override { return nullptr; }
    CM_PARTIAL_RESOURCE_DESCRIPTOR* FindUntranslatedEntry(CM_RESOURCE_TYPE, ULONG) override { return nullptr; }
    NTSTATUS AddEntry(CM_PARTIAL_RESOURCE_DESCRIPTOR*, CM_PARTIAL_RESOURCE_DESCRIPTOR*) override;
    NTSTATUS AddEntryFromParent(IResourceList*, CM_RESOURCE_TYPE, ULONG) override;
    CM_RESOURCE_LIST* TranslatedList() override { return translated_; }
    CM_RESOURCE_LIST* UntranslatedList() override { return untranslated_; }

    ResourceList(CM_RESOURCE_LIST* translated, CM_RESOURCE_LIST* untranslated)
        : translated_(translated), untranslated_(untranslated) {}

private:
    std::atomic<LONG> references_{1};
    CM_RESOURCE_LIST* translated_;
    CM_RESOURCE_LIST* untranslated_;
};

}  // namespace sim::portcls
