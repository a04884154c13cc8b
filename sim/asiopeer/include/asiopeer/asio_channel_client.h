// The user-mode side of the ASIO channel as a simulated peer: one client
// process holding a handle on a device's "\asio" path, sending the
// channel's requests as DeviceIoControl would and moving audio with
// overlapped reads (one pending per buffer slot) and writes. The user-mode
// driver's own client takes this module's place later; until then the demo
// and the tests stream through it.
#pragma once

#include <ntddk.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "asio_channel.h"
#include "kmsim/client.h"

namespace asiopeer {

class AsioChannelClient {
public:
    explicit AsioChannelClient(const char* processName = "asio-client");
    ~AsioChannelClient();
    AsioChannelClient(const AsioChannelClient&) = delete;
    AsioChannelClient& operator=(const AsioChannelClient&) = delete;

    // `devicePath` is the audio interface path cut before its reference string.
    [[nodiscard]] NTSTATUS Open(const std::string& devicePath);
    NTSTATUS Close();

    // Queries and settings, on any handle.
    [[nodiscard]] NTSTATUS GetRateRange(ULONG* minRate, ULONG* maxRate);
    [[nodiscard]] NTSTATUS GetSampleRate(ULONG* rate);
    [[nodiscard]] NTSTATUS SetSampleRate(ULONG rate);
    // `info` carries the tag and rate in, both directions' formats out.
    [[nodiscard]] NTSTATUS GetFormatInfo(ASIO_FORMAT_INFO* info);
    [[nodiscard]] NTSTATUS GetDsdSupport(bool* supported);
    // The device's name, UTF-16 as the driver gives it, as UTF-8.
    [[nodiscard]] NTSTATUS GetDeviceName(std::string* name);
    [[nodiscard]] NTSTATUS GetCaptureFramesPerTransfer(ULONG* frames);
    [[nodiscard]] NTSTATUS GetStreamError(ULONG* error);
    [[nodiscard]] NTSTATUS GetPosition(ULONG* frames);

    // The owner's protocol: OPEN, PREPARE, START, ARM_INPUT and back.
    [[nodiscard]] NTSTATUS Claim();
    [[nodiscard]] NTSTATUS Prepare(const ASIO_PREPARE_PARAMS& params);
    [[nodiscard]] NTSTATUS Start();
    [[nodiscard]] NTSTATUS ArmInput();
    NTSTATUS Stop();
    NTSTATUS Unprepare();
    NTSTATUS Release();

    // Input periods: `slots` reads of `periodBytes` each are kept pending;
    // they complete in the order issued.
    [[nodiscard]] NTSTATUS BeginReads(ULONG slots, ULONG periodBytes);
    // Waits for the oldest pending read; on success `period` holds what it
    // delivered until RequeueRead.
    [[nodiscard]] NTSTATUS WaitPeriod(std::span<const UCHAR>* period);
    // Issues the read of the slot WaitPeriod returned again.
    [[nodiscard]] NTSTATUS RequeueRead();
    // Waits for every pending read to finish (a stop cancels them).
    void DrainReads();
    // One output period, taken by the driver before the request returns.
    [[nodiscard]] NTSTATUS Write(std::span<const UCHAR> period);

private:
    struct Slot;
    NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                     ULONG* information = nullptr);
    NTSTATUS QueryUlong(ULONG code, ULONG* value);
    NTSTATUS Issue(Slot& slot);

    kmsim::Client process_;
    HANDLE handle_ = nullptr;
    std::vector<std::unique_ptr<Slot>> slots_;
    size_t next_ = 0;
};

// Parameters of a PREPARE for `bufferFrames` with both directions.
ASIO_PREPARE_PARAMS DuplexParams(ULONG bufferFrames, USHORT formatTag, bool dsd);

// Reads a client keeps pending so that every capture delivery finds one:
// a delivery of `transferFrames` completes that many frames' worth of
// buffers at once, so a buffer shorter than it needs as many slots as it
// fills, and one more; never fewer than two (double buffering).
ULONG ReadSlots(ULONG transferFrames, ULONG bufferFrames);

}  // namespace asiopeer
