// A client that behaves towards the streaming engine as a WaveRT stream
// does: an IMiniportEngineSink registered with the adapter in place of the
// real miniport, one cyclic buffer per direction, spans of it queued for
// the engine on TransferData (wrapping at the end), silence written on
// FillSilence, and a position that AdvancePosition moves, with half-buffer
// and wrap notifications counted.
//
// Test side: the render buffer is kept full of a known signal ahead of the
// position (every region the engine consumed is refilled with the next
// frames), and every captured byte the engine advances over is collected,
// so that a test can check what reached the device and what reached the
// client, frame by frame.
#pragma once

#include <ntddk.h>
#include <portcls.h>
#include <stdunk.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "adapter/usb_audio_adapter.h"
#include "wavert/miniport_engine_sink.h"

namespace kmtest {

class WaveRtTestClient : public IMiniportEngineSink, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    explicit WaveRtTestClient(PUNKNOWN outer = nullptr);
    ~WaveRtTestClient() override;

    // Makes one with a reference: Release() it when done.
    static WaveRtTestClient* Create();

    // ---- IMiniportEngineSink
    STDMETHODIMP_(void) FillSilence(BOOLEAN Capture, PVOID Address, ULONG Length) override;
    STDMETHODIMP_(void) AdvancePosition(BOOLEAN Capture, ULONG Bytes) override;
    STDMETHODIMP_(BOOLEAN) TryEnterRunningStream(BOOLEAN Capture) override;
    STDMETHODIMP_(void) LeaveRunningStream(BOOLEAN Capture) override;
    STDMETHODIMP_(void) StopAllStreams() override;
    STDMETHODIMP_(void) TransferData(BOOLEAN Capture, ULONG Bytes) override;
    STDMETHODIMP_(NTSTATUS) RemoveSubdevice(PDEVICE_OBJECT DeviceObject) override;
    STDMETHODIMP_(NTSTATUS) GetStreamPosition(BOOLEAN Capture, PKSAUDIO_POSITION Position) override;
    STDMETHODIMP_(const PCFILTER_DESCRIPTOR*) GetFilterDescription() override;

    // Registers with the adapter (replacing the miniport's registration).
    // Like the adapter's hold on a miniport, the client's hold on the
    // adapter is not counted: Unregister before the adapter goes, or say
    // it went (AdapterGone) when the device was removed under the client.
    NTSTATUS Register(IUsbAudioAdapter* adapter);
    void Unregister();
    void AdapterGone() { adapter_ = nullptr; }

    // Where TransferData's spans go; unset: the registered adapter's
    // QueueRenderSpan and QueueCaptureSpan.
    std::function<void(bool capture, PVOID address, LONG length)> queueSpan;

    // Whether the render region the engine consumed gets the next frames
    // of the signal (otherwise it keeps what the engine left there).
    bool refillRender = true;

    // The sample of `channel` in `frame` of the render signal, as an
    // integer of the stream's width. Replaceable before SetUpRender.
    std::function<int32_t(uint64_t frame, ULONG channel)> signal;

    // A cyclic buffer of `bufferBytes` for the direction and its format;
    // render starts filled with the signal's first frames.
    void SetUp(bool capture, ULONG bitsPerSample, ULONG channels, ULONG bufferBytes);
    // The direction's stream runs: the engine may enter it.
    void SetRunning(bool capture, bool running);

    // The stream as the WaveRT stream would drive the adapter: reserve,
    // set the format, prepare with the buffer, run. A failing step returns
    // its status and undoes the earlier ones.
    NTSTATUS Open(bool capture, ULONG bitsPerSample, ULONG channels, ULONG rate, ULONG bufferBytes);
    void Close(bool capture);

    // What the engine did to one direction's stream.
    struct Counts {
        ULONG position;  // byte offset in the buffer
        ULONG halves;    // half-buffer notifications
        ULONG wraps;     // wrap notifications
        ULONG queries;   // GetStreamPosition calls
        LONG inside;     // engine calls between TryEnter and Leave now
    };
    Counts Snapshot(bool capture) const;
    uint64_t RenderFramesConsumed() const;
    const std::vector<UCHAR>& Captured() const { return captured_; }
    const std::vector<UCHAR>& Buffer(bool capture) const { return Side(capture).buffer; }

private:
    struct Direction {
        std::vector<UCHAR> buffer;
        ULONG bits = 16;
        ULONG channels = 2;
        ULONG offset = 0;    // where the next TransferData starts
        ULONG position = 0;  // advanced by AdvancePosition
        bool running = false;
        LONG inside = 0;     // engine calls between TryEnter and Leave
        ULONG halves = 0;
        ULONG wraps = 0;
        ULONG queries = 0;
        ULONG FrameBytes() const { return channels * bits / 8; }
    };
    Direction& Side(bool capture) { return capture ? capture_ : render_; }
    const Direction& Side(bool capture) const { return capture ? capture_ : render_; }
    void WriteSignal(UCHAR* at, ULONG bytes);
    void Refill(ULONG from, ULONG bytes);
    void Collect(ULONG from, ULONG bytes);

    mutable KSPIN_LOCK lock_;
    IUsbAudioAdapter* adapter_ = nullptr;  // not counted
    bool prepared_[2] = {};
    Direction render_;
    Direction capture_;
    uint64_t signalFrame_ = 0;  // the next render frame the signal writes
    uint64_t renderConsumed_ = 0;
    std::vector<UCHAR> captured_;
};

}  // namespace kmtest
