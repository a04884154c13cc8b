// The client side of the I/O manager: handles to file objects opened through
// device-interface links, and the IRPs a user-mode caller's requests become
// (buffered, direct or neither, as the control code or the device's flags
// say), completed back into the caller's status block and event.

#include <map>
#include <mutex>

#include "device_interfaces_internal.h"
#include "io_internal.h"
#include "kernel_state.h"
#include "kmsim/client.h"
#include "pool_internal.h"
#include "verifier.h"
#include "wide_text.h"

struct kmsim::Client::State {
    std::string name;
    std::map<HANDLE, PFILE_OBJECT> handles;
    ULONG_PTR nextHandle = 0x100;
    LONG pending = 0;  // requests sent and not completed
    KEVENT drained;    // set while nothing is pending
};

namespace {

constexpr ULONG kBufferTag = 0x66754249;  // 'IBuf': the system buffer, freed by the completion (irp.cpp)

struct Pending {
    kmsim::Client::State* client;
    PFILE_OBJECT file;     // referenced while the request is out
    PIO_WORKITEM release;  // drops that reference at PASSIVE_LEVEL when the IRP completes above it
};

// Recursive: a request cancelled while the list is walked completes through
// ClientRequestCompleted on the same thread.
std::recursive_mutex g_lock;
std::map<PIRP, Pending*> g_pending;
std::map<PFILE_OBJECT, LONG> g_handleCounts;

VOID ReleaseFileReference(PDEVICE_OBJECT, PVOID context) {
    auto* pending = static_cast<Pending*>(context);
    IoFreeWorkItem(pending->release);
    ObDereferenceObject(pending->file);
    delete pending;
}

// METHOD_BUFFERED's system buffer, large enough for input and output, holding the input.
bool AttachSystemBuffer(PIRP irp, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
    ULONG length = inputLength > outputLength ? inputLength : outputLength;
    if (length == 0) {
        return true;
    }
    void* buffer = km::PoolAllocate(NonPagedPool, length, kBufferTag, true, nullptr, "the I/O manager");
    if (buffer == nullptr) {
        return false;
    }
    if (input != nullptr && inputLength != 0) {
        memcpy(buffer, input, inputLength);
    }
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (output != nullptr && outputLength != 0 ? IRP_INPUT_OPERATION : 0);
    irp->UserBuffer = output;
    return true;
}

bool AttachMdl(PIRP irp, void* buffer, ULONG length) {
    if (buffer == nullptr || length == 0) {
        return true;
    }
    irp->MdlAddress = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (irp->MdlAddress == nullptr) {
        return false;
    }
    MmBuildMdlForNonPagedPool(irp->MdlAddress);  // the caller's buffer stays put: as good as locked
    return true;
}

// Fills in the request's parameters and buffers; false when memory runs out.
bool Describe(PIRP irp, PDEVICE_OBJECT top, UCHAR major, ULONG code, void* input, ULONG inputLength, void* output,
              ULONG outputLength) {
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        switch (METHOD_FROM_CTL_CODE(code)) {
            case METHOD_BUFFERED:
                return AttachSystemBuffer(irp, input, inputLength, output, outputLength);
            case METHOD_IN_DIRECT:
            case METHOD_OUT_DIRECT:
                return AttachSystemBuffer(irp, input, inputLength, nullptr, 0) && AttachMdl(irp, output, outputLength);
            default:
                stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
                irp->UserBuffer = output;
                return true;
        }
    }
    // Read: the data goes to `output`; write: it comes from `input`.
    bool read = major == IRP_MJ_READ;
    void* buffer = read ? output : input;
    ULONG length = read ? outputLength : inputLength;
    stack->Parameters.Read.Length = length;
    if (top->Flags & DO_BUFFERED_IO) {
        return read ? AttachSystemBuffer(irp, nullptr, 0, buffer, length)
                    : AttachSystemBuffer(irp, buffer, length, nullptr, 0);
    }
    if (top->Flags & DO_DIRECT_IO) {
        return AttachMdl(irp, buffer, length);
    }
    irp->UserBuffer = buffer;
    return true;
}

}  // namespace

