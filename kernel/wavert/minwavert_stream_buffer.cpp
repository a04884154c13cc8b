// The WaveRT stream's cyclic buffer (allocated through the port stream),
// its notification events, the engine's calls that move bytes and the
// position, and the forwarding of protected content.

#include "wavert/minwavert_stream.h"

#include "common/locks.h"
#include "common/pool.h"
#include "wavert/minwavert.h"

namespace {

// The buffer's pages lie below 4 GB, for controllers with 32-bit DMA.
constexpr LONGLONG kHighestBufferAddress = 0x00000000FFFFFFFFLL;

// There is no FIFO between the buffer and the converter beyond the USB
// packets; the figures describe the transport as the engine should count it.
constexpr ULONG kFifoBytes = 32;
constexpr ULONG kChipsetDelay_hns = 0;
constexpr ULONG kCodecDelay_hns = 4;

}  // namespace

// ---------------------------------------------------------------- the cyclic buffer (PASSIVE_LEVEL)

STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::AllocateAudioBuffer(ULONG RequestedSize, PMDL* AudioBufferMdl,
                                                                   ULONG* ActualSize, ULONG* OffsetFromFirstPage,
                                                                   MEMORY_CACHING_TYPE* CacheType) {
    PAGED_CODE();
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = kHighestBufferAddress;
    PMDL mdl = portStream_->AllocatePagesForMdl(highest, RequestedSize);
    if (mdl == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    PVOID address = portStream_->MapAllocatedPages(mdl, MmCached);
    if (address == nullptr) {
        portStream_->FreePagesFromMdl(mdl);
        return STATUS_UNSUCCESSFUL;
    }
    buffer_ = static_cast<PUCHAR>(address);
    captureOffset_ = 0;
    renderOffset_ = 0;
    bufferSize_ = RequestedSize;  // neither pages nor frames round it
    *AudioBufferMdl = mdl;
    *ActualSize = RequestedSize;
    *OffsetFromFirstPage = 0;
    *CacheType = MmCached;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(VOID) CMiniportWaveRTStream::FreeAudioBuffer(PMDL AudioBufferMdl, ULONG BufferSize) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(BufferSize);
    if (AudioBufferMdl == nullptr) {
        return;
    }
    if (buffer_ != nullptr) {
        portStream_->UnmapAllocatedPages(buffer_, AudioBufferMdl);
        buffer_ = nullptr;
        bufferSize_ = 0;
        captureOffset_ = 0;
        renderOffset_ = 0;
    }
    portStream_->FreePagesFromMdl(AudioBufferMdl);
}

// Any count is kept; only 1 and 2 produce notifications.
STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::AllocateBufferWithNotification(
    ULONG NotificationCount, ULONG RequestedSize, PMDL* AudioBufferMdl, ULONG* ActualSize,
    ULONG* OffsetFromFirstPage, MEMORY_CACHING_TYPE* CacheType) {
    const NTSTATUS status =
        AllocateAudioBuffer(RequestedSize, AudioBufferMdl, ActualSize, OffsetFromFirstPage, CacheType);
    if (NT_SUCCESS(status)) {
        notificationCount_ = NotificationCount;
    }
    return status;
}

STDMETHODIMP_(VOID) CMiniportWaveRTStream::FreeBufferWithNotification(PMDL AudioBufferMdl, ULONG BufferSize) {
    FreeAudioBuffer(AudioBufferMdl, BufferSize);
}

STDMETHODIMP_(VOID) CMiniportWaveRTStream::GetHWLatency(PKSRTAUDIO_HWLATENCY hwLatency) {
    hwLatency->FifoSize = kFifoBytes;
    hwLatency->ChipsetDelay = kChipsetDelay_hns;
    hwLatency->CodecDelay = kCodecDelay_hns;
}

// There is no hardware register to map: the position comes from GetPosition.
STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::GetPositionRegister(PKSRTAUDIO_HWREGISTER Register) {
    UNREFERENCED_PARAMETER(Register);
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::GetClockRegister(PKSRTAUDIO_HWREGISTER Register) {
    UNREFERENCED_PARAMETER(Register);
    return STATUS_NOT_IMPLEMENTED;
}

// ---------------------------------------------------------------- notification events (PASSIVE_LEVEL)

// Under eventsLock_.
CMiniportWaveRTStream::EventEntry* CMiniportWaveRTStream::FindEvent(PKEVENT event) {
    for (PLIST_ENTRY link = events_.Flink; link != &events_; link = link->Flink) {
        auto* entry = CONTAINING_RECORD(link, EventEntry, links);
        if (entry->event == event) return entry;
    }
    return nullptr;
}

// A second registration of the same event leaves the first in force.
STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::RegisterNotificationEvent(PKEVENT NotificationEvent) {
    PAGED_CODE();
    auto* entry = static_cast<EventEntry*>(vq7::AllocateZeroed(sizeof(EventEntry), vq7::kPoolTagUsba));
    if (entry == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    entry->event = NotificationEvent;
    {
        vq7::InStackLock guard(eventsLock_);
        if (FindEvent(NotificationEvent) == nullptr) {
            InsertTailList(&events_, &entry->links);
            return STATUS_SUCCESS;
        }
    }
    ExFreePoolWithTag(entry, vq7::kPoolTagUsba);
    return STATUS_UNSUCCESSFUL;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::UnregisterNotificationEvent(PKEVENT NotificationEvent) {
    PAGED_CODE();
    EventEntry* entry = nullptr;
    {
        vq7::InStackLock guard(eventsLock_);
        entry = FindEvent(NotificationEvent);
        if (entry != nullptr) RemoveEntryList(&entry->links);
    }
    if (entry == nullptr) {
        return STATUS_NOT_FOUND;
    }
    ExFreePoolWithTag(entry, vq7::kPoolTagUsba);
    return STATUS_SUCCESS;
}

// Under the tracker's spin lock (DISPATCH_LEVEL). One notification per
// buffer comes at the wrap; two come at the half and at the wrap.
void CMiniportWaveRTStream::Notify(ULONG kind, ULONG position) {
    UNREFERENCED_PARAMETER(position);
    const bool signal = (notificationCount_ == 1 && kind == kWrap) ||
                        (notificationCount_ == 2 && (kind == kHalf || kind == kWrap));
    if (!signal) {
        return;
    }
    vq7::InStackLock guard(eventsLock_);
    for (PLIST_ENTRY link = events_.Flink; link != &events_; link = link->Flink) {
        KeSetEvent(CONTAINING_RECORD(link, EventEntry, links)->event, IO_SOUND_INCREMENT, FALSE);
    }
}

// ---------------------------------------------------------------- the engine's calls (IRQL <= DISPATCH_LEVEL)

void CMiniportWaveRTStream::QueueSpan(PUCHAR address, ULONG length) {
    IUsbAudioAdapter* adapter = filter_->Adapter();
    if (capture_) {
        adapter->QueueCaptureSpan(address, static_cast<LONG>(length));
    } else {
        adapter->QueueRenderSpan(address, static_cast<LONG>(length));
    }
}

// Hands the engine the next `bytes` of the buffer, in two spans when they
// wrap. The stream's own offsets advance here; the reported position
// follows in AdvancePosition once the bytes have moved.
void CMiniportWaveRTStream::TransferData(ULONG bytes) {
    if (!runGate_.TryEnter()) {
        return;
    }
    if (bytes > bufferSize_) bytes = bufferSize_;
    ULONG& offset = capture_ ? captureOffset_ : renderOffset_;
    if (bytes != 0) {
        const ULONG toEnd = bufferSize_ - offset;
        if (toEnd < bytes) {
            QueueSpan(buffer_ + offset, toEnd);
            QueueSpan(buffer_, bytes - toEnd);
        } else {
            QueueSpan(buffer_ + offset, bytes);
        }
        offset += bytes;
        if (offset >= bufferSize_) offset -= bufferSize_;
    }
    runGate_.Leave();
}

void CMiniportWaveRTStream::AdvancePosition(ULONG bytes) {
    if (bytes != 0) {
        tracker_.Advance(bytes);
    }
}

// Changes nothing and signals nothing: the engine also polls it.
STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::GetPosition(PKSAUDIO_POSITION Position) {
    const ULONG position = tracker_.GetPosition();
    Position->PlayOffset = position;
    Position->WriteOffset = position >= bufferSize_ ? position - bufferSize_ : position;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- protected content (PASSIVE_LEVEL)

// The rights travel with the content ID to the device object below.
STDMETHODIMP_(NTSTATUS) CMiniportWaveRTStream::SetContentId(ULONG contentId, PCDRMRIGHTS drmRights) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(drmRights);
    PDRMPORT2 drmPort = filter_->DrmPort();
    if (drmPort == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    DRMFORWARD forward = {};
    NTSTATUS status = filter_->Adapter()->GetDrmForward(capture_ ? TRUE : FALSE, &forward);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return drmPort->ForwardContentToDeviceObject(contentId, nullptr, &forward);
}
