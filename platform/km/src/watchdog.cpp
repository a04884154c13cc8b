// The watchdog: a host thread that watches the simulation's progress counter
// in real time. When no simulation thread has passed through the stand-in and
// the clock has not moved for the whole interval, some thread is blocked
// outside a stand-in wait (a host mutex, a host sleep, a busy loop); the
// watchdog prints every simulation thread with its state and stops, so the
// run ends with a report instead of a silent hang.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "kernel_state.h"
#include "verifier.h"

namespace km {

namespace {

constexpr double kDefaultInterval_s = 20.0;

struct Watchdog {
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};

Watchdog g_watchdog;

double IntervalSeconds(double requested) {
    if (requested > 0) {
        return requested;
    }
    if (const char* value = getenv("VQ7_WATCHDOG_S")) {
        double seconds = atof(value);
        if (seconds > 0) {
            return seconds;
        }
    }
    return kDefaultInterval_s;
}

// The dispatcher lock is normally free within microseconds; a thread stuck
// while holding it must not keep the report from being printed.
std::string DescribeThreadsForWatchdog(Kernel& k) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (k.lock.try_lock()) {
            std::string report = DescribeThreadsLocked();
            k.lock.unlock();
            return report;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "  (the dispatcher lock is held by a thread that does not return; the thread list is not available)\n";
}

[[noreturn]] void Bite(Kernel& k, double interval) {
    std::string report = DescribeThreadsForWatchdog(k);
    fprintf(stderr, "\n*** watchdog: no simulation thread made progress for %.1f s of real time; the threads:\n%s",
            interval, report.c_str());
    Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr,
         "the simulation made no progress for %.1f s at %.6f s of simulation time (a thread blocks outside a "
         "stand-in wait?)",
         interval, static_cast<double>(k.Now()) / 1e9);
}

void Watch(Kernel* kernel, double interval) {
    auto period = std::chrono::duration<double>(interval);
    std::unique_lock<std::mutex> guard(g_watchdog.lock);
    uint64_t seen = kernel->progress.load(std::memory_order_relaxed);
    auto since = std::chrono::steady_clock::now();
    while (!g_watchdog.stop) {
        g_watchdog.wake.wait_for(guard, period / 4);
        uint64_t now = kernel->progress.load(std::memory_order_relaxed);
        if (now != seen) {
            seen = now;
            since = std::chrono::steady_clock::now();
        } else if (!g_watchdog.stop && std::chrono::steady_clock::now() - since >= period) {
            Bite(*kernel, interval);
        }
    }
}

}  // namespace

void StartWatchdog(double seconds) {
    g_watchdog.stop = false;
    g_watchdog.thread = std::thread(Watch, &K(), IntervalSeconds(seconds));
}

void StopWatchdog() {
    if (!g_watchdog.thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(g_watchdog.lock);
        g_watchdog.stop = true;
        g_watchdog.wake.notify_one();
    }
    g_watchdog.thread.join();
}

}  // namespace km
