// System threads, the object manager's reference counts and the kernel
// handle table.

#include <pthread.h>

#include <map>

#include "kernel_state.h"
#include "pool_internal.h"
#include "verifier.h"

using km::K;

namespace {

_OBJECT_TYPE g_threadType{"Thread"};
_OBJECT_TYPE g_fileType{"File"};
_OBJECT_TYPE g_eventType{"Event"};
POBJECT_TYPE g_threadTypePointer = &g_threadType;
POBJECT_TYPE g_fileTypePointer = &g_fileType;
POBJECT_TYPE g_eventTypePointer = &g_eventType;

struct ObjectRecord {
    LONG_PTR references = 0;
    POBJECT_TYPE type = nullptr;
    std::function<void(PVOID)> destroy;
};

// The object table and the handle table have their own lock: destroying an
// object may call back into the dispatcher.
std::mutex g_objectLock;
std::map<PVOID, ObjectRecord> g_objects;
std::map<HANDLE, PVOID> g_handles;
ULONG_PTR g_nextHandle = 0;

constexpr ULONG kThreadTag = 0x65726854;  // 'Thre', the thread object's pool tag

struct ThreadStart {
    _ETHREAD* thread;
    std::function<void()> body;
};

void ExitCurrentThread(NTSTATUS status, const void* caller) {
    _KTHREAD* thread = km::CurrentThread();
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        km::Stop(IRQL_UNEXPECTED_VALUE, caller, "system thread \"%s\" ends at IRQL %u", thread->name.c_str(),
                 KeGetCurrentIrql());
    }
    {
        std::lock_guard<std::mutex> guard(K().lock);
        if (!IsListEmpty(&thread->ownedMutants) || thread->fastMutexesHeld != 0) {
            km::Stop(0x4B /* THREAD_TERMINATE_HELD_MUTEX */, caller, "system thread \"%s\" ends holding a mutex",
                     thread->name.c_str());
        }
        thread->exited = true;
        thread->exitStatus = status;
        km::SignalObjectLocked(&thread->Header);
        km::UnregisterThreadLocked(thread);
        km::SetCurrentThread(nullptr);
        // Drop the reference the running thread held on itself while a joiner
        // cannot yet return from its wait: once the lock is released this
        // thread touches nothing of the simulation any more.
        ObDereferenceObject(thread);
    }
}

void* ThreadTrampoline(void* argument) {
    auto* start = static_cast<ThreadStart*>(argument);
    _ETHREAD* thread = start->thread;
    std::function<void()> body = std::move(start->body);
    delete start;
    km::SetCurrentThread(thread);
    {
        std::unique_lock<std::mutex> guard(K().lock);
        km::AwaitTurnLocked(guard, thread);
    }
    body();
    ExitCurrentThread(STATUS_SUCCESS, nullptr);
    return nullptr;
}

}  // namespace

POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
POBJECT_TYPE* IoFileObjectType = &g_fileTypePointer;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;

namespace km {

void RegisterObject(PVOID object, POBJECT_TYPE type, std::function<void(PVOID)> destroy, LONG_PTR references) {
    std::lock_guard<std::mutex> guard(g_objectLock);
    ObjectRecord& record = g_objects[object];
    record.references = references;
    record.type = type;
    record.destroy = std::move(destroy);
}

HANDLE CreateHandle(PVOID object) {
    std::lock_guard<std::mutex> guard(g_objectLock);
    g_nextHandle += 4;
    // Kernel handles have the top bit set.
    HANDLE handle = reinterpret_cast<HANDLE>(0xFFFFFFFF80000000ULL | g_nextHandle);
    g_handles[handle] = object;
    return handle;
}

void ObjectManagerReset() {
    std::lock_guard<std::mutex> guard(g_objectLock);
    g_objects.clear();
    g_handles.clear();
    g_nextHandle = 0;
}

void ObjectManagerReportLeaks(std::string& report) {
    std::lock_guard<std::mutex> guard(g_objectLock);
    char line[160];
    for (auto& [handle, object] : g_handles) {
        auto found = g_objects.find(object);
        snprintf(line, sizeof line, "  handle %p to a %s object is still open\n", handle,
                 found != g_objects.end() ? found->second.type->name : "deleted");
        report += line;
    }
    for (auto& [object, record] : g_objects) {
        if (record.type == &g_threadType) {
            const auto* thread = static_cast<const _KTHREAD*>(object);
            if (!thread->exited) {
                snprintf(line, sizeof line, "  system thread \"%s\" is still running\n", thread->name.c_str());
                report += line;
                continue;
            }
        }
        snprintf(line, sizeof line, "  %s object at %p still has %ld reference(s)\n", record.type->name, object,
                 static_cast<long>(record.references));
        report += line;
    }
}

PETHREAD CreateSystemThreadInternal(const char* name, std::function<void()> body) {
    auto* thread = new _ETHREAD;
    InitializeThreadObject(thread, name, true);
    // One reference for the running thread, one for the creator.
    RegisterObject(thread, g_threadTypePointer, [](PVOID object) { delete static_cast<_ETHREAD*>(object); }, 2);
    {
        std::lock_guard<std::mutex> guard(K().lock);
        RegisterThreadLocked(thread);
    }
    auto* start = new ThreadStart{thread, std::move(body)};
    pthread_t native;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    int error = pthread_create(&native, &attributes, ThreadTrampoline, start);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr, "the host could not create a thread (error %d)", error);
    }
    return thread;
}

