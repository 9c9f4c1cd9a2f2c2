#include "sim/kernel/pool.h"

#if defined(__SANITIZE_ADDRESS__)
#define OVU_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OVU_ASAN 1
#endif
#endif
#if defined(OVU_ASAN)
#include <sanitizer/asan_interface.h>
#endif

#include "sim/kernel/kernel.h"
#include "sim/machine.h"
#include "sim/verifier.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr std::uint64_t kMagic = 0x6c6f6f50'6b63614cull;
constexpr std::size_t kFreedMemory = 4096;
constexpr unsigned char kUninitialisedFill = 0xC5;

bool IsPaged(POOL_TYPE type) { return (static_cast<ULONG>(type) & 1) != 0; }

#if defined(OVU_ASAN)
std::size_t RoundedSize(std::size_t bytes) { return (bytes + 63) & ~std::size_t{63}; }
void PoisonTail(void* block, std::size_t bytes, std::size_t room) {
    ASAN_POISON_MEMORY_REGION(static_cast<char*>(block) + bytes, room - bytes);
}
void UnpoisonTail(void* block, std::size_t bytes) {
    const std::size_t room = RoundedSize(bytes);
    ASAN_UNPOISON_MEMORY_REGION(static_cast<char*>(block) + bytes, room - bytes);
}
#else
void PoisonTail(void*, std::size_t, std::size_t) {}
void UnpoisonTail(void*, std::size_t) {}
#endif

}  // namespace

// Precedes every block. Cache-line aligned so the block is too: Windows
// gives at least 16 bytes (a page from 4096 bytes up), and kernel records
// such as NPAGED_LOOKASIDE_LIST are declared cache-aligned inside the
// objects drivers allocate.
struct alignas(64) Pool::Header {
    std::uint64_t magic;
    SIZE_T bytes;
    ULONG tag;
    POOL_TYPE type;
    Pool* pool;
};


Pool::~Pool() {
    // Whatever the machine leaked goes back to the host (the leak has been
    // reported at shutdown).
    for (void* block : live_) std::free(static_cast<Header*>(block) - 1);
}

std::string Pool::TagText(ULONG tag) {
    std::string text(4, '?');
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
        if (c >= 0x20 && c < 0x7F) text[i] = static_cast<char>(c);
    }
    return text;
}

bool Pool::ShouldFail(ULONG tag) {
    if (failAll_.count(tag) != 0) return true;
    auto it = failNth_.find(tag);
    if (it == failNth_.end()) return false;
    if (--it->second > 0) return false;
    failNth_.erase(it);
    return true;
}

void* Pool::Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool zero) {
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) VerifierStop("pool allocation (tag '%s') at IRQL %u", TagText(tag).c_str(), irql);
    if (IsPaged(type) && irql > APC_LEVEL)
        VerifierStop("paged pool allocation (tag '%s') at IRQL %u", TagText(tag).c_str(), irql);
    if (bytes == 0) VerifierStop("pool allocation of zero bytes (tag '%s')", TagText(tag).c_str());
    {
        std::lock_guard lock(mutex_);
        if (ShouldFail(tag)) {
            ++stats_[tag].failures;
            stats_[tag].tag = tag;
            return nullptr;
        }
    }
    if (bytes > (SIZE_T{1} << 40)) return nullptr;
    const std::size_t total = (sizeof(Header) + bytes + 63) & ~std::size_t{63};
    auto* header = static_cast<Header*>(std::aligned_alloc(alignof(Header), total));
    if (header == nullptr) return nullptr;
    static_assert(sizeof(Header) % 64 == 0);
    *header = Header{kMagic, bytes, tag, type, this};
    void* block = header + 1;
    std::memset(block, zero ? 0 : kUninitialisedFill, bytes);
    // The rounding after the block is out of bounds for the driver: under
    // AddressSanitizer a read just past what it asked for is caught.
    PoisonTail(block, bytes, total - sizeof(Header));

    std::lock_guard lock(mutex_);
    live_.insert(block);
    if (freed_.erase(block) != 0) {
        // Its address is in use again: it can no longer be told apart.
    }
    PoolTagStats& stats = stats_[tag];
    stats.tag = tag;
    ++stats.liveBlocks;
    stats.liveBytes += bytes;
    ++stats.allocations;
    return block;
}

