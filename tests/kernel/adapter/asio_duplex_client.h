// A duplex ASIO client as the user-mode driver will run one: it keeps one
// read pending per buffer slot and, as each read completes, checks the
// input period and writes one output period of a frame counter. What it
// saw is kept for the test to judge.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "asio_channel_client.h"
#include "kmsim/simulation.h"

namespace asiotest {

// A frame counter the device's render record can follow: frame k carries
// k + 1 above the low byte on every channel (a 24-bit path keeps it).
inline int32_t CounterSample(uint64_t frame) { return static_cast<int32_t>(static_cast<uint32_t>(frame + 1) << 8); }

struct DuplexFigures {
    uint64_t reads = 0;
    uint64_t framesIn = 0;
    uint64_t inputDiscontinuities = 0;  // a frame that does not continue the device's test signal
    uint64_t framesOut = 0;
    NTSTATUS failure = STATUS_SUCCESS;  // the first request that did not succeed
};

class DuplexClient {
public:
    DuplexClient(ChannelClient& channel, ULONG bufferFrames, ULONG inFrameBytes, ULONG outChannels, ULONG slots = 2)
        : channel_(channel), bufferFrames_(bufferFrames), inFrameBytes_(inFrameBytes), outChannels_(outChannels),
          slots_(slots) {
        for (ULONG i = 0; i < slots_; ++i) {
            buffers_.emplace_back(bufferFrames * inFrameBytes);
            overlapped_.push_back(std::make_unique<kmsim::Overlapped>());
        }
    }

    // Issues the first reads.
    void Begin() {
        for (ULONG i = 0; i < slots_; ++i) Issue(i);
    }

    // Serves periods until `until_ns` of simulated time or a failure.
    void RunUntil(int64_t until_ns) {
        while (kmsim::NowNs() < until_ns && NT_SUCCESS(figures.failure)) {
            ServeOne();
        }
    }

    // Waits for the oldest read, checks it, writes a period, reads again.
    void ServeOne() {
        const ULONG slot = next_;
        const NTSTATUS status = overlapped_[slot]->Wait();
        if (!NT_SUCCESS(status)) {
            figures.failure = status;
            return;
        }
        CheckInput(buffers_[slot].data(), static_cast<ULONG>(overlapped_[slot]->ioStatus.Information));
        figures.reads += 1;
        WritePeriod();
        Issue(slot);
        next_ = (next_ + 1) % slots_;
    }

    // Waits for every pending read to finish (cancelled at a stop).
    void Drain() {
        for (auto& o : overlapped_) o->Wait();
    }

    const kmsim::Overlapped& Pending(ULONG slot) const { return *overlapped_[slot]; }

    DuplexFigures figures;
    std::vector<int32_t> firstOutputOfEachPeriod;
    // What output frame k carries on every channel; the counter unless set.
    std::function<int32_t(uint64_t frame)> outputSample = CounterSample;
    // Sees each input frame as it arrives, with its index since the first.
    std::function<void(uint64_t frame, const UCHAR* data)> inputObserver;

private:
    void Issue(ULONG slot) {
        const NTSTATUS status = channel_.Process().Read(channel_.Handle(), buffers_[slot].data(),
                                                        static_cast<ULONG>(buffers_[slot].size()),
                                                        overlapped_[slot].get());
        if (status != STATUS_PENDING && !NT_SUCCESS(status)) figures.failure = status;
    }

    void CheckInput(const UCHAR* data, ULONG bytes) {
        for (ULONG offset = 0; offset + inFrameBytes_ <= bytes; offset += inFrameBytes_) {
            uint32_t value;
            std::memcpy(&value, data + offset, sizeof(value));
            if (inputObserver) inputObserver(figures.framesIn, data + offset);
            if (figures.framesIn == 1) {
                step_ = value - previous_;
            } else if (figures.framesIn > 1 && value - previous_ != step_) {
                figures.inputDiscontinuities += 1;
            }
            previous_ = value;
            figures.framesIn += 1;
        }
    }

    void WritePeriod() {
        out_.resize(static_cast<size_t>(bufferFrames_) * outChannels_);
        for (ULONG f = 0; f < bufferFrames_; ++f) {
            for (ULONG c = 0; c < outChannels_; ++c) out_[f * outChannels_ + c] = outputSample(written_ + f);
        }
        ULONG transferred = 0;
        const NTSTATUS status = channel_.Process().Write(channel_.Handle(), out_.data(),
                                                         static_cast<ULONG>(out_.size() * sizeof(int32_t)),
                                                         &transferred);
        if (!NT_SUCCESS(status)) {
            figures.failure = status;
            return;
        }
        written_ += bufferFrames_;
        figures.framesOut += bufferFrames_;
    }

    ChannelClient& channel_;
    ULONG bufferFrames_;
    ULONG inFrameBytes_;
    ULONG outChannels_;
    ULONG slots_;
    std::vector<std::vector<UCHAR>> buffers_;
    std::vector<std::unique_ptr<kmsim::Overlapped>> overlapped_;
    std::vector<int32_t> out_;
    ULONG next_ = 0;
    uint64_t written_ = 0;
    uint32_t previous_ = 0;
    uint32_t step_ = 0;
};

}  // namespace asiotest
