// Seeded interleaving: in virtual time one simulation thread runs at a time,
// the one holding the turn. At each preemption point (entry to a stand-in
// service that touches shared state), when a thread blocks and when it ends,
// a pseudo-random policy seeded by the test picks the next thread among the
// ready ones. The policy depends on nothing but the seed and the sequence of
// preemption points, so the same seed gives the same interleaving on any
// machine, and different seeds explore different ones.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel_state.h"
#include "verifier.h"

namespace km {

namespace {

constexpr uint64_t kDefaultSeed = 1;

// splitmix64: small, fast and fully specified, so that a seed means the same
// sequence on every host and library.
uint64_t NextRandomLocked(Kernel& k) {
    uint64_t z = (k.policyState += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

bool SpinsOnAHeldLock(const _KTHREAD* thread) {
    PKSPIN_LOCK lock = thread->spinningOn.load(std::memory_order_relaxed);
    return lock != nullptr && __atomic_load_n(lock, __ATOMIC_RELAXED) != 0;
}

// A ready thread: registered and not blocked in a wait. Threads spinning on a
// held spin lock are passed over while another ready thread can run, so that
// the holder gets to release it.
_KTHREAD* PickLocked(Kernel& k, const _KTHREAD* exclude) {
    auto eligible = [exclude](const _KTHREAD* thread, bool spinner) {
        return thread != exclude && !thread->waiting && SpinsOnAHeldLock(thread) == spinner;
    };
    for (bool spinners : {false, true}) {
        size_t count = 0;
        for (PLIST_ENTRY entry = k.threads.Flink; entry != &k.threads; entry = entry->Flink) {
            count += eligible(CONTAINING_RECORD(entry, ThreadLink, entry)->owner, spinners) ? 1 : 0;
        }
        if (count == 0) {
            continue;
        }
        size_t chosen = NextRandomLocked(k) % count;
        for (PLIST_ENTRY entry = k.threads.Flink; entry != &k.threads; entry = entry->Flink) {
            _KTHREAD* thread = CONTAINING_RECORD(entry, ThreadLink, entry)->owner;
            if (eligible(thread, spinners) && chosen-- == 0) {
                return thread;
            }
        }
    }
    return nullptr;
}

void GiveTurnLocked(Kernel& k, _KTHREAD* next) {
    if (next != k.running) {
        k.switches += 1;
    }
    k.running = next;
    if (next != nullptr) {
        next->wake.notify_one();
    }
}

bool ParallelRequested() {
#if defined(KM_PARALLEL_BY_DEFAULT)
    bool parallel = true;
#else
    bool parallel = false;
#endif
    if (const char* value = getenv("VQ7_SCHEDULE")) {
        if (strcmp(value, "parallel") == 0) {
            parallel = true;
        } else if (strcmp(value, "seeded") == 0) {
            parallel = false;
        }
    }
    return parallel;
}

}  // namespace

void PreemptionPoint(const void* caller, const char* service) {
    _KTHREAD* self = CurrentThread();
    if (self == nullptr || !self->registered) {
        if (HaveKernel()) {
            Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                 "%s from a thread outside the simulation (create threads through the stand-in)", service);
        }
        return;
    }
    self->lastCall.store(caller, std::memory_order_relaxed);
    self->lastService.store(service, std::memory_order_relaxed);
    Kernel& k = K();
    k.progress.fetch_add(1, std::memory_order_relaxed);
    if (!k.serial) {
        return;
    }
    std::unique_lock<std::mutex> guard(k.lock);
    _KTHREAD* next = PickLocked(k, nullptr);
    if (next != nullptr && next != self) {
        GiveTurnLocked(k, next);
        AwaitTurnLocked(guard, self);
    }
}

void PassTurnLocked() {
    Kernel& k = K();
    if (k.serial) {
        GiveTurnLocked(k, PickLocked(k, nullptr));
    }
}

void AwaitTurnLocked(std::unique_lock<std::mutex>& guard, _KTHREAD* thread) {
    Kernel& k = K();
    while (k.serial && k.running != thread) {
        thread->wake.wait(guard);
    }
}

void YieldWhileSpinning(PKSPIN_LOCK lock) {
    _KTHREAD* self = CurrentThread();
    if (self == nullptr || !HaveKernel() || !K().serial) {
        return;
    }
    Kernel& k = K();
    std::unique_lock<std::mutex> guard(k.lock);
    self->spinningOn.store(lock, std::memory_order_relaxed);
    if (_KTHREAD* next = PickLocked(k, self)) {
        GiveTurnLocked(k, next);
        AwaitTurnLocked(guard, self);
    }
    self->spinningOn.store(nullptr, std::memory_order_relaxed);
}

void ConfigureScheduling(Kernel& kernel, const kmsim::Options& options) {
    bool parallel = options.clock == kmsim::ClockMode::Real || options.scheduling == kmsim::Scheduling::Parallel ||
                    (options.scheduling == kmsim::Scheduling::Default && ParallelRequested());
    kernel.serial = !parallel;
    kernel.seed = options.seed != 0 ? options.seed : kmsim::Seed();
    kernel.policyState = kernel.seed;
}

}  // namespace km

namespace kmsim {

uint64_t Seed() {
    const char* value = getenv("VQ7_SEED");
    if (value == nullptr || *value == '\0') {
        return km::kDefaultSeed;
    }
    char* end = nullptr;
    unsigned long long seed = strtoull(value, &end, 0);
    if (end == value || *end != '\0' || seed == 0) {
        fprintf(stderr, "VQ7_SEED=%s is not a non-zero number\n", value);
        abort();
    }
    return seed;
}

bool SeededByDefault() { return !km::ParallelRequested(); }

uint64_t ThreadSwitches() {
    std::lock_guard<std::mutex> guard(km::K().lock);
    return km::K().switches;
}

}  // namespace kmsim
