// The ASIO channel's request dispatcher: one table row per request code
// with its minimum buffers, the handle state it needs and its handler.
// Checks run in a fixed order, so that a client learns the most basic
// problem first: an unknown code, then a wrong state, then a short buffer,
// then the operation's own status. Every request completes before the
// dispatcher returns; none is ever left pending.

#include "adapter/adapter.h"
#include "adapter/asio_channel_handle.h"
#include "common/locks.h"
#include "engine/asio_ring.h"
#include "engine/failure_hooks.h"
#include "engine/mixer_lead.h"
#include "wavert/performance_parameters.h"

namespace {

using H = CAsioChannelHandle;
constexpr NTSTATUS kTooSmall = STATUS_BUFFER_TOO_SMALL;
constexpr NTSTATUS kInvalid = STATUS_INVALID_PARAMETER;
constexpr ULONG kU32 = sizeof(ULONG);
constexpr ULONG kNameHeadBytes = sizeof(ASIO_DEVICE_NAME_HEADER);

}  // namespace

const CAsioChannelHandle::Rule CAsioChannelHandle::kRules[] = {
    // code, minimum in, minimum out, state, short in, short out, handler
    {IOCTL_ASIO_GET_RATE_RANGE, 0, 2 * kU32, kAnyState, kInvalid, kTooSmall, &H::GetRateRange},
    {IOCTL_ASIO_GET_FORMAT_INFO, sizeof(ASIO_FORMAT_INFO), sizeof(ASIO_FORMAT_INFO), kAnyState, kTooSmall, kTooSmall,
     &H::GetFormatInfo},
    {IOCTL_ASIO_GET_SAMPLE_RATE, 0, kU32, kAnyState, kInvalid, kTooSmall, &H::GetSampleRate},
    {IOCTL_ASIO_SET_SAMPLE_RATE, kU32, 0, kAnyState, kInvalid, kTooSmall, &H::SetSampleRate},
    {IOCTL_ASIO_GET_DSD_SUPPORT, 0, kU32, kAnyState, kInvalid, kTooSmall, &H::GetDsdSupport},
    {IOCTL_ASIO_GET_DEVICE_NAME, 0, ASIO_DEVICE_NAME_REPLY_BYTES(0), kAnyState, kInvalid, kTooSmall,
     &H::GetDeviceName},
    {IOCTL_ASIO_GET_USB_SPEED, 0, kU32, kAnyState, kInvalid, kTooSmall, &H::GetUsbSpeed},
    {IOCTL_ASIO_OPEN, 0, 0, Opened, kInvalid, kTooSmall, &H::Open},
    {IOCTL_ASIO_PREPARE, sizeof(ASIO_PREPARE_PARAMS), 0, Owner, kInvalid, kTooSmall, &H::Prepare},
    {IOCTL_ASIO_START, 0, 0, Prepared, kInvalid, kTooSmall, &H::Start},
    {IOCTL_ASIO_STOP, 0, 0, Running, kInvalid, kTooSmall, &H::Stop},
    {IOCTL_ASIO_UNPREPARE, 0, 0, Prepared, kInvalid, kTooSmall, &H::Unprepare},
    {IOCTL_ASIO_CLOSE, 0, 0, Owner, kInvalid, kTooSmall, &H::CloseOwner},
    {IOCTL_ASIO_GET_CAPTURE_FRAMES_PER_TRANSFER, 0, kU32, kAnyState, kInvalid, kTooSmall,
     &H::GetCaptureFramesPerTransfer},
    {IOCTL_ASIO_NOP, 0, 0, kAnyState, kInvalid, kTooSmall, &H::Nop},
    {IOCTL_ASIO_GET_STREAM_ERROR, 0, kU32, kAnyState, kInvalid, kTooSmall, &H::GetStreamError},
    {IOCTL_ASIO_ARM_INPUT, 0, 0, Running, kInvalid, kTooSmall, &H::ArmInput},
    // A short position buffer is a bad parameter, not a reply that did not fit.
    {IOCTL_ASIO_GET_POSITION, 0, kU32, Running, kInvalid, kInvalid, &H::GetPosition},
    {IOCTL_ASIO_SYNC_POSITION, kU32, 0, Running, kInvalid, kTooSmall, &H::SyncPosition},
    {IOCTL_ASIO_FAIL_NEXT_INPUT, 0, 0, kAnyState, kInvalid, kTooSmall, &H::FailNextInput},
    {IOCTL_ASIO_FAIL_NEXT_OUTPUT, 0, 0, kAnyState, kInvalid, kTooSmall, &H::FailNextOutput},
    {IOCTL_ASIO_SET_PLAYBACK_LEAD, kU32, 0, kAnyState, kInvalid, kTooSmall, &H::SetPlaybackLead},
    {IOCTL_ASIO_SET_OUTPUT_PREFILL, kU32, 0, kAnyState, kInvalid, kTooSmall, &H::SetOutputPrefill},
};

