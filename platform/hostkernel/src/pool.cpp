// Non-paged pool with tags: every block carries a header naming its tag, size and the driver
// whose code allocated it, so that balance can be checked per tag and per driver. Freed blocks
// are poisoned and kept in a short quarantine so that double frees are recognised.
#include "kernel_internal.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

namespace hostkernel::detail {

namespace {

constexpr uint64_t kLiveMagic = 0x4c4f4f5048534f48ull;  // live block
constexpr uint64_t kFreedMagic = 0x4445455246534f48ull; // freed, in quarantine
constexpr size_t kQuarantineBlocks = 512;

struct alignas(16) PoolHeader {
    uint64_t magic;
    ULONG tag;
    size_t size;
    PDRIVER_OBJECT owner;
    PoolHeader* prev;
    PoolHeader* next;
};

struct PoolState {
    std::mutex mutex;
    PoolHeader live{0, 0, 0, nullptr, &live, &live};
    std::deque<PoolHeader*> quarantine;
    std::map<ULONG, int> failures;
    std::set<ULONG> frameworkTags;
    // The n-th-allocation injection: whose allocations count, which one fails, how far it got.
    PDRIVER_OBJECT nthDriver = nullptr;
    size_t nth = 0;
    size_t counted = 0;
    ULONG injectedTag = 0;
    // Usage over all tags, for figures.
    size_t blocks = 0;
    size_t bytes = 0;
    size_t peakBytes = 0;
};

constexpr ULONG kUserRequestBufferTag = 0x20636f49; // "Ioc ", user-mode requests' system buffers

// Under the pool mutex: whether this allocation is the one to fail.
bool TakeNthFailure(PoolState& pool, ULONG tag, PDRIVER_OBJECT owner) {
    if (pool.nth == 0 || pool.injectedTag != 0)
        return false;
    bool ours = pool.nthDriver != nullptr && owner == pool.nthDriver;
    bool unowned = tag != kUserRequestBufferTag && (pool.nthDriver == nullptr || owner == nullptr);
    if (!ours && !unowned)
        return false;
    if (++pool.counted != pool.nth)
        return false;
    pool.injectedTag = tag;
    return true;
}

PoolState& Pool() {
    static PoolState pool;
    return pool;
}

PoolHeader* HeaderOf(PVOID p) {
    return reinterpret_cast<PoolHeader*>(static_cast<char*>(p) - sizeof(PoolHeader));
}

std::string Summarise(const std::map<ULONG, std::pair<size_t, size_t>>& perTag) {
    std::string text;
    for (const auto& entry : perTag) {
        if (!text.empty())
            text += ", ";
        text += Format("'%s': %zu block(s), %zu byte(s)", verifier::TagText(entry.first).c_str(),
                       entry.second.first, entry.second.second);
    }
    return text;
}

ULONG ReportedMajor() {
    ULONG major = 0, minor = 0;
    ReportedWindowsVersion(&major, &minor);
    return major;
}

ULONG ReportedMinor() {
    ULONG major = 0, minor = 0;
    ReportedWindowsVersion(&major, &minor);
    return minor;
}

} // namespace

std::string PoolOutstandingOf(PDRIVER_OBJECT driver, bool includeFrameworkTags) {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.mutex);
    std::map<ULONG, std::pair<size_t, size_t>> perTag;
    for (PoolHeader* h = pool.live.next; h != &pool.live; h = h->next) {
        if (h->owner != driver)
            continue;
        if (!includeFrameworkTags && pool.frameworkTags.count(h->tag))
            continue;
        perTag[h->tag].first++;
        perTag[h->tag].second += h->size;
    }
    return Summarise(perTag);
}

std::string PoolOutstandingAll() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.mutex);
    std::map<ULONG, std::pair<size_t, size_t>> perTag;
    for (PoolHeader* h = pool.live.next; h != &pool.live; h = h->next) {
        perTag[h->tag].first++;
        perTag[h->tag].second += h->size;
    }
    return Summarise(perTag);
}

void ResetPoolAccounting() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.mutex);
    // Blocks still live have been reported as leaks by now; their owners are unloaded.
    for (PoolHeader* h = pool.live.next; h != &pool.live;) {
        PoolHeader* next = h->next;
        std::free(h);
        h = next;
    }
    pool.live.next = pool.live.prev = &pool.live;
    for (PoolHeader* h : pool.quarantine)
        std::free(h);
    pool.quarantine.clear();
    pool.failures.clear();
    pool.nth = 0;
    pool.nthDriver = nullptr;
    pool.counted = 0;
    pool.injectedTag = 0;
    pool.blocks = pool.bytes = pool.peakBytes = 0;
}

} // namespace hostkernel::detail

using namespace hostkernel::detail;
namespace verifier = hostkernel::verifier;

namespace hostkernel::verifier {

void FailPoolAllocations(ULONG tag, int count) {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.mutex);
    pool.failures[tag] = count;
}

void FailNthPoolAllocation(PDRIVER_OBJECT driver, size_t n) {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.mutex);
    pool.nthDriver = driver;
    pool.nth = n;
    pool.counted = 0;
    pool.injectedTag = 0;
}

size_t PoolAllocationsCounted() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.mutex);
    return pool.counted;
}

ULONG InjectedPoolFailureTag() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.mutex);
    return pool.injectedTag;
}

PoolUsage CurrentPoolUsage() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.mutex);
    return PoolUsage{pool.blocks, pool.bytes, pool.peakBytes};
}

