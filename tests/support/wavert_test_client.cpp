#include "wavert_test_client.h"

#include <cstring>

namespace kmtest {

namespace {

constexpr ULONG kTag = 0x74435257;  // "WRCt"

// A sample of `bits` bits, little-endian, from the low bits of `value`.
void PutSample(UCHAR* at, ULONG bits, int32_t value) {
    for (ULONG b = 0; b < bits / 8; ++b) {
        at[b] = static_cast<UCHAR>(static_cast<uint32_t>(value) >> (8 * b));
    }
}

// Distinct, non-zero values that change with every frame and channel.
int32_t DefaultSignal(uint64_t frame, ULONG channel) {
    return static_cast<int32_t>(((frame * 8 + channel + 1) * 97) & 0x7FFF);
}

class Locked {
public:
    explicit Locked(KSPIN_LOCK& lock) { KeAcquireInStackQueuedSpinLock(&lock, &handle_); }
    ~Locked() { KeReleaseInStackQueuedSpinLock(&handle_); }

private:
    KLOCK_QUEUE_HANDLE handle_;
};

}  // namespace

WaveRtTestClient::WaveRtTestClient(PUNKNOWN outer) : CUnknown(outer), signal(DefaultSignal) {
    KeInitializeSpinLock(&lock_);
}

WaveRtTestClient::~WaveRtTestClient() { Unregister(); }

void WaveRtTestClient::Unregister() {
    if (adapter_ != nullptr) {
        adapter_->UnregisterMiniport(this);
        adapter_ = nullptr;
    }
}

WaveRtTestClient* WaveRtTestClient::Create() {
    auto* client = new (NonPagedPool, kTag) WaveRtTestClient(nullptr);
    if (client != nullptr) client->AddRef();
    return client;
}

STDMETHODIMP_(NTSTATUS) WaveRtTestClient::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniportEngineSink)) {
        *object = static_cast<IMiniportEngineSink*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS WaveRtTestClient::Register(IUsbAudioAdapter* adapter) {
    NTSTATUS status = adapter->RegisterMiniport(this);
    if (NT_SUCCESS(status)) {
        adapter_ = adapter;
    }
    return status;
}

void WaveRtTestClient::WriteSignal(UCHAR* at, ULONG bytes) {
    const ULONG frameBytes = render_.FrameBytes();
    const ULONG sampleBytes = render_.bits / 8;
    for (ULONG done = 0; done + frameBytes <= bytes; done += frameBytes) {
        for (ULONG c = 0; c < render_.channels; ++c) {
            PutSample(at + done + c * sampleBytes, render_.bits, signal(signalFrame_, c));
        }
        ++signalFrame_;
    }
}

void WaveRtTestClient::SetUp(bool capture, ULONG bitsPerSample, ULONG channels, ULONG bufferBytes) {
    Locked guard(lock_);
    Direction& side = Side(capture);
    side = Direction{};
    side.bits = bitsPerSample;
    side.channels = channels;
    side.buffer.assign(bufferBytes, 0);
    if (!capture) {
        signalFrame_ = 0;
        renderConsumed_ = 0;
        WriteSignal(side.buffer.data(), bufferBytes);
    } else {
        captured_.clear();
    }
}

void WaveRtTestClient::SetRunning(bool capture, bool running) {
    Locked guard(lock_);
    Side(capture).running = running;
}

NTSTATUS WaveRtTestClient::Open(bool capture, ULONG bitsPerSample, ULONG channels, ULONG rate, ULONG bufferBytes) {
    NTSTATUS status = adapter_->ReserveDirections(capture, !capture, FALSE);
    if (!NT_SUCCESS(status)) return status;
    status = adapter_->SetFormat(capture, 1, channels, bitsPerSample, rate);
    if (!NT_SUCCESS(status)) {
        adapter_->ReleaseDirections(capture, !capture);
        return status;
    }
    SetUp(capture, bitsPerSample, channels, bufferBytes);
    status = adapter_->Prepare(capture, bufferBytes);
    if (!NT_SUCCESS(status)) {
        adapter_->ClearFormat(capture);
        adapter_->ReleaseDirections(capture, !capture);
        return status;
    }
    prepared_[capture ? 1 : 0] = true;
    SetRunning(capture, true);
    return STATUS_SUCCESS;
}

void WaveRtTestClient::Close(bool capture) {
    if (!prepared_[capture ? 1 : 0] || adapter_ == nullptr) return;
    SetRunning(capture, false);
    adapter_->Unprepare(capture);
    adapter_->ClearFormat(capture);
    adapter_->ReleaseDirections(capture, !capture);
    prepared_[capture ? 1 : 0] = false;
}

// ---------------------------------------------------------------- the engine's calls

STDMETHODIMP_(void) WaveRtTestClient::FillSilence(BOOLEAN Capture, PVOID Address, ULONG Length) {
    Locked guard(lock_);
    std::memset(Address, Side(Capture).bits == 8 ? 0x80 : 0x00, Length);
}

// The render region the engine just consumed gets the signal's next frames;
// the capture region it just wrote is collected.
STDMETHODIMP_(void) WaveRtTestClient::AdvancePosition(BOOLEAN Capture, ULONG Bytes) {
    Locked guard(lock_);
    Direction& side = Side(Capture);
    if (Bytes == 0 || side.buffer.empty()) return;
    const ULONG size = static_cast<ULONG>(side.buffer.size());
    const ULONG from = side.position;
    if (Capture) {
        Collect(from, Bytes);
    } else {
        if (refillRender) Refill(from, Bytes);
        renderConsumed_ += Bytes / side.FrameBytes();
    }
    const ULONG old = side.position;
    side.position = static_cast<ULONG>((static_cast<uint64_t>(side.position) + Bytes) % size);
    if (side.position < old) {
        side.wraps += 1;
    } else if (old < size / 2 && size / 2 <= side.position) {
        side.halves += 1;
    }
}

void WaveRtTestClient::Refill(ULONG from, ULONG bytes) {
    const ULONG size = static_cast<ULONG>(render_.buffer.size());
    while (bytes > 0) {
        const ULONG piece = bytes < size - from ? bytes : size - from;
        WriteSignal(render_.buffer.data() + from, piece);
        bytes -= piece;
        from = (from + piece) % size;
    }
}

void WaveRtTestClient::Collect(ULONG from, ULONG bytes) {
    const ULONG size = static_cast<ULONG>(capture_.buffer.size());
    while (bytes > 0) {
        const ULONG piece = bytes < size - from ? bytes : size - from;
        captured_.insert(captured_.end(), capture_.buffer.begin() + from, capture_.buffer.begin() + from + piece);
        bytes -= piece;
        from = (from + piece) % size;
    }
}

STDMETHODIMP_(BOOLEAN) WaveRtTestClient::TryEnterRunningStream(BOOLEAN Capture) {
    Locked guard(lock_);
    Direction& side = Side(Capture);
    if (!side.running) return FALSE;
    side.inside += 1;
    return TRUE;
}

STDMETHODIMP_(void) WaveRtTestClient::LeaveRunningStream(BOOLEAN Capture) {
    Locked guard(lock_);
    Side(Capture).inside -= 1;
}

STDMETHODIMP_(void) WaveRtTestClient::StopAllStreams() {
    Locked guard(lock_);
    render_.running = false;
    capture_.running = false;
}

// Spans for the next `Bytes` of the buffer, at most one buffer's worth.
STDMETHODIMP_(void) WaveRtTestClient::TransferData(BOOLEAN Capture, ULONG Bytes) {
    UCHAR* first = nullptr;
    ULONG firstBytes = 0;
    UCHAR* second = nullptr;
    ULONG secondBytes = 0;
    {
        Locked guard(lock_);
        Direction& side = Side(Capture);
        const ULONG size = static_cast<ULONG>(side.buffer.size());
        if (!side.running || size == 0) return;
        if (Bytes > size) Bytes = size;
        first = side.buffer.data() + side.offset;
        if (size - side.offset < Bytes) {
            firstBytes = size - side.offset;
            second = side.buffer.data();
            secondBytes = Bytes - firstBytes;
        } else {
            firstBytes = Bytes;
        }
        side.offset += Bytes;
        if (side.offset >= size) side.offset -= size;
    }
    auto queue = [&](UCHAR* at, ULONG bytes) {
        if (queueSpan) {
            queueSpan(Capture != FALSE, at, static_cast<LONG>(bytes));
        } else if (Capture) {
            adapter_->QueueCaptureSpan(at, static_cast<LONG>(bytes));
        } else {
            adapter_->QueueRenderSpan(at, static_cast<LONG>(bytes));
        }
    };
    queue(first, firstBytes);
    if (second != nullptr) queue(second, secondBytes);
}

STDMETHODIMP_(NTSTATUS) WaveRtTestClient::RemoveSubdevice(PDEVICE_OBJECT) { return STATUS_SUCCESS; }

STDMETHODIMP_(NTSTATUS) WaveRtTestClient::GetStreamPosition(BOOLEAN Capture, PKSAUDIO_POSITION Position) {
    Locked guard(lock_);
    Direction& side = Side(Capture);
    side.queries += 1;
    if (side.buffer.empty()) return STATUS_INVALID_PARAMETER;
    Position->PlayOffset = side.position;
    Position->WriteOffset = side.position;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(const PCFILTER_DESCRIPTOR*) WaveRtTestClient::GetFilterDescription() { return nullptr; }

// ---------------------------------------------------------------- test side

uint64_t WaveRtTestClient::RenderFramesConsumed() const {
    Locked guard(lock_);
    return renderConsumed_;
}

WaveRtTestClient::Counts WaveRtTestClient::Snapshot(bool capture) const {
    Locked guard(lock_);
    const Direction& side = Side(capture);
    return Counts{side.position, side.halves, side.wraps, side.queries, side.inside};
}

}  // namespace kmtest