void Pool::Free(void* block, ULONG tag, bool checkTag) {
    const KIRQL irql = KeGetCurrentIrql();
    if (block == nullptr) VerifierStop("ExFreePool of a null pointer");
    if (irql > DISPATCH_LEVEL) VerifierStop("pool free of %p at IRQL %u", block, irql);
    Header* header = static_cast<Header*>(block) - 1;
    {
        std::lock_guard lock(mutex_);
        if (live_.count(block) == 0) {
            auto freed = freed_.find(block);
            if (freed != freed_.end())
                VerifierStop("double free of pool block %p (tag '%s')", block, TagText(freed->second).c_str());
            VerifierStop("ExFreePool of %p, which is not an allocated pool block", block);
        }
        if (checkTag && header->tag != tag)
            VerifierStop("pool block %p allocated with tag '%s' freed with tag '%s'", block,
                         TagText(header->tag).c_str(), TagText(tag).c_str());
        if (IsPaged(header->type) && irql > APC_LEVEL)
            VerifierStop("paged pool block %p (tag '%s') freed at IRQL %u", block, TagText(header->tag).c_str(), irql);
        live_.erase(block);
        PoolTagStats& stats = stats_[header->tag];
        --stats.liveBlocks;
        stats.liveBytes -= header->bytes;
        ++stats.frees;
        freed_[block] = header->tag;
        freedOrder_.push_back(block);
        if (freedOrder_.size() > kFreedMemory) {
            void* oldest = freedOrder_.front();
            freedOrder_.pop_front();
            auto it = freed_.find(oldest);
            if (it != freed_.end() && live_.count(oldest) == 0) freed_.erase(it);
        }
    }
    header->magic = 0;
    UnpoisonTail(block, header->bytes);
    std::free(header);
}

PoolTagStats Pool::Stats(ULONG tag) const {
    std::lock_guard lock(mutex_);
    auto it = stats_.find(tag);
    if (it == stats_.end()) {
        PoolTagStats none;
        none.tag = tag;
        return none;
    }
    return it->second;
}

std::vector<PoolTagStats> Pool::AllStats() const {
    std::lock_guard lock(mutex_);
    std::vector<PoolTagStats> all;
    for (const auto& [tag, stats] : stats_) all.push_back(stats);
    std::sort(all.begin(), all.end(),
              [](const PoolTagStats& a, const PoolTagStats& b) { return TagText(a.tag) < TagText(b.tag); });
    return all;
}

std::size_t Pool::LiveBlocks() const {
    std::lock_guard lock(mutex_);
    return live_.size();
}

std::size_t Pool::LiveBytes() const {
    std::lock_guard lock(mutex_);
    std::size_t bytes = 0;
    for (const auto& [tag, stats] : stats_) bytes += stats.liveBytes;
    return bytes;
}

std::uint64_t Pool::TotalAllocations() const {
    std::lock_guard lock(mutex_);
    std::uint64_t total = 0;
    for (const auto& [tag, stats] : stats_) total += stats.allocations;
    return total;
}

std::string Pool::LeakReport() const {
    std::string report;
    for (const PoolTagStats& stats : AllStats()) {
        if (stats.liveBlocks == 0) continue;
        if (!report.empty()) report += "; ";
        report += '\'';
        report += TagText(stats.tag);
        report += "' " + std::to_string(stats.liveBlocks) + (stats.liveBlocks == 1 ? " block, " : " blocks, ") +
                  std::to_string(stats.liveBytes) + " bytes";
    }
    return report;
}

void Pool::CheckNoLeaks(const char* when) const {
    const std::string report = LeakReport();
    if (!report.empty()) VerifierStop("pool still allocated %s: %s", when, report.c_str());
}

void Pool::FailNthAllocation(ULONG tag, unsigned n) {
    std::lock_guard lock(mutex_);
    if (n == 0)
        failNth_.erase(tag);
    else
        failNth_[tag] = n;
}

void Pool::FailAllAllocations(ULONG tag, bool fail) {
    std::lock_guard lock(mutex_);
    if (fail)
        failAll_.insert(tag);
    else
        failAll_.erase(tag);
}

void Pool::ClearFailures() {
    std::lock_guard lock(mutex_);
    failNth_.clear();
    failAll_.clear();
}

}  // namespace sim

namespace {

sim::Pool& CurrentPool() { return sim::CurrentMachine().kernel().pool(); }

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
    return CurrentPool().Allocate(poolType, numberOfBytes, tag, false);
}

PVOID ExAllocatePool2(POOL_FLAGS flags, SIZE_T numberOfBytes, ULONG tag) {
    const POOL_FLAGS kinds = flags & (POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED);
    if (kinds == 0 || (kinds & (kinds - 1)) != 0)
        sim::VerifierStop("ExAllocatePool2 with flags 0x%llx: exactly one pool type flag is required",
                          static_cast<unsigned long long>(flags));
    if (tag == 0) sim::VerifierStop("ExAllocatePool2 with tag 0");
    const POOL_TYPE type = kinds == POOL_FLAG_PAGED        ? PagedPool
                           : kinds == POOL_FLAG_NON_PAGED ? NonPagedPoolNx
                                                          : NonPagedPool;
    PVOID block = CurrentPool().Allocate(type, numberOfBytes, tag, (flags & POOL_FLAG_UNINITIALIZED) == 0);
    if (block == nullptr && (flags & POOL_FLAG_RAISE_ON_FAILURE) != 0)
        sim::VerifierStop("ExAllocatePool2 of %zu bytes (tag '%s') failed with POOL_FLAG_RAISE_ON_FAILURE",
                          static_cast<std::size_t>(numberOfBytes), sim::Pool::TagText(tag).c_str());
    return block;
}

void ExFreePoolWithTag(PVOID block, ULONG tag) { CurrentPool().Free(block, tag, true); }

void ExFreePool(PVOID block) { CurrentPool().Free(block, 0, false); }