const CAsioChannelHandle::Rule* CAsioChannelHandle::FindRule(ULONG code) {
    for (const Rule& rule : kRules) {
        if (rule.code == code) {
            return &rule;
        }
    }
    return nullptr;
}

// PASSIVE_LEVEL.
NTSTATUS CAsioChannelHandle::DeviceControl(PIRP irp) {
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Request request = {irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength,
                       stack->Parameters.DeviceIoControl.OutputBufferLength, 0};
    NTSTATUS status;
    {
        vq7::MutexLock guard(adapter_->AsioChannelMutex());
        status = Dispatch(stack->Parameters.DeviceIoControl.IoControlCode, request);
    }
    // A warning (the name that did not fit) still returns its data.
    irp->IoStatus.Information = NT_ERROR(status) ? 0 : request.information;
    return status;
}

NTSTATUS CAsioChannelHandle::Dispatch(ULONG code, Request& request) {
    const Rule* rule = FindRule(code);
    if (rule == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (rule->state != kAnyState && rule->state != state_) {
        return STATUS_UNSUCCESSFUL;
    }
    if (request.inputLength < rule->minimumInput) {
        return rule->shortInput;
    }
    if (request.outputLength < rule->minimumOutput) {
        return rule->shortOutput;
    }
    if ((rule->minimumInput != 0 || rule->minimumOutput != 0) && request.buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return (this->*rule->handler)(request);
}

NTSTATUS CAsioChannelHandle::ReplyUlong(Request& request, ULONG value) {
    RtlCopyMemory(request.buffer, &value, sizeof(value));
    request.information = sizeof(value);
    return STATUS_SUCCESS;
}

ULONG CAsioChannelHandle::InputUlong(const Request& request) {
    ULONG value;
    RtlCopyMemory(&value, request.buffer, sizeof(value));
    return value;
}

// ---------------------------------------------------------------- queries

NTSTATUS CAsioChannelHandle::GetRateRange(Request& request) {
    ULONG range[2] = {};
    NTSTATUS status = adapter_->GetRateRange(&range[0], &range[1]);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(request.buffer, range, sizeof(range));
        request.information = sizeof(range);
    }
    return status;
}

NTSTATUS CAsioChannelHandle::GetFormatInfo(Request& request) {
    ASIO_FORMAT_INFO info;
    RtlCopyMemory(&info, request.buffer, sizeof(info));
    NTSTATUS status = adapter_->AsioFormatInfo(&info);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(request.buffer, &info, sizeof(info));
        request.information = sizeof(info);
    }
    return status;
}

NTSTATUS CAsioChannelHandle::GetSampleRate(Request& request) {
    ULONG rate = 0;
    NTSTATUS status = adapter_->GetSampleRate(&rate);
    return NT_SUCCESS(status) ? ReplyUlong(request, rate) : status;
}

NTSTATUS CAsioChannelHandle::SetSampleRate(Request& request) { return adapter_->AsioSetSampleRate(InputUlong(request)); }

NTSTATUS CAsioChannelHandle::GetDsdSupport(Request& request) {
    return ReplyUlong(request, adapter_->IsDsdSupported());
}