void km::ClientRequestCompleted(PIRP irp) {
    Pending* pending;
    {
        std::lock_guard<std::recursive_mutex> guard(g_lock);
        auto found = g_pending.find(irp);
        if (found == g_pending.end()) {
            return;  // not a client's request
        }
        pending = found->second;
        g_pending.erase(found);
    }
    kmsim::Client::State* client = pending->client;
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        ReleaseFileReference(nullptr, pending);
    } else {
        // The last reference may send IRP_MJ_CLOSE, which runs at PASSIVE_LEVEL.
        IoQueueWorkItem(pending->release, ReleaseFileReference, DelayedWorkQueue, pending);
    }
    if (InterlockedDecrement(&client->pending) == 0) {
        KeSetEvent(&client->drained, IO_NO_INCREMENT, FALSE);
    }
}

namespace kmsim {

Overlapped::Overlapped() { KeInitializeEvent(&event, NotificationEvent, FALSE); }

bool Overlapped::Done() const { return KeReadStateEvent(const_cast<PKEVENT>(&event)) != 0; }

NTSTATUS Overlapped::Wait() {
    KeWaitForSingleObject(&event, Executive, UserMode, FALSE, nullptr);
    return ioStatus.Status;
}

Client::Client(const char* name) : state_(new State) {
    state_->name = name;
    KeInitializeEvent(&state_->drained, NotificationEvent, TRUE);
}

Client::~Client() {
    std::vector<PIRP> mine;
    {
        std::lock_guard<std::recursive_mutex> guard(g_lock);
        for (auto& [irp, pending] : g_pending) {
            if (pending->client == state_) mine.push_back(irp);
        }
        // As for a process that dies: its requests are cancelled first.
        for (PIRP irp : mine) {
            if (g_pending.count(irp) != 0) IoCancelIrp(irp);
        }
    }
    while (!state_->handles.empty()) {
        Close(state_->handles.begin()->first);
    }
    KeWaitForSingleObject(&state_->drained, Executive, KernelMode, FALSE, nullptr);
    delete state_;
}

NTSTATUS Client::Open(const std::string& path, HANDLE* handle) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "CreateFile");
    std::u16string name = km::Utf16(path);
    if (name.rfind(u"\\\\?\\", 0) == 0 || name.rfind(u"\\\\.\\", 0) == 0) {
        name = u"\\??\\" + name.substr(4);
    }
    std::u16string rest;
    PDEVICE_OBJECT device = km::ResolveDeviceLink(name, &rest);
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    PFILE_OBJECT file;
    NTSTATUS status = km::CreateFileObject(device, rest, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(g_lock);
        g_handleCounts[file] = 1;
    }
    *handle = reinterpret_cast<HANDLE>(state_->nextHandle += 4);
    state_->handles[*handle] = file;
    return STATUS_SUCCESS;
}

NTSTATUS Client::Duplicate(HANDLE handle, HANDLE* copy) {
    PFILE_OBJECT file = FileObjectOf(handle);
    if (file == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    ObReferenceObject(file);
    {
        std::lock_guard<std::recursive_mutex> guard(g_lock);
        g_handleCounts[file] += 1;
    }
    *copy = reinterpret_cast<HANDLE>(state_->nextHandle += 4);
    state_->handles[*copy] = file;
    return STATUS_SUCCESS;
}

NTSTATUS Client::Close(HANDLE handle) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "CloseHandle");
    auto found = state_->handles.find(handle);
    if (found == state_->handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    PFILE_OBJECT file = found->second;
    state_->handles.erase(found);
    bool last;
    {
        std::lock_guard<std::recursive_mutex> guard(g_lock);
        last = --g_handleCounts[file] == 0;
        if (last) g_handleCounts.erase(file);
    }
    if (last) {
        km::SendFileRequest(file, IRP_MJ_CLEANUP);
    }
    ObDereferenceObject(file);
    return STATUS_SUCCESS;
}

