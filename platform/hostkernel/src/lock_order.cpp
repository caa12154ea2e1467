// Lock-order tracking in the manner of lockdep: every lock taken while others are held adds an
// edge "held -> taken"; an edge that closes a cycle (a pair taken in both orders, directly or
// through other locks) is a finding, as is any lock taken together with a lock that must be
// held alone. Locks are keyed by address; re-initialising or freeing a lock forgets its edges.
#include "kernel_internal.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace hostkernel::detail {

namespace {

struct LockGraph {
    std::mutex mutex;
    std::unordered_map<const void*, std::unordered_set<const void*>>
        after; // held -> taken while held
    std::unordered_map<const void*, std::string> names;
    std::unordered_set<const void*> alone;
    std::set<const void*> nodes; // every address the graph knows, for range lookups on free
    std::set<std::pair<const void*, const void*>> apart; // pairs never to be held together
    std::atomic<bool> enabled{true};
};

LockGraph& Graph() {
    static LockGraph graph;
    return graph;
}

std::vector<const void*>& HeldLocks() {
    thread_local std::vector<const void*> held;
    return held;
}

std::string NameOf(LockGraph& g, const void* lock) {
    auto it = g.names.find(lock);
    if (it != g.names.end())
        return Format("%s (%p)", it->second.c_str(), lock);
    return Format("lock %p", lock);
}

bool Reaches(LockGraph& g, const void* from, const void* to) {
    std::vector<const void*> stack{from};
    std::unordered_set<const void*> seen{from};
    while (!stack.empty()) {
        const void* node = stack.back();
        stack.pop_back();
        if (node == to)
            return true;
        auto it = g.after.find(node);
        if (it == g.after.end())
            continue;
        for (const void* next : it->second)
            if (seen.insert(next).second)
                stack.push_back(next);
    }
    return false;
}

} // namespace

bool LockHeldByThisThread(const void* lock) {
    const auto& held = HeldLocks();
    return std::find(held.begin(), held.end(), lock) != held.end();
}

void LockAcquired(const void* lock, const char* kind) {
    auto& held = HeldLocks();
    LockGraph& g = Graph();
    if (!held.empty() && g.enabled.load(std::memory_order_relaxed)) {
        std::vector<std::pair<const char*, std::string>> findings;
        {
            std::lock_guard<std::mutex> guard(g.mutex);
            for (const void* h : held) {
                if (g.alone.count(lock))
                    findings.emplace_back(
                        verifier::kLockHeldAlone,
                        Format("%s must be held alone, but it is taken while %s is held",
                               NameOf(g, lock).c_str(), NameOf(g, h).c_str()));
                if (g.alone.count(h))
                    findings.emplace_back(
                        verifier::kLockHeldAlone,
                        Format("%s must be held alone, but %s is taken while it is held",
                               NameOf(g, h).c_str(), NameOf(g, lock).c_str()));
                if (g.apart.count({lock, h}) || g.apart.count({h, lock}))
                    findings.emplace_back(
                        verifier::kLockOrder,
                        Format("%s taken while holding %s: the two are never held together",
                               NameOf(g, lock).c_str(), NameOf(g, h).c_str()));
                auto& edges = g.after[h];
                if (edges.count(lock))
                    continue;
                if (Reaches(g, lock, h)) {
                    findings.emplace_back(
                        verifier::kLockOrder,
                        Format("%s %s taken while holding %s, but %s has been taken (directly or "
                               "through other locks) while holding "
                               "%s: the two orders can deadlock",
                               kind, NameOf(g, lock).c_str(), NameOf(g, h).c_str(),
                               NameOf(g, h).c_str(), NameOf(g, lock).c_str()));
                }
                edges.insert(lock);
                g.nodes.insert(lock);
                g.nodes.insert(h);
            }
        }
        for (auto& f : findings)
            verifier::Report(f.first, f.second);
    }
    held.push_back(lock);
}

void LockReleased(const void* lock) {
    auto& held = HeldLocks();
    auto it = std::find(held.rbegin(), held.rend(), lock);
    if (it != held.rend())
        held.erase(std::next(it).base());
}

void ForgetLocksIn(const char* begin, const char* end) {
    LockGraph& g = Graph();
    std::lock_guard<std::mutex> guard(g.mutex);
    // Most freed memory holds no tracked lock: find out in logarithmic time.
    auto first = g.nodes.lower_bound(begin);
    if (first == g.nodes.end() || static_cast<const char*>(*first) >= end)
        return;
    g.nodes.erase(first, g.nodes.lower_bound(end));
    auto inside = [&](const void* p) {
        auto c = static_cast<const char*>(p);
        return c >= begin && c < end;
    };
    for (auto it = g.after.begin(); it != g.after.end();) {
        if (inside(it->first)) {
            it = g.after.erase(it);
            continue;
        }
        for (auto e = it->second.begin(); e != it->second.end();) {
            if (inside(*e))
                e = it->second.erase(e);
            else
                ++e;
        }
        ++it;
    }
    for (auto it = g.names.begin(); it != g.names.end();)
        it = inside(it->first) ? g.names.erase(it) : std::next(it);
    for (auto it = g.alone.begin(); it != g.alone.end();)
        it = inside(*it) ? g.alone.erase(it) : std::next(it);
    for (auto it = g.apart.begin(); it != g.apart.end();)
        it = (inside(it->first) || inside(it->second)) ? g.apart.erase(it) : std::next(it);
}

void ResetLockGraph() {
    LockGraph& g = Graph();
    std::lock_guard<std::mutex> guard(g.mutex);
    g.after.clear();
    g.names.clear();
    g.alone.clear();
    g.nodes.clear();
    g.apart.clear();
    g.enabled = true;
}

} // namespace hostkernel::detail

namespace hostkernel::verifier {

void NameLock(const void* lock, const std::string& name) {
    auto& g = detail::Graph();
    std::lock_guard<std::mutex> guard(g.mutex);
    g.names[lock] = name;
    g.nodes.insert(lock);
}

void RequireHeldAlone(const void* lock) {
    auto& g = detail::Graph();
    std::lock_guard<std::mutex> guard(g.mutex);
    g.alone.insert(lock);
    g.nodes.insert(lock);
}

void DeclareLockOrder(const void* before, const void* after) {
    auto& g = detail::Graph();
    std::lock_guard<std::mutex> guard(g.mutex);
    g.after[before].insert(after);
    g.nodes.insert(before);
    g.nodes.insert(after);
}

void ForbidHoldingTogether(const void* a, const void* b) {
    auto& g = detail::Graph();
    std::lock_guard<std::mutex> guard(g.mutex);
    g.apart.insert({a, b});
    g.nodes.insert(a);
    g.nodes.insert(b);
}

void SetLockTracking(bool enabled) {
    detail::Graph().enabled = enabled;
}

void NoteLockAcquired(const void* lock, const char* kind) {
    detail::LockAcquired(lock, kind);
}
void NoteLockReleased(const void* lock) {
    detail::LockReleased(lock);
}
void UntrackSpinLock(PKSPIN_LOCK lock) {
    __atomic_fetch_or(lock, static_cast<ULONG_PTR>(2), __ATOMIC_RELAXED);
}

void ForgetLock(const void* lock) {
    auto c = static_cast<const char*>(lock);
    detail::ForgetLocksIn(c, c + 1);
}

} // namespace hostkernel::verifier
