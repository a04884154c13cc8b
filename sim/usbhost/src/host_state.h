// Internal state of the simulated USB host. Everything here is guarded by
// the controller's spin lock; device models are only ever called under it,
// so a device never sees two calls at once.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kmsim/io.h"
#include "simusbhost/bus.h"

namespace simusbhost {

constexpr int64_t kFrame_ns = 1000 * 1000;
constexpr int64_t kMicroframe_ns = 125 * 1000;
// An ASAP transfer on an idle pipe starts this many frames after the current one.
constexpr uint64_t kAsapLatencyFrames = 2;
constexpr ULONG kMaximumPacketsFullSpeed = 255;
constexpr ULONG kMaximumPacketsHighSpeed = 1024;

struct Slot;
struct Pipe;

// One isochronous URB in a pipe's schedule.
struct IsoTransfer {
    PIRP irp;
    _URB_ISOCH_TRANSFER* urb;
    uint64_t first;  // bus unit (frame, or microframe at high speed) of packet 0
    ULONG period;    // bus units between packets
    ULONG done = 0;  // packets handled so far
    USBD_STATUS forcedStatus = USBD_STATUS_SUCCESS;  // injected failure for every packet

    uint64_t UnitOf(ULONG packet) const { return first + static_cast<uint64_t>(packet) * period; }
    uint64_t LastUnit() const { return UnitOf(urb->NumberOfPackets - 1); }
};

// An open pipe of the current configuration; its address is the pipe handle.
struct Pipe {
    UCHAR interfaceNumber;
    UCHAR address;
    UCHAR attributes;
    UCHAR interval;  // bInterval as the descriptor gives it
    USHORT maximumPacket;  // bytes per (micro)frame, additional transactions included
    USBD_PIPE_TYPE type;
    std::deque<IsoTransfer> queue;
    uint64_t nextUnit = 0;  // where the next ASAP packet goes while the stream runs
    bool started = false;   // a transfer was scheduled since the pipe opened or was aborted

    bool In() const { return (address & 0x80) != 0; }
};

// A request completed by the controller at the next frame boundary.
struct PendingRequest {
    PIRP irp;
    PURB urb;
};

// An IRP ready to complete, with the status it completes with.
struct Completion {
    PIRP irp;
    NTSTATUS status;
};

struct Slot {
    Bus::State* bus = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::shared_ptr<simusb::Device> device;
    bool highSpeed = false;
    bool gone = false;
    UCHAR configurationValue = 0;  // 0: not configured
    std::vector<UCHAR> configuration;  // the configuration descriptor set, read at selection
    std::map<UCHAR, UCHAR> alternates;  // interface number -> selected alternate setting
    std::vector<std::unique_ptr<Pipe>> pipes;
    std::deque<PendingRequest> requests;
    std::map<UCHAR, EndpointCounters> counters;  // by endpoint address
    std::set<UCHAR> stalled;
    std::map<UCHAR, std::pair<ULONG, USBD_STATUS>> failing;  // endpoint -> (transfers left, status)

    ULONG UnitsPerFrame() const { return highSpeed ? 8 : 1; }
    int64_t UnitDuration_ns() const { return highSpeed ? kMicroframe_ns : kFrame_ns; }
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
};

struct Bus::State {
    ControllerIdentity identity;
    WCHAR name[32] = {};  // "\\Device\\USBFDO-n", terminated
    kmsim::DriverObject driver{L"\\Driver\\usbhub"};
    PDEVICE_OBJECT fdo = nullptr;
    KSPIN_LOCK lock = 0;
    KTIMER frameTimer;
    KDPC frameDpc;
    bool timerArmed = false;
    uint64_t nextFrame = 0;  // the first frame not processed yet
    std::vector<std::unique_ptr<Slot>> slots;
    NTSTATUS nameRequestStatus = STATUS_SUCCESS;
    NTSTATUS userRequestStatus = STATUS_SUCCESS;

    // Makes sure the frame timer runs while there is work; under the lock.
    void ArmFrameTimerLocked();
};

// The device extension of the controller's device object (slot null) and of
// each physical device object.
struct DeviceExtension {
    Bus::State* state;
    Slot* slot;
};

// Lock guard for the controller's spin lock.
class HostLock {
public:
    explicit HostLock(Bus::State& state) { KeAcquireInStackQueuedSpinLock(&state.lock, &handle_); }
    ~HostLock() { KeReleaseInStackQueuedSpinLock(&handle_); }
    HostLock(const HostLock&) = delete;
    HostLock& operator=(const HostLock&) = delete;

private:
    KLOCK_QUEUE_HANDLE handle_;
};

uint64_t FrameAt(int64_t now_ns);
NTSTATUS StatusForUsbd(USBD_STATUS status);

// Physical device object dispatch (pdo_dispatch.cpp).
NTSTATUS DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchControllerRequest(PDEVICE_OBJECT device, PIRP irp);

// Control-type URBs, run by the controller at a frame boundary (control_requests.cpp).
void RunRequestLocked(Slot& slot, const PendingRequest& request, int64_t now_ns, std::vector<Completion>& done);

// Isochronous transfers (iso_schedule.cpp).
NTSTATUS SubmitIsoLocked(Slot& slot, PIRP irp, _URB_ISOCH_TRANSFER* urb, int64_t now_ns);
void RunFrameLocked(Slot& slot, uint64_t frame, std::vector<Completion>& done);
void CancelPipeLocked(Slot& slot, Pipe& pipe, USBD_STATUS status, std::vector<Completion>& done);
void FailEverythingLocked(Slot& slot, USBD_STATUS status, std::vector<Completion>& done);
bool HasWorkLocked(const Slot& slot);

// Configuration and interface selection (configuration.cpp).
USBD_STATUS SelectConfigurationLocked(Slot& slot, _URB_SELECT_CONFIGURATION* urb, int64_t now_ns,
                                      std::vector<Completion>& done);
USBD_STATUS SelectInterfaceLocked(Slot& slot, _URB_SELECT_INTERFACE* urb, int64_t now_ns,
                                  std::vector<Completion>& done);

}  // namespace simusbhost
