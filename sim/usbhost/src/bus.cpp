// The simulated USB host: devices coming and going, the controller's frame
// clock and its once-per-frame DPC, fault injection.

#include <ntstrsafe.h>

#include <algorithm>

#include "host_state.h"
#include "kmsim/simulation.h"

namespace simusbhost {

namespace {

int g_controllerCount = 0;

// The controller's work at the end of every frame: control requests that
// arrived during the frame, the frame's isochronous packets, completions.
VOID FrameDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* state = static_cast<Bus::State*>(context);
    std::vector<Completion> done;
    {
        HostLock lock(*state);
        state->timerArmed = false;
        int64_t now = kmsim::NowNs();
        uint64_t current = FrameAt(now);
        for (; state->nextFrame < current; ++state->nextFrame) {
            for (auto& slot : state->slots) {
                while (!slot->requests.empty()) {
                    PendingRequest request = slot->requests.front();
                    slot->requests.pop_front();
                    RunRequestLocked(*slot, request, now, done);
                }
                if (slot->gone) {
                    FailEverythingLocked(*slot, USBD_STATUS_DEVICE_GONE, done);
                    continue;
                }
                RunFrameLocked(*slot, state->nextFrame, done);
            }
        }
        state->ArmFrameTimerLocked();
    }
    for (const Completion& completion : done) {
        completion.irp->IoStatus.Status = completion.status;
        IoCompleteRequest(completion.irp, IO_NO_INCREMENT);
    }
}

Slot& SlotOf(PDEVICE_OBJECT pdo) { return *static_cast<DeviceExtension*>(pdo->DeviceExtension)->slot; }

}  // namespace

uint64_t FrameAt(int64_t now_ns) { return static_cast<uint64_t>(now_ns / kFrame_ns); }

NTSTATUS StatusForUsbd(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
        case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE: return STATUS_NO_SUCH_DEVICE;
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_BAD_START_FRAME:
        case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
        case USBD_STATUS_BUFFER_TOO_SMALL:
            return STATUS_INVALID_PARAMETER;
        default: return STATUS_UNSUCCESSFUL;
    }
}

Pipe* Slot::FindPipe(USBD_PIPE_HANDLE handle) {
    for (auto& pipe : pipes) {
        if (pipe.get() == handle) {
            return pipe.get();
        }
    }
    return nullptr;
}

void Bus::State::ArmFrameTimerLocked() {
    if (timerArmed) {
        return;
    }
    bool work = std::any_of(slots.begin(), slots.end(), [](const auto& slot) { return HasWorkLocked(*slot); });
    if (!work) {
        return;
    }
    uint64_t current = FrameAt(kmsim::NowNs());
    if (nextFrame < current) {
        nextFrame = current;  // frames in which nothing was scheduled need no processing
    }
    timerArmed = true;
    kmsim::SetTimerAtNs(&frameTimer, static_cast<int64_t>(nextFrame + 1) * kFrame_ns, &frameDpc);
}

bool HasWorkLocked(const Slot& slot) {
    if (!slot.requests.empty()) {
        return true;
    }
    return std::any_of(slot.pipes.begin(), slot.pipes.end(), [](const auto& pipe) { return !pipe->queue.empty(); });
}

Bus::Bus(const ControllerIdentity& identity) : state_(std::make_unique<State>()) {
    state_->identity = identity;
    RtlStringCchPrintfW(state_->name, RTL_NUMBER_OF(state_->name), L"\\Device\\USBFDO-%d", g_controllerCount++ % 100);
    KeInitializeSpinLock(&state_->lock);
    KeInitializeTimer(&state_->frameTimer);
    KeInitializeDpc(&state_->frameDpc, FrameDpc, state_.get());
    PDRIVER_OBJECT driver = state_->driver.get();
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchControllerRequest;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchControllerRequest;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchControllerRequest;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControllerRequest;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, state_->name);
    IoCreateDevice(driver, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &state_->fdo);
    *static_cast<DeviceExtension*>(state_->fdo->DeviceExtension) = DeviceExtension{state_.get(), nullptr};
    state_->fdo->Flags &= ~DO_DEVICE_INITIALIZING;
}

