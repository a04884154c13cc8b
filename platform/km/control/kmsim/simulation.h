// Control of the simulated kernel, for tests, simulated devices and tools.
// Deliverable code never includes this header.
//
// A Simulation is one booted kernel: its clock, its DPC and worker threads,
// its verifier. The thread that constructs it joins the simulation; every
// other thread that uses the stand-in must be created through it
// (PsCreateSystemThread or kmsim::Thread), so that the scheduler knows when
// all of them are blocked and virtual time may jump ahead.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <string>

namespace kmsim {

enum class ClockMode {
    Virtual,  // time stands still while a thread can run, and jumps to the next deadline
    Real,     // follows the host's monotonic clock
};

// How simulation threads share the host's processors.
enum class Scheduling {
    Default,   // Seeded in virtual time, unless the build or VQ7_SCHEDULE=parallel asks for Parallel
    Seeded,    // one thread runs at a time; a policy seeded with the seed picks who runs next
    Parallel,  // threads run in parallel on the host (real time always does; race detectors need it)
};

struct Options {
    ClockMode clock = ClockMode::Virtual;
    Scheduling scheduling = Scheduling::Default;
    // The seed of the interleaving policy; 0 takes the process's seed
    // (VQ7_SEED, see Seed()).
    uint64_t seed = 0;
    // Real seconds without progress (no thread passes through the stand-in,
    // time does not move) after which the watchdog prints every thread and
    // stops; 0 takes VQ7_WATCHDOG_S or 20 s.
    double watchdog_s = 0;
    // A virtual-time run that passes this limit stops with a report: it is
    // almost always a test that waits for something that never comes while a
    // periodic timer keeps time moving.
    int64_t virtualLimit_ns = 3600LL * 1000 * 1000 * 1000;
    const char* threadName = "test";
    ULONG ntddiVersion = NTDDI_WIN10_NI;
};

class Simulation {
public:
    explicit Simulation(const Options& options = Options{});
    ~Simulation();  // stops the services; outstanding allocations, handles or threads stop the program
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;
};

// A simulation thread running fn at PASSIVE_LEVEL; joined by Join or the destructor.
class Thread {
public:
    Thread(const char* name, std::function<void()> fn);
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    void Join();

private:
    struct State;
    State* state_;
};

// Simulation time since boot, in nanoseconds.
int64_t NowNs();

// The answer RtlIsNtDdiVersionAvailable gives: the simulated OS version.
void SetNtddiVersion(ULONG version);

// Arms a kernel timer for an exact simulation time, without rounding to the
// clock interrupt, as hardware events are. Due is absolute, in nanoseconds.
BOOLEAN SetTimerAtNs(PKTIMER timer, int64_t due_ns, PKDPC dpc);

// The period of the simulated clock interrupt, in 100 ns units.
ULONG ClockTick_hns();

// Names the calling thread in deadlock reports and traces.
void SetThreadName(const char* name);

// The seed simulations of this process use unless their options name one:
// VQ7_SEED from the environment, or 1. The same seed gives the same
// interleaving of simulation threads, bit for bit.
uint64_t Seed();

// Whether a simulation booted with default options runs its threads one at a
// time under the seeded policy.
bool SeededByDefault();

// Switches between simulation threads the seeded policy made so far in the
// running simulation (0 in parallel mode).
uint64_t ThreadSwitches();

}  // namespace kmsim
