// I/O work items on the system worker threads. The pool of workers grows
// when no worker is idle, so that one work item waiting for another never
// deadlocks, as on Windows where the worker pool is dynamic. Queueing an item
// either claims one idle worker (and releases the semaphore it waits on) or
// starts a new worker, so no item is ever left without a worker to run it.

#include <vector>

#include "kernel_state.h"
#include "pool_internal.h"
#include "verifier.h"

using km::K;

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool queued;
    LIST_ENTRY link;
};

namespace {

constexpr ULONG kWorkItemTag = 0x49576F49;  // 'IoWI'
constexpr size_t kMaximumWorkers = 16;

struct WorkQueue {
    LIST_ENTRY items;
    KSEMAPHORE wake;  // one count per idle worker claimed
    std::vector<PETHREAD> workers;
    LONG idle = 0;  // workers waiting on `wake` and not claimed yet
    bool stop = false;
};

WorkQueue& Queue() {
    static WorkQueue queue;
    return queue;
}

void WakeIdleWorkersLocked(WorkQueue& queue) {
    if (queue.idle > 0) {
        queue.wake.Header.SignalState += queue.idle;
        queue.idle = 0;
        km::WakeWaiters(&queue.wake.Header);
    }
}

void WorkerMain() {
    WorkQueue& queue = Queue();
    std::unique_lock<std::mutex> guard(K().lock);
    for (;;) {
        if (IsListEmpty(&queue.items)) {
            if (queue.stop) {
                break;
            }
            queue.idle += 1;
            DISPATCHER_HEADER* wake = &queue.wake.Header;
            km::WaitLocked(guard, 1, &wake, WaitAny, km::kInfinite, nullptr);
            continue;
        }
        auto* item = CONTAINING_RECORD(RemoveHeadList(&queue.items), _IO_WORKITEM, link);
        item->queued = false;  // the routine may queue the item again
        PIO_WORKITEM_ROUTINE routine = item->routine;
        PDEVICE_OBJECT device = item->device;
        PVOID context = item->context;
        guard.unlock();
        km::RoutineFrame entry = km::EnterRoutine();
        routine(device, context);
        km::CheckRoutineExit(entry, reinterpret_cast<const void*>(routine), "work item routine");
        ObDereferenceObject(device);  // taken when the item was queued: the device outlives its work
        guard.lock();
    }
}

}  // namespace

namespace km {

void StartWorkQueue() {
    WorkQueue& queue = Queue();
    InitializeListHead(&queue.items);
    KeInitializeSemaphore(&queue.wake, 0, MAXLONG);
    queue.workers.clear();
    queue.idle = 0;
    queue.stop = false;
    queue.workers.push_back(CreateSystemThreadInternal("worker", WorkerMain));
}

void StopWorkQueue() {
    WorkQueue& queue = Queue();
    std::vector<PETHREAD> workers;
    {
        std::lock_guard<std::mutex> guard(K().lock);
        queue.stop = true;
        workers = queue.workers;
        WakeIdleWorkersLocked(queue);
    }
    for (PETHREAD worker : workers) {
        WaitAndReleaseThread(worker);
    }
    queue.workers.clear();
}

}  // namespace km

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "IoAllocateWorkItem");
    auto* item = static_cast<_IO_WORKITEM*>(
        km::PoolAllocate(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag, true, KM_CALLER, "IoAllocateWorkItem"));
    if (item != nullptr) {
        item->device = DeviceObject;
        InitializeListHead(&item->link);
    }
    return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    km::PreemptionPoint(KM_CALLER, "IoQueueWorkItem");
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(DISPATCH_LEVEL, caller, "IoQueueWorkItem");
    if (QueueType != DelayedWorkQueue && QueueType != CriticalWorkQueue && QueueType != NormalWorkQueue) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "IoQueueWorkItem to the work queue type %d",
                 static_cast<int>(QueueType));
    }
    WorkQueue& queue = Queue();
    ObReferenceObject(IoWorkItem->device);
    bool spawn = false;
    {
        std::lock_guard<std::mutex> guard(K().lock);
        if (IoWorkItem->queued) {
            km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "IoQueueWorkItem of the work item at %p, which is queued already",
                     static_cast<void*>(IoWorkItem));
        }
        IoWorkItem->routine = WorkerRoutine;
        IoWorkItem->context = Context;
        IoWorkItem->queued = true;
        InsertTailList(&queue.items, &IoWorkItem->link);
        if (queue.idle > 0) {
            queue.idle -= 1;
            queue.wake.Header.SignalState += 1;
            km::WakeWaiters(&queue.wake.Header);
        } else {
            spawn = queue.workers.size() < kMaximumWorkers;
        }
    }
    if (spawn) {
        PETHREAD worker = km::CreateSystemThreadInternal("worker", WorkerMain);
        std::lock_guard<std::mutex> guard(K().lock);
        queue.workers.push_back(worker);
    }
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    const void* caller = KM_CALLER;
    {
        std::lock_guard<std::mutex> guard(K().lock);
        if (IoWorkItem->queued) {
            km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller, "IoFreeWorkItem of the work item at %p while it is queued",
                     static_cast<void*>(IoWorkItem));
        }
    }
    km::PoolFree(IoWorkItem, kWorkItemTag, true, caller, "IoFreeWorkItem");
}
