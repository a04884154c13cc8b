// Lock order. Every spin lock, kernel mutex and fast or guarded mutex belongs
// to a lock class: the place in the code that initialised it (a lock never
// initialised through the stand-in is a class of its own). Each acquisition
// made while other locks are held teaches the order "held class before
// acquired class"; the first acquisition that would close a cycle in that
// order stops, printing both acquisition sites, because two threads taking
// the locks in the two orders can deadlock, whether or not this run did.
//
// Each thread also keeps the list of locks it holds, which the checks at a
// routine's exit count.

#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lock_order.h"
#include "verifier.h"

namespace km {

namespace {

struct LockClass {
    const void* initSite;  // the initialisation's code address; null: never initialised through the stand-in
    LockKind kind;
};

struct Held {
    const void* lock;
    const void* lockClass;
    LockKind kind;
    const void* site;
    ULONG depth;  // a kernel mutex may be acquired recursively
};

// The acquisitions that taught an edge of the order.
struct Edge {
    const void* heldSite;
    const void* acquiredSite;
};

struct Order {
    std::mutex lock;
    // Copies of one initialisation the compiler made (an unrolled loop, a
    // constructor inlined into several callers) have their own addresses but
    // one source line; they are found to be one class when they first seem
    // to close a cycle, and merged. Resolving lines only then keeps the
    // debug information unread in runs without a conflict.
    std::unordered_map<const void*, const void*> sameClassAs;
    std::map<const void*, LockClass> classes;  // by lock address, ordered to forget a freed range
    std::unordered_map<const void*, std::unordered_map<const void*, Edge>> edges;  // from class, to class
};

Order& TheOrder() {
    static Order order;
    return order;
}

thread_local std::vector<Held> t_held;

const char* KindName(LockKind kind) {
    switch (kind) {
        case LockKind::SpinLock: return "spin lock";
        case LockKind::Mutex: return "kernel mutex";
        case LockKind::FastMutex: return "fast mutex";
        case LockKind::GuardedMutex: return "guarded mutex";
    }
    return "lock";
}

// The class of a lock: its initialisation site, or the lock itself.
const void* ClassOfLocked(Order& order, const void* lock, LockKind kind) {
    auto found = order.classes.find(lock);
    if (found != order.classes.end() && found->second.initSite != nullptr) {
        auto merged = order.sameClassAs.find(found->second.initSite);
        return merged != order.sameClassAs.end() ? merged->second : found->second.initSite;
    }
    order.classes[lock] = LockClass{nullptr, kind};
    return lock;
}

std::string DescribeClass(const void* lockClass, const void* lock, LockKind kind) {
    char buffer[64];
    if (lockClass == lock) {
        snprintf(buffer, sizeof buffer, "the %s at %p", KindName(kind), lock);
        return buffer;
    }
    return std::string("a ") + KindName(kind) + " initialised in " + DescribeCodeAddress(lockClass);
}

// A path from `from` to `to` in the order learnt so far; fills the first edge.
bool PathLocked(Order& order, const void* from, const void* to, const void** next, Edge* first) {
    std::vector<const void*> stack{from};
    std::unordered_map<const void*, const void*> firstStep;  // class -> the first class after `from` on its path
    std::unordered_set<const void*> seen{from};
    while (!stack.empty()) {
        const void* at = stack.back();
        stack.pop_back();
        auto out = order.edges.find(at);
        if (out == order.edges.end()) {
            continue;
        }
        for (auto& [target, edge] : out->second) {
            if (!seen.insert(target).second) {
                continue;
            }
            const void* step = at == from ? target : firstStep[at];
            firstStep[target] = step;
            if (target == to) {
                *next = step;
                *first = order.edges[from][step];
                return true;
            }
            stack.push_back(target);
        }
    }
    return false;
}

// Two classes initialised on one source line are one class.
bool MergedAsOneLineLocked(Order& order, const void* a, const void* lockA, const void* b, const void* lockB) {
    if (a == lockA || b == lockB) {
        return false;  // a lock without an initialisation site is a class of its own
    }
    std::string line = CodeLocation(a);
    if (line.empty() || line != CodeLocation(b)) {
        return false;
    }
    order.sameClassAs[a] = b;
    return true;
}

}  // namespace

void RecordLockInitialization(const void* lock, LockKind kind, const void* site) {
    Order& order = TheOrder();
    std::lock_guard<std::mutex> guard(order.lock);
    order.classes[lock] = LockClass{site, kind};
}

void CheckLockOrder(const void* lock, LockKind kind, const void* site) {
    if (t_held.empty()) {
        return;
    }
    Order& order = TheOrder();
    std::unique_lock<std::mutex> guard(order.lock);
    const void* acquired = ClassOfLocked(order, lock, kind);
    for (const Held& held : t_held) {
        if (held.lock == lock || held.lockClass == acquired) {
            continue;
        }
        auto& out = order.edges[held.lockClass];
        if (out.count(acquired) != 0) {
            continue;
        }
        const void* next = nullptr;
        Edge reverse{};
        if (PathLocked(order, acquired, held.lockClass, &next, &reverse)) {
            if (MergedAsOneLineLocked(order, acquired, lock, held.lockClass, held.lock)) {
                continue;
            }
            std::string acquiredText = DescribeClass(acquired, lock, kind);
            std::string heldText = DescribeClass(held.lockClass, held.lock, held.kind);
            std::string heldSite = DescribeCodeAddress(held.site);
            std::string reverseHeld = DescribeCodeAddress(reverse.heldSite);
            std::string reverseAcquired = DescribeCodeAddress(reverse.acquiredSite);
            guard.unlock();
            Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, site,
                 "lock order cycle: acquiring %s while holding %s (acquired at %s); the opposite order was taken "
                 "before: acquired at %s, then at %s while holding it",
                 acquiredText.c_str(), heldText.c_str(), heldSite.c_str(), reverseHeld.c_str(),
                 reverseAcquired.c_str());
        }
        out[acquired] = Edge{held.site, site};
    }
}

void NoteLockAcquired(const void* lock, LockKind kind, const void* site) {
    for (Held& held : t_held) {
        if (held.lock == lock) {
            held.depth += 1;
            return;
        }
    }
    const void* lockClass;
    {
        Order& order = TheOrder();
        std::lock_guard<std::mutex> guard(order.lock);
        lockClass = ClassOfLocked(order, lock, kind);
    }
    t_held.push_back(Held{lock, lockClass, kind, site, 1});
}

void NoteLockReleased(const void* lock) {
    for (auto it = t_held.begin(); it != t_held.end(); ++it) {
        if (it->lock == lock) {
            if (--it->depth == 0) {
                t_held.erase(it);
            }
            return;
        }
    }
}

ULONG LocksHeld(LockKind kind) {
    ULONG count = 0;
    for (const Held& held : t_held) {
        count += held.kind == kind ? 1 : 0;
    }
    return count;
}

void ForgetLocksIn(const char* begin, size_t size) {
    Order& order = TheOrder();
    std::lock_guard<std::mutex> guard(order.lock);
    order.classes.erase(order.classes.lower_bound(begin), order.classes.lower_bound(begin + size));
}

void LockOrderReset() {
    Order& order = TheOrder();
    std::lock_guard<std::mutex> guard(order.lock);
    order.classes.clear();
    order.edges.clear();
    t_held.clear();
}

}  // namespace km
