#include "sim/portcls/wavert_stream.h"

#include "platform/base/ntstatus.h"
#include "sim/portcls/pool_object.h"
#include "sim/portcls/port_class.h"
#include "sim/verifier.h"

#include <atomic>
#include <mutex>

namespace sim::portcls {

namespace {

constexpr ULONG kPageSize = 4096;
// Physical addresses are made up: each buffer gets its own 16 MiB window
// from here up, so that every address a driver computes stays below 4 GiB.
constexpr ULONGLONG kPhysicalBase = 0x10000000ull;
constexpr ULONGLONG kPhysicalWindow = 0x01000000ull;

class PortWaveRTStream final : public IPortWaveRTStream {
public:
    NTSTATUS QueryInterface(REFIID id, PVOID* object) override {
        if (object == nullptr) return STATUS_INVALID_PARAMETER;
        *object = nullptr;
        if (id != IID_IUnknown && id != IID_IPortWaveRTStream) return STATUS_INVALID_PARAMETER;
        *object = static_cast<IPortWaveRTStream*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG Release() override {
        const LONG left = --references_;
        if (left == 0) {
            for (const Buffer& buffer : buffers_)
                if (buffer.mdl != nullptr)
                    VerifierStop("WaveRT port stream released with a %u-byte buffer still allocated",
                                 MmGetMdlByteCount(buffer.mdl));
            PoolDelete(this, kPcTagWaveRtBuffer);
        }
        return static_cast<ULONG>(left);
    }

    MDL* AllocatePagesForMdl(PHYSICAL_ADDRESS highAddress, SIZE_T totalBytes) override {
        PHYSICAL_ADDRESS low;
        low.QuadPart = 0;
        return AllocateContiguousPagesForMdl(low, highAddress, totalBytes);
    }

    MDL* AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS lowAddress, PHYSICAL_ADDRESS highAddress,
                                       SIZE_T totalBytes) override {
        if (totalBytes == 0 || totalBytes > 0xFFFFFFFFull - kPageSize) return nullptr;
        const ULONG pages = static_cast<ULONG>((totalBytes + kPageSize - 1) / kPageSize);
        std::lock_guard lock(mutex_);
        Buffer* slot = nullptr;
        ULONG index = 0;
        for (ULONG i = 0; i < kMaxBuffers; ++i)
            if (buffers_[i].mdl == nullptr) {
                slot = &buffers_[i];
                index = i;
                break;
            }
        if (slot == nullptr) return nullptr;
        const ULONGLONG physical = kPhysicalBase + (static_cast<ULONGLONG>(index) + 1) * kPhysicalWindow;
        if (physical < static_cast<ULONGLONG>(lowAddress.QuadPart) ||
            physical + static_cast<ULONGLONG>(pages) * kPageSize - 1 > static_cast<ULONGLONG>(highAddress.QuadPart))
            return nullptr;
        // Page-aligned inside a block one page larger.
        void* raw = ExAllocatePoolZero(NonPagedPoolNx, static_cast<SIZE_T>(pages + 1) * kPageSize, kPcTagWaveRtBuffer);
        if (raw == nullptr) return nullptr;
        const auto address = (reinterpret_cast<ULONG_PTR>(raw) + kPageSize - 1) & ~ULONG_PTR{kPageSize - 1};
        MDL* mdl = IoAllocateMdl(reinterpret_cast<PVOID>(address), static_cast<ULONG>(totalBytes), FALSE, FALSE,
                                 nullptr);
        if (mdl == nullptr) {
            ExFreePoolWithTag(raw, kPcTagWaveRtBuffer);
            return nullptr;
        }
        MmBuildMdlForNonPagedPool(mdl);
        *slot = Buffer{mdl, raw, pages, physical, false};
        return mdl;
    }

    PVOID MapAllocatedPages(MDL* mdl, MEMORY_CACHING_TYPE) override {
        std::lock_guard lock(mutex_);
        Buffer& buffer = Find(mdl, "MapAllocatedPages");
        buffer.mapped = true;
        return MmGetMdlVirtualAddress(mdl);
    }

    void UnmapAllocatedPages(PVOID, MDL* mdl) override {
        std::lock_guard lock(mutex_);
        Find(mdl, "UnmapAllocatedPages").mapped = false;
    }

    void FreePagesFromMdl(MDL* mdl) override {
        void* raw;
        {
            std::lock_guard lock(mutex_);
            Buffer& buffer = Find(mdl, "FreePagesFromMdl");
            if (buffer.mapped) VerifierStop("FreePagesFromMdl on a WaveRT buffer that is still mapped");
            raw = buffer.raw;
            buffer = Buffer{};
        }
        IoFreeMdl(mdl);
        ExFreePoolWithTag(raw, kPcTagWaveRtBuffer);
    }

    ULONG GetPhysicalPagesCount(MDL* mdl) override {
        std::lock_guard lock(mutex_);
        return Find(mdl, "GetPhysicalPagesCount").pages;
    }

    PHYSICAL_ADDRESS GetPhysicalPageAddress(MDL* mdl, ULONG index) override {
        std::lock_guard lock(mutex_);
        const Buffer& buffer = Find(mdl, "GetPhysicalPageAddress");
        if (index >= buffer.pages)
            VerifierStop("GetPhysicalPageAddress: page %u of a %u-page WaveRT buffer", index, buffer.pages);
        PHYSICAL_ADDRESS address;
        address.QuadPart = static_cast<LONGLONG>(buffer.physical + static_cast<ULONGLONG>(index) * kPageSize);
        return address;
    }

private:
    static constexpr ULONG kMaxBuffers = 4;
    struct Buffer {
        MDL* mdl = nullptr;
        void* raw = nullptr;
        ULONG pages = 0;
        ULONGLONG physical = 0;
        bool mapped = false;
    };

    Buffer& Find(MDL* mdl, const char* operation) {
        for (Buffer& buffer : buffers_)
            if (mdl != nullptr && buffer.mdl == mdl) return buffer;
        VerifierStop("%s with an MDL this WaveRT port stream did not allocate", operation);
    }

    std::atomic<LONG> references_{1};
    std::mutex mutex_;
    Buffer buffers_[kMaxBuffers];
};

}  // namespace

IPortWaveRTStream* NewPortWaveRTStream() { return PoolNew<PortWaveRTStream>(kPcTagWaveRtBuffer); }

}  // namespace sim::portcls