void ResetPoolPeak() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.mutex);
    pool.peakBytes = pool.bytes;
}

size_t PoolBlocksOutstanding(ULONG tag) {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.mutex);
    size_t count = 0;
    for (PoolHeader* h = pool.live.next; h != &pool.live; h = h->next)
        if (h->tag == tag)
            ++count;
    return count;
}

void SetFrameworkPoolTag(ULONG tag) {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> guard(pool.mutex);
    pool.frameworkTags.insert(tag);
}

} // namespace hostkernel::verifier

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    KIRQL irql = CurrentIrql();
    if (irql > DISPATCH_LEVEL || (PoolType == PagedPool && irql > APC_LEVEL)) {
        verifier::Report(verifier::kPoolMisuse,
                         Format("ExAllocatePoolWithTag(type %d, tag '%s') at IRQL %d", PoolType,
                                verifier::TagText(Tag).c_str(), irql));
    }
    if (KernelKnowsNoExecute() && PoolType != PagedPool && (PoolType & NonPagedPoolNx) == 0) {
        verifier::Report(verifier::kNoExecute,
                         Format("ExAllocatePoolWithTag(type %d, tag '%s'): executable non-paged "
                                "pool (code integrity refuses it; use NonPagedPoolNx)",
                                PoolType, verifier::TagText(Tag).c_str()));
    } else if (!KernelKnowsNoExecute() && (PoolType & NonPagedPoolNx) != 0) {
        verifier::Report(verifier::kNoExecute,
                         Format("ExAllocatePoolWithTag(type %d, tag '%s'): Windows %lu.%lu has no "
                                "NonPagedPoolNx (a bug check there)",
                                PoolType, verifier::TagText(Tag).c_str(),
                                static_cast<unsigned long>(ReportedMajor()),
                                static_cast<unsigned long>(ReportedMinor())));
    }
    PoolState& pool = Pool();
    {
        std::lock_guard<std::mutex> guard(pool.mutex);
        auto failure = pool.failures.find(Tag);
        if (failure != pool.failures.end() && failure->second > 0) {
            failure->second--;
            return nullptr;
        }
        if (TakeNthFailure(pool, Tag, CurrentDriver()))
            return nullptr;
    }
    auto* header = static_cast<PoolHeader*>(
        std::aligned_alloc(16, (sizeof(PoolHeader) + NumberOfBytes + 15) & ~size_t(15)));
    if (header == nullptr)
        return nullptr;
    header->magic = kLiveMagic;
    header->tag = Tag;
    header->size = NumberOfBytes;
    header->owner = CurrentDriver();
    void* block = header + 1;
    memset(block, 0xCD, NumberOfBytes); // pool is not zeroed: make reliance on that visible
    std::lock_guard<std::mutex> guard(pool.mutex);
    pool.blocks++;
    pool.bytes += NumberOfBytes;
    pool.peakBytes = std::max(pool.peakBytes, pool.bytes);
    header->next = &pool.live;
    header->prev = pool.live.prev;
    pool.live.prev->next = header;
    pool.live.prev = header;
    return block;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656e6f4e /* "None" */);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    if (P == nullptr) {
        verifier::Report(verifier::kPoolMisuse, "ExFreePoolWithTag(NULL)");
        return;
    }
    if (CurrentIrql() > DISPATCH_LEVEL)
        verifier::Report(verifier::kPoolMisuse,
                         Format("ExFreePoolWithTag at IRQL %d", CurrentIrql()));
    PoolHeader* header = HeaderOf(P);
    PoolState& pool = Pool();
    PoolHeader* evicted = nullptr;
    {
        std::lock_guard<std::mutex> guard(pool.mutex);
        if (header->magic == kFreedMagic) {
            verifier::Report(verifier::kPoolMisuse,
                             Format("pool block %p (tag '%s') freed twice", P,
                                    verifier::TagText(header->tag).c_str()));
            return;
        }
        if (header->magic != kLiveMagic) {
            verifier::Report(verifier::kPoolMisuse,
                             Format("ExFreePoolWithTag(%p): not a pool block", P));
            return;
        }
        if (Tag != 0 && Tag != header->tag) {
            verifier::Report(verifier::kPoolMisuse,
                             Format("pool block %p allocated with tag '%s' freed with tag '%s'", P,
                                    verifier::TagText(header->tag).c_str(),
                                    verifier::TagText(Tag).c_str()));
        }
        header->magic = kFreedMagic;
        pool.blocks--;
        pool.bytes -= header->size;
        header->prev->next = header->next;
        header->next->prev = header->prev;
        header->next = header->prev = nullptr;
    }
    // The block is poisoned before it joins the quarantine: once there, a free on another
    // thread may evict it and hand its memory back to the C library.
    const char* begin = static_cast<const char*>(P);
    ForgetTimersAndDpcsIn(begin, begin + header->size);
    ForgetLocksIn(begin, begin + header->size);
    memset(P, 0xDD, header->size);
    {
        std::lock_guard<std::mutex> guard(pool.mutex);
        pool.quarantine.push_back(header);
        if (pool.quarantine.size() > kQuarantineBlocks) {
            evicted = pool.quarantine.front();
            pool.quarantine.pop_front();
        }
    }
    if (evicted != nullptr)
        std::free(evicted);
}

VOID NTAPI ExFreePool(PVOID P) {
    ExFreePoolWithTag(P, 0);
}

} // extern "C"
