// The WaveRT stream: its interfaces, Init (where the format is taken), the
// KS state transitions and destruction, which steps the state down and
// gives the direction back to the filter.

#include "wavert/minwavert_stream.h"

#include <ksmedia.h>

#include "common/pool.h"
#include "common/trace.h"
#include "wavert/minwavert.h"

namespace {

// The DirectSound form puts the buffer description's two ULONGs (flags,
// control) between the KSDATAFORMAT header and the wave format.
constexpr ULONG kDirectSoundPrefixBytes = 2 * sizeof(ULONG);

// The subformats the extensible form may name, and the tag each stands for.
struct SubFormatTag {
    const GUID* subFormat;
    USHORT tag;
};
const SubFormatTag kSubFormatTags[] = {
    {&KSDATAFORMAT_SUBTYPE_PCM, vq7::kWaveFormatPcm},
    {&KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, vq7::kWaveFormatIeeeFloat},
    {&KSDATAFORMAT_SUBTYPE_ALAW, vq7::kWaveFormatAlaw},
    {&KSDATAFORMAT_SUBTYPE_MULAW, vq7::kWaveFormatMulaw},
};

bool IsStreamTag(USHORT tag) {
    for (const SubFormatTag& entry : kSubFormatTags) {
        if (entry.tag == tag) return true;
    }
    return false;
}

}  // namespace

// PortCls steps a pin's state one adjacent transition at a time; these are
// the only ones a stream accepts.
//
//   STOP <-> ACQUIRE <-> PAUSE <-> RUN
const CMiniportWaveRTStream::Transition CMiniportWaveRTStream::kTransitions[] = {
    {KSSTATE_STOP, KSSTATE_ACQUIRE, &CMiniportWaveRTStream::NoStep, false},
    {KSSTATE_ACQUIRE, KSSTATE_STOP, &CMiniportWaveRTStream::NoStep, false},
    {KSSTATE_ACQUIRE, KSSTATE_PAUSE, &CMiniportWaveRTStream::Prepare, false},
    {KSSTATE_PAUSE, KSSTATE_ACQUIRE, &CMiniportWaveRTStream::Unprepare, false},
    {KSSTATE_PAUSE, KSSTATE_RUN, &CMiniportWaveRTStream::Run, true},
    {KSSTATE_RUN, KSSTATE_PAUSE, &CMiniportWaveRTStream::Pause, false},
};

CMiniportWaveRTStream::CMiniportWaveRTStream(PUNKNOWN outer) : CUnknown(outer) {
    InitializeListHead(&events_);
    KeInitializeSpinLock(&eventsLock_);
}

// PASSIVE_LEVEL (the last Release). The state goes down one transition at
// a time, as PortCls would step it; then the format and the reservation go
// back, unless StopAllStreams already took them.
CMiniportWaveRTStream::~CMiniportWaveRTStream() {
    StepDownToStop();
    if (filter_ != nullptr) {
        ReleaseFromFilter();
    }
    while (!IsListEmpty(&events_)) {
        auto* entry = CONTAINING_RECORD(RemoveHeadList(&events_), EventEntry, links);
        ExFreePoolWithTag(entry, vq7::kPoolTagUsba);
    }
}

void CMiniportWaveRTStream::StepDownToStop() {
    while (state_ != KSSTATE_STOP) {
        const KSSTATE lower = static_cast<KSSTATE>(state_ - 1);
        if (!NT_SUCCESS(SetState(lower))) {
            state_ = lower;  // the steps down only report; they never hold the state
        }
    }
}

