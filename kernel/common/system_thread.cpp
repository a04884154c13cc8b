#include "system_thread.h"

namespace vq7 {

// PASSIVE_LEVEL.
NTSTATUS SystemThread::Start(SystemThreadOwner* owner) {
    PAGED_CODE();
    if (owner == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (thread_ != nullptr) {
        return STATUS_DEVICE_BUSY;
    }
    owner_ = owner;
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Routine, this);
    if (!NT_SUCCESS(status)) {
        owner_ = nullptr;
        return status;
    }
    // A thread created from a valid handle can always be referenced; the
    // handle is closed either way so that only the object reference remains.
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread_, nullptr);
    ZwClose(handle);
    return status;
}

// PASSIVE_LEVEL.
void SystemThread::Stop() {
    PAGED_CODE();
    if (thread_ == nullptr) {
        return;
    }
    KeWaitForSingleObject(thread_, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread_);
    thread_ = nullptr;
    owner_ = nullptr;
}

// PASSIVE_LEVEL, in the new thread.
VOID SystemThread::Routine(PVOID context) {
    static_cast<SystemThread*>(context)->owner_->Run();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace vq7