PFILE_OBJECT Client::FileObjectOf(HANDLE handle) const {
    auto found = state_->handles.find(handle);
    return found != state_->handles.end() ? found->second : nullptr;
}

NTSTATUS Client::Send(HANDLE handle, UCHAR major, ULONG code, void* input, ULONG inputLength, void* output,
                      ULONG outputLength, Overlapped* overlapped) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "a client request");
    PFILE_OBJECT file = FileObjectOf(handle);
    if (file == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    PDEVICE_OBJECT top = km::TopOfStack(file->DeviceObject);
    PIRP irp = km::AllocateBuiltIrp(top->StackSize);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_WORKITEM release = IoAllocateWorkItem(file->DeviceObject);
    if (release == nullptr || !Describe(irp, top, major, code, input, inputLength, output, outputLength)) {
        if (release != nullptr) IoFreeWorkItem(release);
        if (irp->MdlAddress != nullptr) IoFreeMdl(irp->MdlAddress);
        if (irp->Flags & IRP_DEALLOCATE_BUFFER) {
            km::PoolFree(irp->AssociatedIrp.SystemBuffer, kBufferTag, true, nullptr, "the I/O manager");
        }
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->UserEvent = &overlapped->event;
    irp->UserIosb = &overlapped->ioStatus;
    KeClearEvent(&overlapped->event);
    overlapped->ioStatus.Status = STATUS_PENDING;
    overlapped->ioStatus.Information = 0;
    ObReferenceObject(file);  // the request's own, dropped when it completes
    bool first;
    {
        std::lock_guard<std::recursive_mutex> guard(g_lock);
        g_pending[irp] = new Pending{state_, file, release};
        first = InterlockedIncrement(&state_->pending) == 1;
    }
    // Outside the lock: the event is a place where the turn may pass, and a
    // thread completing another request needs the lock. With none of this
    // client's requests pending before, none can set the event meanwhile.
    if (first) KeClearEvent(&state_->drained);
    return IoCallDriver(top, irp);
}

NTSTATUS Client::DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                                 ULONG outputLength, Overlapped* overlapped) {
    return Send(handle, IRP_MJ_DEVICE_CONTROL, code, const_cast<void*>(input), inputLength, output, outputLength,
                overlapped);
}

NTSTATUS Client::Read(HANDLE handle, void* buffer, ULONG length, Overlapped* overlapped) {
    return Send(handle, IRP_MJ_READ, 0, nullptr, 0, buffer, length, overlapped);
}

NTSTATUS Client::Write(HANDLE handle, const void* buffer, ULONG length, Overlapped* overlapped) {
    return Send(handle, IRP_MJ_WRITE, 0, const_cast<void*>(buffer), length, nullptr, 0, overlapped);
}

namespace {

NTSTATUS Finish(NTSTATUS sent, Overlapped& overlapped, ULONG* transferred) {
    if (sent == STATUS_PENDING) {
        overlapped.Wait();
    } else if (!overlapped.Done()) {
        return sent;  // refused before it reached the driver
    }
    if (transferred != nullptr) {
        *transferred = static_cast<ULONG>(overlapped.ioStatus.Information);
    }
    return overlapped.ioStatus.Status;
}

}  // namespace

NTSTATUS Client::DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                                 ULONG outputLength, ULONG* transferred) {
    Overlapped overlapped;
    return Finish(DeviceIoControl(handle, code, input, inputLength, output, outputLength, &overlapped), overlapped,
                  transferred);
}

NTSTATUS Client::Read(HANDLE handle, void* buffer, ULONG length, ULONG* transferred) {
    Overlapped overlapped;
    return Finish(Read(handle, buffer, length, &overlapped), overlapped, transferred);
}

NTSTATUS Client::Write(HANDLE handle, const void* buffer, ULONG length, ULONG* transferred) {
    Overlapped overlapped;
    return Finish(Write(handle, buffer, length, &overlapped), overlapped, transferred);
}

}  // namespace kmsim
