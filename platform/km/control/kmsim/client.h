// A client process of the simulated kernel: what a user-mode program's
// CreateFile, DeviceIoControl, ReadFile, WriteFile (overlapped or not),
// DuplicateHandle and CloseHandle do in the kernel. Tests call it directly;
// the user-mode stand-in builds on it later.
//
// A path is a device-interface path ("\\?\USB#...#{guid}\reference") or any
// part of one cut after the class GUID, followed by more: the I/O manager
// follows the link the interface's path starts with to the device, and the
// rest becomes the file object's FileName ("\reference", "\asio", or empty).
//
// Requests are sent at PASSIVE_LEVEL from the calling simulation thread.
// Closing the last handle to a file object sends IRP_MJ_CLEANUP; IRP_MJ_CLOSE
// follows when the last reference goes (requests still pending hold one).
// A Client that goes away with handles open ends like a process that dies:
// its pending requests are cancelled and every handle is closed.
//
// CreatePin is what user-mode KsCreatePin does: a create relative to a
// filter's handle, named KSSTRING_Pin, a backslash, and the connection
// request's bytes. Kernel-streaming requests (IOCTL_KS_PROPERTY and the
// others) are METHOD_NEITHER: DeviceIoControl hands the driver the caller's
// own input and output buffers.
//
// Events are what Win32's CreateEvent makes: an event object behind a handle
// that a driver can take with ObReferenceObjectByHandle (a WaveRT pin's
// notification event, for one), waited on with WaitForSingleObject and
// closed with Close.
#pragma once

#include <ks.h>
#include <wdm.h>

#include <string>

namespace kmsim {

// The OVERLAPPED of one asynchronous request: its event is signalled when
// the request completes, with the status and byte count the driver gave.
struct Overlapped {
    Overlapped();
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    KEVENT event;
    IO_STATUS_BLOCK ioStatus{};

    bool Done() const;
    // Waits (in the simulation) for completion and returns the final status.
    NTSTATUS Wait();
};

class Client {
public:
    explicit Client(const char* name = "client");
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // STATUS_OBJECT_NAME_NOT_FOUND when no enabled interface has the path's
    // link, else the driver's answer to IRP_MJ_CREATE.
    NTSTATUS Open(const std::string& path, HANDLE* handle);
    // `connect` is followed by the data format; `length` counts both.
    // STATUS_INVALID_HANDLE for an unknown filter handle, else the driver's
    // answer to IRP_MJ_CREATE.
    NTSTATUS CreatePin(HANDLE filter, const KSPIN_CONNECT* connect, ULONG length, HANDLE* pin);
    NTSTATUS Duplicate(HANDLE handle, HANDLE* copy);
    NTSTATUS Close(HANDLE handle);  // a file or an event

    NTSTATUS CreateEvent(BOOLEAN manualReset, BOOLEAN initialState, HANDLE* event);
    // `timeout` as KeWaitForSingleObject takes it (negative: relative, in
    // 100 ns); null waits for ever. STATUS_SUCCESS or STATUS_TIMEOUT.
    NTSTATUS WaitForSingleObject(HANDLE event, const LARGE_INTEGER* timeout);

    // Synchronous: waits for completion; `transferred` gets Information.
    NTSTATUS DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                             ULONG outputLength, ULONG* transferred);
    NTSTATUS Read(HANDLE handle, void* buffer, ULONG length, ULONG* transferred);
    NTSTATUS Write(HANDLE handle, const void* buffer, ULONG length, ULONG* transferred);

    // Asynchronous: STATUS_PENDING when the driver pended the request, else
    // its final status; either way `overlapped` is signalled at completion.
    NTSTATUS DeviceIoControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                             ULONG outputLength, Overlapped* overlapped);
    NTSTATUS Read(HANDLE handle, void* buffer, ULONG length, Overlapped* overlapped);
    NTSTATUS Write(HANDLE handle, const void* buffer, ULONG length, Overlapped* overlapped);

    // The file object behind a handle (for tests that look at what the driver saw).
    PFILE_OBJECT FileObjectOf(HANDLE handle) const;

    struct State;

private:
    HANDLE AddHandle(PFILE_OBJECT file);
    NTSTATUS Send(HANDLE handle, UCHAR major, ULONG code, void* input, ULONG inputLength, void* output,
                  ULONG outputLength, Overlapped* overlapped);

    State* state_;
};

}  // namespace kmsim