Bus::~Bus() {
    while (!state_->slots.empty()) {
        Detach(state_->slots.back()->pdo);
    }
    KeCancelTimer(&state_->frameTimer);
    KeRemoveQueueDpc(&state_->frameDpc);
    KeFlushQueuedDpcs();
    IoDeleteDevice(state_->fdo);
}

PDEVICE_OBJECT Bus::Attach(std::shared_ptr<simusb::Device> device) {
    auto slot = std::make_unique<Slot>();
    slot->bus = state_.get();
    slot->highSpeed = device->speed() == simusb::Speed::High;
    slot->device = std::move(device);
    PDEVICE_OBJECT pdo = nullptr;
    IoCreateDevice(state_->driver.get(), sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN,
                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    *static_cast<DeviceExtension*>(pdo->DeviceExtension) = DeviceExtension{state_.get(), slot.get()};
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->Flags |= DO_POWER_PAGABLE;
    slot->pdo = pdo;
    HostLock lock(*state_);
    state_->slots.push_back(std::move(slot));
    return pdo;
}

void Bus::Unplug(PDEVICE_OBJECT pdo) {
    HostLock lock(*state_);
    Slot& slot = SlotOf(pdo);
    slot.gone = true;
    slot.device->settle(kmsim::NowNs());
    if (HasWorkLocked(slot)) {
        state_->ArmFrameTimerLocked();
    }
}

void Bus::Detach(PDEVICE_OBJECT pdo) {
    {
        HostLock lock(*state_);
        Slot& slot = SlotOf(pdo);
        if (HasWorkLocked(slot)) {
            // A driver still has requests on the device: nothing may be
            // deleted under them.
            KeBugCheckEx(0xCE /* DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS */, 0, 0, 0, 0);
        }
        slot.device->settle(kmsim::NowNs());
        auto& slots = state_->slots;
        slots.erase(std::remove_if(slots.begin(), slots.end(), [pdo](const auto& s) { return s->pdo == pdo; }),
                    slots.end());
    }
    IoDeleteDevice(pdo);
}

void Bus::StallEndpoint(PDEVICE_OBJECT pdo, UCHAR endpointAddress) {
    HostLock lock(*state_);
    SlotOf(pdo).stalled.insert(endpointAddress);
}

void Bus::FailTransfers(PDEVICE_OBJECT pdo, UCHAR endpointAddress, ULONG count, USBD_STATUS status) {
    HostLock lock(*state_);
    SlotOf(pdo).failing[endpointAddress] = {count, status};
}

void Bus::FailControllerNameRequest(NTSTATUS status) {
    HostLock lock(*state_);
    state_->nameRequestStatus = status;
}

void Bus::FailUserRequest(NTSTATUS status) {
    HostLock lock(*state_);
    state_->userRequestStatus = status;
}

ULONG Bus::CurrentFrame() const { return static_cast<ULONG>(FrameAt(kmsim::NowNs())); }

PCWSTR Bus::ControllerName() const { return state_->name; }

EndpointCounters Bus::Counters(PDEVICE_OBJECT pdo, UCHAR endpointAddress) const {
    HostLock lock(*state_);
    auto& counters = SlotOf(pdo).counters;
    auto found = counters.find(endpointAddress);
    return found != counters.end() ? found->second : EndpointCounters{};
}

void Bus::WithDevice(PDEVICE_OBJECT pdo, const std::function<void(simusb::Device&)>& fn) {
    HostLock lock(*state_);
    Slot& slot = SlotOf(pdo);
    slot.device->settle(kmsim::NowNs());
    fn(*slot.device);
}

}  // namespace simusbhost
