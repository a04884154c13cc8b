// Boot and shutdown of one simulated kernel, and the teardown checks.

#include <cstdio>

#include "device_interfaces_internal.h"
#include "device_nodes_internal.h"
#include "kernel_state.h"
#include "physical_memory.h"
#include "kmsim/verifier.h"
#include "lock_order.h"
#include "pool_internal.h"
#include "registry_store.h"
#include "verifier.h"

namespace {

_KTHREAD* g_testThread = nullptr;

}  // namespace

namespace kmsim {

std::string LeakReport() {
    std::string report;
    km::PoolReportLeaks(report);
    km::ObjectManagerReportLeaks(report);
    km::RegistryReportOpenKeys(report);
    km::ComReportLeaks(report);
    km::ReportArmedTimers(report);
    km::EtwReportLeaks(report);
    return report;
}

Simulation::Simulation(const Options& options) {
    if (km::HaveKernel()) {
        fprintf(stderr, "a kmsim::Simulation is already running in this process\n");
        abort();
    }
    auto* kernel = new km::Kernel;
    kernel->mode = options.clock;
    kernel->realBase = std::chrono::steady_clock::now();
    kernel->virtualLimit = options.virtualLimit_ns;
    kernel->ntddiVersion = options.ntddiVersion;
    km::ConfigureScheduling(*kernel, options);
    InitializeListHead(&kernel->threads);
    km::PoolReset();
    km::ObjectManagerReset();
    km::EtwReset();
    km::IoNamesReset();
    km::IrpStatisticsReset();
    km::LockOrderReset();
    km::PowerReset();
    km::RegistryReset();
    km::DeviceNodesReset();
    km::DeviceInterfacesReset();
    km::PhysicalMemoryReset();
    km::InstallKernel(kernel);

    g_testThread = new _KTHREAD;
    km::InitializeThreadObject(g_testThread, options.threadName, false);
    {
        std::lock_guard<std::mutex> guard(kernel->lock);
        km::RegisterThreadLocked(g_testThread);
        kernel->running = g_testThread;
    }
    km::SetCurrentThread(g_testThread);
    km::StartWatchdog(options.watchdog_s);

    km::StartTimekeeper();
    km::StartDpcThread();
    km::StartWorkQueue();
}

Simulation::~Simulation() {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        km::Stop(IRQL_UNEXPECTED_VALUE, nullptr, "the simulation ends at IRQL %u", KeGetCurrentIrql());
    }
    km::StopWorkQueue();
    km::StopDpcThread();
    km::DrainQuarantine();
    std::string report = LeakReport();
    if (!report.empty()) {
        fprintf(stderr, "\n*** the simulation ends with resources outstanding:\n%s", report.c_str());
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr,
                 "resources outstanding at teardown (allocations per pool tag, handles, objects, timers)");
    }
    km::DisarmAllTimers();
    km::StopTimekeeper();
    km::StopWatchdog();
    km::Kernel* kernel = &km::K();
    {
        std::lock_guard<std::mutex> guard(kernel->lock);
        g_testThread->registered = false;
        RemoveEntryList(&g_testThread->allThreads.entry);
        kernel->registered -= 1;
        kernel->running = nullptr;
    }
    km::SetCurrentThread(nullptr);
    delete g_testThread;
    g_testThread = nullptr;
    km::InstallKernel(nullptr);
    delete kernel;
}

}  // namespace kmsim