// Two steps for the client: the length with an empty name, then the whole
// name. What does not fit is cut, and the reply says so.
NTSTATUS CAsioChannelHandle::GetDeviceName(Request& request) {
    const CUSBStringDescriptor& name = adapter_->DeviceName();
    const ULONG nameBytes = name.Characters() * sizeof(WCHAR);
    const ULONG room = request.outputLength - ASIO_DEVICE_NAME_REPLY_BYTES(0);
    const ULONG copied = nameBytes < room ? nameBytes : room;
    auto* reply = static_cast<PUCHAR>(request.buffer);
    const ASIO_DEVICE_NAME_HEADER head = {name.Characters()};
    RtlCopyMemory(reply, &head, sizeof(head));
    if (copied != 0) {
        RtlCopyMemory(reply + kNameHeadBytes, name.Bytes() + 2, copied);  // past the descriptor's own header
    }
    const WCHAR terminator = 0;
    RtlCopyMemory(reply + kNameHeadBytes + copied, &terminator, sizeof(terminator));
    request.information = copied + ASIO_DEVICE_NAME_REPLY_BYTES(0);
    return copied < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS CAsioChannelHandle::GetUsbSpeed(Request& request) { return ReplyUlong(request, adapter_->AsioUsbSpeed()); }

NTSTATUS CAsioChannelHandle::GetCaptureFramesPerTransfer(Request& request) {
    return ReplyUlong(request, vq7::CaptureFramesPerTransfer);
}

NTSTATUS CAsioChannelHandle::Nop(Request& request) {
    UNREFERENCED_PARAMETER(request);
    return STATUS_SUCCESS;
}

NTSTATUS CAsioChannelHandle::GetStreamError(Request& request) {
    return ReplyUlong(request, adapter_->Asio().StreamError());
}

// ---------------------------------------------------------------- the owner's protocol

NTSTATUS CAsioChannelHandle::Open(Request& request) {
    UNREFERENCED_PARAMETER(request);
    NTSTATUS status = adapter_->AsioOpen();
    if (NT_SUCCESS(status)) {
        state_ = Owner;
    }
    return status;
}

NTSTATUS CAsioChannelHandle::Prepare(Request& request) {
    ASIO_PREPARE_PARAMS params;
    RtlCopyMemory(&params, request.buffer, sizeof(params));
    NTSTATUS status = adapter_->AsioPrepare(params);
    if (NT_SUCCESS(status)) {
        state_ = Prepared;
    }
    return status;
}

NTSTATUS CAsioChannelHandle::Start(Request& request) {
    UNREFERENCED_PARAMETER(request);
    NTSTATUS status = adapter_->AsioStart();
    if (NT_SUCCESS(status)) {
        state_ = Running;
    }
    return status;
}

NTSTATUS CAsioChannelHandle::Stop(Request& request) {
    UNREFERENCED_PARAMETER(request);
    adapter_->AsioStop();
    state_ = Prepared;
    return STATUS_SUCCESS;
}

NTSTATUS CAsioChannelHandle::Unprepare(Request& request) {
    UNREFERENCED_PARAMETER(request);
    adapter_->AsioUnprepare();
    state_ = Owner;
    return STATUS_SUCCESS;
}

NTSTATUS CAsioChannelHandle::CloseOwner(Request& request) {
    UNREFERENCED_PARAMETER(request);
    adapter_->AsioClose();
    state_ = Opened;
    return STATUS_SUCCESS;
}

NTSTATUS CAsioChannelHandle::ArmInput(Request& request) {
    UNREFERENCED_PARAMETER(request);
    adapter_->Asio().ArmInput();
    return STATUS_SUCCESS;
}

NTSTATUS CAsioChannelHandle::GetPosition(Request& request) {
    return ReplyUlong(request, adapter_->Asio().GetPosition());
}

NTSTATUS CAsioChannelHandle::SyncPosition(Request& request) {
    adapter_->Asio().SyncPosition(InputUlong(request));
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- test hooks and tuning, process-wide

NTSTATUS CAsioChannelHandle::FailNextInput(Request& request) {
    UNREFERENCED_PARAMETER(request);
    InterlockedExchange(&vq7::FailNextCaptureCompletion, 1);
    return STATUS_SUCCESS;
}

NTSTATUS CAsioChannelHandle::FailNextOutput(Request& request) {
    UNREFERENCED_PARAMETER(request);
    InterlockedExchange(&vq7::FailNextRenderCompletion, 1);
    return STATUS_SUCCESS;
}

NTSTATUS CAsioChannelHandle::SetPlaybackLead(Request& request) {
    InterlockedExchange(&vq7::PlaybackLeadOverride_frames, static_cast<LONG>(InputUlong(request)));
    return STATUS_SUCCESS;
}

NTSTATUS CAsioChannelHandle::SetOutputPrefill(Request& request) {
    InterlockedExchange(&vq7::OutputPrefillOverride_frames, static_cast<LONG>(InputUlong(request)));
    return STATUS_SUCCESS;
}