void CMiniportWaveRTStream::ReleaseFromFilter() {
    const BOOLEAN capture = capture_ ? TRUE : FALSE;
    if (formatSet_) {
        (void)filter_->WithBinding(capture, [&](IUsbAudioAdapter& adapter, ULONG& direction) {
            adapter.ClearFormat(capture);
            direction = CMiniportWaveRT::Reserved;
            return STATUS_SUCCESS;
        });
        formatSet_ = false;
    }
    filter_->DetachStream(capture, this);
    (void)filter_->WithBinding(capture, [&](IUsbAudioAdapter& adapter, ULONG& direction) {
        adapter.ReleaseDirections(capture, !capture);
        direction = CMiniportWaveRT::Idle;
        return STATUS_SUCCESS;
    });
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniportWaveRTStream) ||
        IsEqualGUID(iid, IID_IMiniportWaveRTStreamNotification)) {
        *object = static_cast<IMiniportWaveRTStreamNotification*>(this);
    } else if (IsEqualGUID(iid, IID_IDrmAudioStream)) {
        *object = static_cast<IDrmAudioStream*>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*object)->AddRef();
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Finds the wave format behind the KSDATAFORMAT header and
// the tag it stands for. The format's own size must cover what is read.
NTSTATUS CMiniportWaveRTStream::LocateFormat(PKSDATAFORMAT dataFormat, USHORT* tag,
                                             const vq7::WaveFormatExtensible** format) {
    if (dataFormat == nullptr || !IsEqualGUID(dataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG offset = sizeof(KSDATAFORMAT);
    if (IsEqualGUID(dataFormat->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) {
        offset += kDirectSoundPrefixBytes;
    } else if (!IsEqualGUID(dataFormat->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (dataFormat->FormatSize < offset + vq7::kWaveFormatExBytes) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const auto* wave =
        reinterpret_cast<const vq7::WaveFormatExtensible*>(reinterpret_cast<const UCHAR*>(dataFormat) + offset);
    *tag = 0;
    if (wave->wFormatTag == vq7::kWaveFormatExtensible) {
        if (dataFormat->FormatSize < offset + sizeof(vq7::WaveFormatExtensible)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        for (const SubFormatTag& entry : kSubFormatTags) {
            if (IsEqualGUID(wave->SubFormat, *entry.subFormat)) *tag = entry.tag;
        }
    } else if (IsStreamTag(wave->wFormatTag)) {
        *tag = wave->wFormatTag;
    }
    if (*tag == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *format = wave;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL.
NTSTATUS CMiniportWaveRTStream::Init(CMiniportWaveRT* filter, PPORTWAVERTSTREAM portStream, ULONG pin,
                                     BOOLEAN capture, PKSDATAFORMAT dataFormat) {
    PAGED_CODE();
    runGate_.CloseAndWait();
    filter_ = filter;
    portStream_ = portStream;
    pin_ = pin;
    capture_ = capture != FALSE;
    state_ = KSSTATE_STOP;
    buffer_ = nullptr;
    captureOffset_ = 0;
    renderOffset_ = 0;
    USHORT tag = 0;
    const vq7::WaveFormatExtensible* wave = nullptr;
    NTSTATUS status = LocateFormat(dataFormat, &tag, &wave);
    if (NT_SUCCESS(status)) {
        status = filter_->WithBinding(capture, [&](IUsbAudioAdapter& adapter, ULONG& direction) {
            NTSTATUS result =
                adapter.SetFormat(capture, tag, wave->nChannels, wave->wBitsPerSample, wave->nSamplesPerSec);
            if (NT_SUCCESS(result)) direction = CMiniportWaveRT::FormatSet;
            return result;
        });
    }
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_ERROR, vq7::kTraceWaveRt, "stream Init failed: 0x%08lx", static_cast<ULONG>(status));
        return status;
    }
    formatTag_ = tag;
    formatSet_ = true;
    channels_ = wave->nChannels;
    bitsPerSample_ = wave->wBitsPerSample;
    sampleRate_ = wave->nSamplesPerSec;
    blockAlign_ = wave->nBlockAlign;
    tracker_.Init(this, capture_, bufferSize_);
    return STATUS_SUCCESS;
}

// The format is fixed for the stream's life.
STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::SetFormat(PKSDATAFORMAT DataFormat) {
    UNREFERENCED_PARAMETER(DataFormat);
    return STATUS_NOT_SUPPORTED;
}

// PASSIVE_LEVEL, one call at a time.
STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::SetState(KSSTATE State) {
    PAGED_CODE();
    if (State == state_) {
        return STATUS_SUCCESS;
    }
    for (const Transition& transition : kTransitions) {
        if (transition.from != state_ || transition.to != State) continue;
        const NTSTATUS status = (this->*transition.step)();
        if (NT_SUCCESS(status) || transition.stateFollowsFailure) {
            state_ = State;
        }
        return status;
    }
    return STATUS_INVALID_PARAMETER;
}

// ACQUIRE -> PAUSE: the stream starts at the buffer's beginning, and the
// engine gets ready to move its bytes.
NTSTATUS CMiniportWaveRTStream::Prepare() {
    captureOffset_ = 0;
    renderOffset_ = 0;
    tracker_.Init(this, capture_, bufferSize_);
    const BOOLEAN capture = capture_ ? TRUE : FALSE;
    return filter_->WithBinding(capture, [&](IUsbAudioAdapter& adapter, ULONG& direction) {
        NTSTATUS result = adapter.Prepare(capture, bufferSize_);
        if (NT_SUCCESS(result)) direction = CMiniportWaveRT::Prepared;
        return result;
    });
}

// PAUSE -> ACQUIRE.
NTSTATUS CMiniportWaveRTStream::Unprepare() {
    const BOOLEAN capture = capture_ ? TRUE : FALSE;
    (void)filter_->WithBinding(capture, [&](IUsbAudioAdapter& adapter, ULONG& direction) {
        (void)adapter.Unprepare(capture);
        direction = CMiniportWaveRT::FormatSet;
        return STATUS_SUCCESS;
    });
    return STATUS_SUCCESS;
}

// PAUSE -> RUN: the engine may enter. Once the filter stopped its streams
// the gate stays closed, and the state is RUN all the same.
NTSTATUS CMiniportWaveRTStream::Run() {
    const NTSTATUS status = filter_->WithBinding(capture_ ? TRUE : FALSE, [&](IUsbAudioAdapter&, ULONG&) {
        runGate_.Reopen();
        return STATUS_SUCCESS;
    });
    tracker_.Run();
    return status;
}

// RUN -> PAUSE: returns once no engine call is inside the stream.
NTSTATUS CMiniportWaveRTStream::Pause() {
    runGate_.CloseAndWait();
    tracker_.Pause();
    return STATUS_SUCCESS;
}
