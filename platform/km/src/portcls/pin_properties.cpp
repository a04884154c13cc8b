// PortCls's own properties of a WaveRT pin, mapped onto the miniport's
// stream: the connection's state (stepped, pin_state.cpp) and format, the
// position, and the WaveRT set: the cyclic buffer (with or without
// notifications; the client sees the buffer's pages at the address the
// answer gives), the hardware latency, the registers a stream may map, and
// the notification events, which PortCls takes from the client's handle and
// keeps referenced while they are registered; and the content ID of
// protected content, handed to the stream's IDrmAudioStream.

#include <string.h>

#include <algorithm>

#include "../physical_memory.h"
#include "property_request.h"

namespace pc {

namespace {

NTSTATUS ConnectionState(PropertyCall& call) {
    if (call.verb == KSPROPERTY_TYPE_GET) {
        KSSTATE state = call.pin->state;
        memcpy(call.value, &state, sizeof state);
        call.information = sizeof state;
        return STATUS_SUCCESS;
    }
    ULONG requested;  // read as a number: the caller's value may be no KSSTATE at all
    memcpy(&requested, call.value, sizeof requested);
    if (requested > KSSTATE_RUN) {
        return STATUS_INVALID_PARAMETER;
    }
    return StepPinState(*call.pin, static_cast<KSSTATE>(requested));
}

NTSTATUS ConnectionDataFormat(PropertyCall& call) {
    return AnswerBytes(call, call.pin->format, call.pin->format->FormatSize);
}

NTSTATUS AudioPosition(PropertyCall& call) {
    KSAUDIO_POSITION position = {};
    NTSTATUS status = call.pin->stream->GetPosition(&position);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return AnswerBytes(call, &position, sizeof position);
}

}  // namespace

void FreePinBuffer(Pin& pin) {
    if (pin.bufferMdl == nullptr) {
        return;
    }
    if (pin.bufferWithNotification) {
        pin.notification->FreeBufferWithNotification(pin.bufferMdl, pin.bufferSize);
    } else {
        pin.stream->FreeAudioBuffer(pin.bufferMdl, pin.bufferSize);
    }
    pin.bufferMdl = nullptr;
    pin.bufferSize = 0;
}

namespace {

// A new buffer replaces the old one; only a stopped pin changes its buffer.
NTSTATUS AllocateBuffer(PropertyCall& call, bool withNotification, ULONG notifications, ULONG requested) {
    Pin& pin = *call.pin;
    if (withNotification && pin.notification == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    if (pin.state != KSSTATE_STOP) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    FreePinBuffer(pin);
    PMDL mdl = nullptr;
    ULONG actual = 0;
    ULONG offset = 0;
    MEMORY_CACHING_TYPE cache = MmCached;
    NTSTATUS status = withNotification
                          ? pin.notification->AllocateBufferWithNotification(notifications, requested, &mdl, &actual,
                                                                             &offset, &cache)
                          : pin.stream->AllocateAudioBuffer(requested, &mdl, &actual, &offset, &cache);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    pin.bufferMdl = mdl;
    pin.bufferSize = actual;
    pin.bufferWithNotification = withNotification;
    KSRTAUDIO_BUFFER answer = {};
    answer.BufferAddress = km::HostAddressOfMdl(mdl) + offset;
    answer.ActualBufferSize = actual;
    answer.CallMemoryBarrier = cache == MmWriteCombined;
    return AnswerBytes(call, &answer, sizeof answer);
}

NTSTATUS RtAudioBuffer(PropertyCall& call) {
    const auto* request = reinterpret_cast<const KSRTAUDIO_BUFFER_PROPERTY*>(call.property);
    return AllocateBuffer(call, false, 0, request->RequestedBufferSize);
}

NTSTATUS RtAudioBufferWithNotification(PropertyCall& call) {
    const auto* request = reinterpret_cast<const KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION*>(call.property);
    return AllocateBuffer(call, true, request->NotificationCount, request->RequestedBufferSize);
}

NTSTATUS RtAudioHwLatency(PropertyCall& call) {
    KSRTAUDIO_HWLATENCY latency = {};
    call.pin->stream->GetHWLatency(&latency);
    return AnswerBytes(call, &latency, sizeof latency);
}

NTSTATUS AnswerRegister(PropertyCall& call, bool clock) {
    KSRTAUDIO_HWREGISTER reg = {};
    NTSTATUS status = clock ? call.pin->stream->GetClockRegister(&reg) : call.pin->stream->GetPositionRegister(&reg);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return AnswerBytes(call, &reg, sizeof reg);
}

NTSTATUS RtAudioPositionRegister(PropertyCall& call) { return AnswerRegister(call, false); }
NTSTATUS RtAudioClockRegister(PropertyCall& call) { return AnswerRegister(call, true); }

NTSTATUS RtAudioQueryNotificationSupport(PropertyCall& call) {
    BOOL supported = call.pin->notification != nullptr;
    return AnswerBytes(call, &supported, sizeof supported);
}

// The event behind the request's handle, referenced.
NTSTATUS ReferenceEvent(PropertyCall& call, PKEVENT* event) {
    HANDLE handle = reinterpret_cast<const KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY*>(call.property)->NotificationEvent;
    return ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, call.irp->RequestorMode,
                                     reinterpret_cast<PVOID*>(event), nullptr);
}

NTSTATUS RtAudioRegisterEvent(PropertyCall& call) {
    Pin& pin = *call.pin;
    if (pin.notification == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    if (pin.bufferMdl == nullptr || !pin.bufferWithNotification) {
        return STATUS_INVALID_DEVICE_STATE;  // events follow a buffer with notifications
    }
    PKEVENT event;
    NTSTATUS status = ReferenceEvent(call, &event);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = pin.notification->RegisterNotificationEvent(event);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(event);
        return status;
    }
    pin.events.push_back(event);  // the reference stays with the registration
    return STATUS_SUCCESS;
}

NTSTATUS RtAudioUnregisterEvent(PropertyCall& call) {
    Pin& pin = *call.pin;
    if (pin.notification == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    PKEVENT event;
    NTSTATUS status = ReferenceEvent(call, &event);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = pin.notification->UnregisterNotificationEvent(event);
    auto registered = std::find(pin.events.begin(), pin.events.end(), event);
    if (NT_SUCCESS(status) && registered != pin.events.end()) {
        pin.events.erase(registered);
        ObDereferenceObject(event);  // the registration's
    }
    ObDereferenceObject(event);
    return status;
}

// Protected content: the stream learns the content's ID and rights.
NTSTATUS DrmContentId(PropertyCall& call) {
    PDRMAUDIOSTREAM drm;
    if (!NT_SUCCESS(call.pin->stream->QueryInterface(IID_IDrmAudioStream, reinterpret_cast<PVOID*>(&drm)))) {
        return STATUS_NOT_SUPPORTED;
    }
    const auto* content = static_cast<const KSDRMAUDIOSTREAM_CONTENTID*>(call.value);
    NTSTATUS status = drm->SetContentId(content->ContentId, &content->DrmRights);
    drm->Release();
    return status;
}

constexpr ULONG kGet = KSPROPERTY_TYPE_GET;
constexpr ULONG kGetSet = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
constexpr ULONG kEventRequest = sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY);

const PortClsPropertyItem kPinItems[] = {
    // set, id, verbs, request bytes, value bytes (0: sized by the handler), handler
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, kGetSet, sizeof(KSPROPERTY), sizeof(KSSTATE),
     ConnectionState},
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, kGet, sizeof(KSPROPERTY), 0, ConnectionDataFormat},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, kGet, sizeof(KSPROPERTY), sizeof(KSAUDIO_POSITION), AudioPosition},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER, kGet, sizeof(KSRTAUDIO_BUFFER_PROPERTY), sizeof(KSRTAUDIO_BUFFER),
     RtAudioBuffer},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION, kGet,
     sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION), sizeof(KSRTAUDIO_BUFFER), RtAudioBufferWithNotification},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_HWLATENCY, kGet, sizeof(KSPROPERTY), sizeof(KSRTAUDIO_HWLATENCY),
     RtAudioHwLatency},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_POSITIONREGISTER, kGet, sizeof(KSRTAUDIO_HWREGISTER_PROPERTY),
     sizeof(KSRTAUDIO_HWREGISTER), RtAudioPositionRegister},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_CLOCKREGISTER, kGet, sizeof(KSRTAUDIO_HWREGISTER_PROPERTY),
     sizeof(KSRTAUDIO_HWREGISTER), RtAudioClockRegister},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, kGetSet, kEventRequest, 0,
     RtAudioRegisterEvent},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, kGetSet, kEventRequest, 0,
     RtAudioUnregisterEvent},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT, kGet, sizeof(KSPROPERTY), sizeof(BOOL),
     RtAudioQueryNotificationSupport},
    {&KSPROPSETID_DrmAudioStream, KSPROPERTY_DRMAUDIOSTREAM_CONTENTID, KSPROPERTY_TYPE_SET,
     sizeof(KSP_DRMAUDIOSTREAM_CONTENTID), sizeof(KSDRMAUDIOSTREAM_CONTENTID), DrmContentId},
};

const PortClsPropertyTable kPinTable = {kPinItems, RTL_NUMBER_OF(kPinItems)};

}  // namespace

const PortClsPropertyTable& PinPropertyTable() { return kPinTable; }

}  // namespace pc