void WaitAndReleaseThread(PETHREAD thread) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

}  // namespace km

// ---------------------------------------------------------------- object manager

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE,
                                         PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "ObReferenceObjectByHandle");
    std::lock_guard<std::mutex> guard(g_objectLock);
    auto handle = g_handles.find(Handle);
    if (handle == g_handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    ObjectRecord& record = g_objects.at(handle->second);
    if (ObjectType != nullptr && record.type != ObjectType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    record.references += 1;
    *Object = handle->second;
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = GENERIC_ALL;
    }
    return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    std::lock_guard<std::mutex> guard(g_objectLock);
    auto found = g_objects.find(Object);
    if (found == g_objects.end() || found->second.references <= 0) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "ObReferenceObject of %p, which is not a live object",
                 Object);
    }
    return ++found->second.references;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "ObDereferenceObject");
    std::function<void(PVOID)> destroy;
    LONG_PTR remaining;
    {
        std::lock_guard<std::mutex> guard(g_objectLock);
        auto found = g_objects.find(Object);
        if (found == g_objects.end() || found->second.references <= 0) {
            km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER,
                     "ObDereferenceObject of %p, which is not a live object (dereferenced once too often?)", Object);
        }
        remaining = --found->second.references;
        if (remaining == 0) {
            destroy = std::move(found->second.destroy);
            g_objects.erase(found);
        }
    }
    if (destroy) {
        destroy(Object);
    }
    return remaining;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "ZwClose");
    PVOID object;
    {
        std::lock_guard<std::mutex> guard(g_objectLock);
        auto found = g_handles.find(Handle);
        if (found == g_handles.end()) {
            km::Stop(0x93 /* INVALID_KERNEL_HANDLE */, KM_CALLER, "ZwClose of %p, which is not an open kernel handle",
                     Handle);
        }
        object = found->second;
        g_handles.erase(found);
    }
    ObDereferenceObject(object);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- threads

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID ClientId,
                                    PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "PsCreateSystemThread");
    if (km::ShouldFailSystemAllocation(kThreadTag)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The thread is named after its routine in deadlock reports.
    std::string name = km::DescribeCodeAddress(reinterpret_cast<const char*>(StartRoutine) + 1);
    PETHREAD thread = km::CreateSystemThreadInternal(name.c_str(), [StartRoutine, StartContext] {
        km::RoutineFrame entry = km::EnterRoutine();
        StartRoutine(StartContext);
        km::CheckRoutineExit(entry, reinterpret_cast<const void*>(StartRoutine), "system thread routine");
    });
    *ThreadHandle = km::CreateHandle(thread);  // the handle takes over the creator's reference
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        ClientId->UniqueThread = thread;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    _KTHREAD* thread = km::CurrentThread();
    if (thread == nullptr || !thread->system) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "PsTerminateSystemThread outside a system thread");
    }
    ExitCurrentThread(ExitStatus, KM_CALLER);
    pthread_exit(nullptr);
}

PETHREAD NTAPI PsGetCurrentThread(VOID) { return static_cast<PETHREAD>(KeGetCurrentThread()); }

HANDLE NTAPI PsGetCurrentThreadId(VOID) { return KeGetCurrentThread(); }

BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread) { return Thread->system ? TRUE : FALSE; }

PKTHREAD NTAPI KeGetCurrentThread(VOID) {
    _KTHREAD* thread = km::CurrentThread();
    if (thread == nullptr) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER,
                 "KeGetCurrentThread on a thread outside the simulation");
    }
    return thread;
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "KeSetPriorityThread");
    if (Priority < LOW_PRIORITY + 1 || Priority > HIGH_PRIORITY) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "KeSetPriorityThread to the invalid priority %d",
                 Priority);
    }
    std::lock_guard<std::mutex> guard(K().lock);
    KPRIORITY previous = Thread->priority;
    Thread->priority = Priority;
    return previous;
}

KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) {
    std::lock_guard<std::mutex> guard(K().lock);
    return Thread->priority;
}

VOID NTAPI KeEnterCriticalRegion(VOID) { KeGetCurrentThread()->criticalRegion += 1; }

VOID NTAPI KeLeaveCriticalRegion(VOID) {
    _KTHREAD* thread = KeGetCurrentThread();
    if (thread->criticalRegion <= 0) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "KeLeaveCriticalRegion without KeEnterCriticalRegion");
    }
    thread->criticalRegion -= 1;
}

VOID NTAPI KeEnterGuardedRegion(VOID) { KeGetCurrentThread()->guardedRegion += 1; }

VOID NTAPI KeLeaveGuardedRegion(VOID) {
    _KTHREAD* thread = KeGetCurrentThread();
    if (thread->guardedRegion <= 0) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, KM_CALLER, "KeLeaveGuardedRegion without KeEnterGuardedRegion");
    }
    thread->guardedRegion -= 1;
}

// ---------------------------------------------------------------- test threads

namespace kmsim {

struct Thread::State {
    PETHREAD thread = nullptr;
};

Thread::Thread(const char* name, std::function<void()> fn) : state_(new State) {
    state_->thread = km::CreateSystemThreadInternal(name, std::move(fn));
}

Thread::~Thread() {
    Join();
    delete state_;
}

void Thread::Join() {
    if (state_->thread != nullptr) {
        km::WaitAndReleaseThread(state_->thread);
        state_->thread = nullptr;
    }
}

}  // namespace kmsim
