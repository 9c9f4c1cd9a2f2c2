// A machine's executive pool: tagged blocks with per-tag accounting, failure
// injection and the checks Driver Verifier makes on allocation and free.
#pragma once

#include "platform/kernel/pool.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sim {

struct PoolTagStats {
    ULONG tag = 0;
    std::size_t liveBlocks = 0;
    std::size_t liveBytes = 0;
    std::uint64_t allocations = 0;  // successful, ever
    std::uint64_t frees = 0;
    std::uint64_t failures = 0;  // injected failures
};

class Pool {
public:
    Pool() = default;
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Null on an injected failure or when the host has no memory.
    void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, bool zero);
    // `tag` is checked when `checkTag`.
    void Free(void* block, ULONG tag, bool checkTag);

    PoolTagStats Stats(ULONG tag) const;
    std::vector<PoolTagStats> AllStats() const;  // tags ever used, by tag text
    std::size_t LiveBlocks() const;
    std::size_t LiveBytes() const;
    std::uint64_t TotalAllocations() const;

    // One line per tag with live blocks ("'USBA' 2 blocks, 48 bytes");
    // empty when nothing is allocated.
    std::string LeakReport() const;
    // A verifier stop with the leak report when blocks remain.
    void CheckNoLeaks(const char* when) const;

    // The `n`th allocation with `tag` from now on (n = 1: the next one) fails,
    // once.
    void FailNthAllocation(ULONG tag, unsigned n);
    // Every allocation with `tag` fails until cleared.
    void FailAllAllocations(ULONG tag, bool fail = true);
    void ClearFailures();

    // "USBA" for PoolTag("USBA"); unprintable bytes as '?'.
    static std::string TagText(ULONG tag);

private:
    struct Header;
    bool ShouldFail(ULONG tag);  // mutex_ held

    mutable std::mutex mutex_;
    std::unordered_set<void*> live_;
    std::map<ULONG, PoolTagStats> stats_;
    std::map<ULONG, unsigned> failNth_;
    std::set<ULONG> failAll_;
    // Recently freed blocks, to tell a double free from a stray pointer.
    std::unordered_map<void*, ULONG> freed_;
    std::deque<void*> freedOrder_;
};

}  // namespace sim
