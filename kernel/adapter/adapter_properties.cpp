// What the adapter answers about the filter's pins (jack descriptions,
// signal-processing modes) and about the device's rates, and the slots it
// forwards to the class layer.

#include "adapter/adapter.h"

#include <ksmedia.h>

#include "adapter/device_settings.h"
#include "entity_terminal.h"
#include "wavert/filter_pins.h"
#include "wavert/miniport_engine_sink.h"

namespace {

constexpr ULONG kFrontLeftRight = 3;  // KSAUDIO_SPEAKER_STEREO's two channels
constexpr ULONG kConnectorEmpty = 0;

struct JackAnswer {
    KSMULTIPLE_ITEM header;
    KSJACK_DESCRIPTION description;
};
struct JackAnswer2 {
    KSMULTIPLE_ITEM header;
    KSJACK_DESCRIPTION2 description;
};
static_assert(sizeof(JackAnswer) == 36, "a jack description answer is 36 bytes");
static_assert(sizeof(JackAnswer2) == 16, "a jack description 2 answer is 16 bytes");

bool IsBridge(const PCPIN_DESCRIPTOR& pin) {
    return pin.KsPinDescriptor.Communication == KSPIN_COMMUNICATION_NONE ||
           pin.KsPinDescriptor.Communication == KSPIN_COMMUNICATION_BRIDGE;
}

// The standard answer to a basic-support request of a read-only property.
NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST request) {
    const ULONG access = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
    if (request->ValueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
        auto* description = static_cast<PKSPROPERTY_DESCRIPTION>(request->Value);
        RtlZeroMemory(description, sizeof *description);
        description->AccessFlags = access;
        description->DescriptionSize = sizeof *description;
        request->ValueSize = sizeof *description;
        return STATUS_SUCCESS;
    }
    if (request->ValueSize >= sizeof(ULONG)) {
        *static_cast<PULONG>(request->Value) = access;
        request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    request->ValueSize = 0;
    return STATUS_BUFFER_TOO_SMALL;
}

// A zero size asks for the size; a smaller one is refused.
NTSTATUS NegotiateSize(PPCPROPERTY_REQUEST request, ULONG needed) {
    if (request->ValueSize == 0) {
        request->ValueSize = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < needed || request->Value == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_SUCCESS;
}

void AnswerJack(PPCPROPERTY_REQUEST request, const CUSBAudioTerminal* terminal) {
    bool reports = terminal != nullptr && terminal->HasConnectorControl();
    if (request->PropertyItem->Id == KSPROPERTY_JACK_DESCRIPTION) {
        JackAnswer answer = {};
        answer.header.Size = sizeof answer;
        answer.header.Count = 1;
        answer.description.ChannelMapping = kFrontLeftRight;
        answer.description.ConnectionType = eConnTypeUnknown;
        answer.description.GeoLocation = eGeoLocFront;
        answer.description.PortConnection = ePortConnJack;
        answer.description.IsConnected = !(reports && terminal->GetConnectorState() == kConnectorEmpty);
        RtlCopyMemory(request->Value, &answer, sizeof answer);
        request->ValueSize = sizeof answer;
    } else {
        JackAnswer2 answer = {};
        answer.header.Size = sizeof answer;
        answer.header.Count = 1;
        answer.description.JackCapabilities = reports ? JACKDESC2_PRESENCE_DETECT_CAPABILITY : 0;
        RtlCopyMemory(request->Value, &answer, sizeof answer);
        request->ValueSize = sizeof answer;
    }
}

}  // namespace

// The pin `pinId` of the registered miniport's description.
NTSTATUS CUSBAudioAdapter::FindPin(IMiniportEngineSink* sink, ULONG pinId, const PCPIN_DESCRIPTOR** pin,
                                   const CUSBAudioTerminal** terminal) {
    const PCFILTER_DESCRIPTOR* filter = sink != nullptr ? sink->GetFilterDescription() : nullptr;
    if (filter == nullptr || pinId >= filter->PinCount) {
        return STATUS_INVALID_PARAMETER;
    }
    *pin = vq7::PinDescriptorAt(*filter, pinId);
    *terminal = vq7::PinTerminalAt(*filter, pinId);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Jack descriptions of bridge pins (the device's physical
// connections); the device reports presence only where a terminal has a
// connector control.
STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::JackProperty(PPCPROPERTY_REQUEST Request) {
    ULONG id = Request->PropertyItem->Id;
    if (id != KSPROPERTY_JACK_DESCRIPTION && id != KSPROPERTY_JACK_DESCRIPTION2) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Request->InstanceSize < sizeof(ULONG) || Request->Instance == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG pinId = *static_cast<const ULONG*>(Request->Instance);
    IMiniportEngineSink* sink = ReferenceMiniport();
    const PCPIN_DESCRIPTOR* pin = nullptr;
    const CUSBAudioTerminal* terminal = nullptr;
    NTSTATUS status = FindPin(sink, pinId, &pin, &terminal);
    if (!NT_SUCCESS(status)) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        status = AnswerBasicSupport(Request);
    } else {
        status = NegotiateSize(Request, id == KSPROPERTY_JACK_DESCRIPTION ? sizeof(JackAnswer) : sizeof(JackAnswer2));
        // Jacks are read-only and streaming pins have none: such requests
        // are refused rather than answered with an unwritten value.
        if (NT_SUCCESS(status) && (!(Request->Verb & KSPROPERTY_TYPE_GET) || !IsBridge(*pin))) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
        if (status == STATUS_SUCCESS) {
            AnswerJack(Request, terminal);
        }
    }
    if (sink != nullptr) sink->Release();
    return status;
}

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::GetSignalProcessingModes(ULONG PinId, GUID* Modes, ULONG* Count) {
    if (Count == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    IMiniportEngineSink* sink = ReferenceMiniport();
    const PCPIN_DESCRIPTOR* pin = nullptr;
    const CUSBAudioTerminal* terminal = nullptr;
    NTSTATUS status = FindPin(sink, PinId, &pin, &terminal);
    if (sink != nullptr) sink->Release();
    if (!NT_SUCCESS(status)) {
        *Count = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (IsBridge(*pin)) {
        *Count = 0;
        return STATUS_NOT_SUPPORTED;
    }
    if (Modes == nullptr) {
        *Count = 1;
        return STATUS_SUCCESS;
    }
    if (*Count == 0) {
        *Count = 1;
        return STATUS_BUFFER_TOO_SMALL;
    }
    Modes[0] = AUDIO_SIGNALPROCESSINGMODE_RAW;
    *Count = 1;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::GetSampleRate(ULONG* Rate) {
    if (Rate == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Rate = deviceSampleRate_;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::GetRateRange(ULONG* Minimum, ULONG* Maximum) {
    return vq7::DeviceRateRange(classLayer_, Minimum, Maximum);
}

// ---------------------------------------------------------------- forwarded to the class layer

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::NarrowRateRange(BOOLEAN Capture, ULONG* Minimum, ULONG* Maximum) {
    return classLayer_.NarrowRateRange(Capture ? 1 : 0, Minimum, Maximum);
}

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::BuildFilterDescription(FilterDescriptionBlock* Block) {
    return classLayer_.BuildFilterDescriptor(Block);
}

STDMETHODIMP_(void) CUSBAudioAdapter::FreeFilterDescription(FilterDescriptionBlock* Block) {
    classLayer_.FreeFilterDescriptor(Block);
}

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::GetDrmForward(BOOLEAN Capture, PDRMFORWARD Forward) {
    return classLayer_.GetDrmForwardInfo(Capture ? 1 : 0, Forward);
}
