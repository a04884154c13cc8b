// The bit-exact run of the real-stream world: a render stream whose client
// keeps the half the position has passed filled with the next frames of a
// known signal, a capture stream whose client collects the half the
// position has passed, and the device's records to compare them with.

#include "real_stream_world.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "mixer_doubles.h"
#include "simusb/capture_stream.h"
#include "simusb/render_stream.h"

namespace wavert_test {

namespace {

// A render sample at the stream's width: distinct per frame and channel
// within a long period, never zero.
int32_t RenderSample(uint64_t frame, ULONG channel, ULONG bits) {
    const int32_t value = static_cast<int32_t>(((frame % 100000) * 4 + channel + 1) * 37);
    const int32_t masked = value & ((1 << (bits - 2)) - 1);
    return masked != 0 ? masked : 1;
}

void PutSample(PUCHAR at, int32_t value, ULONG bits) {
    for (ULONG b = 0; b < bits / 8; ++b) at[b] = static_cast<UCHAR>(static_cast<uint32_t>(value) >> (8 * b));
}

simusb::AudioDevice& Audio(simusb::Device& device) { return static_cast<simusb::AudioDevice&>(device); }

}  // namespace

// The directions the filter offers streaming pins for, as the system sees them.
bool RealStreamTest::HasRender() { return miniport_->Description().render.count > 0; }

bool RealStreamTest::HasCapture() { return miniport_->Description().capture.count > 0; }

bool RealStreamTest::Intersect(bool capture, ULONG rate, ExtensibleFormat* format) {
    static_assert(sizeof(ExtensibleFormat) == 104, "KSDATAFORMAT_WAVEFORMATEXTENSIBLE");
    KSDATARANGE_AUDIO client = {};
    client.DataRange.FormatSize = sizeof client;
    client.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    client.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    client.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    client.MaximumChannels = 32;
    client.MinimumBitsPerSample = 8;
    client.MaximumBitsPerSample = 32;
    client.MinimumSampleFrequency = rate != 0 ? rate : 1;
    client.MaximumSampleFrequency = rate != 0 ? rate : 768000;
    const FilterDescriptionBlock& block = miniport_->Description();
    for (ULONG pin = 0; pin < block.descriptor.PinCount; ++pin) {
        const KSPIN_DESCRIPTOR& ks = vq7::FilterPins(block)[pin].pin.KsPinDescriptor;
        if (ks.Communication != KSPIN_COMMUNICATION_SINK || ks.DataFlow != (capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN)) {
            continue;
        }
        for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
            if (ks.DataRanges[i]->FormatSize != sizeof(KSDATARANGE_AUDIO)) continue;  // an attribute list
            ULONG length = 0;
            if (NT_SUCCESS(miniport_->DataRangeIntersection(pin, &client.DataRange, ks.DataRanges[i], sizeof *format,
                                                            format, &length))) {
                return true;
            }
        }
    }
    return false;
}

BitExactResult RealStreamTest::RunBitExact(LONGLONG ms, ULONG rate) {
    BitExactResult result;
    const bool rendering = HasRender();
    const bool capturing = HasCapture();
    ExtensibleFormat renderFormat = {};
    ExtensibleFormat captureFormat = {};
    if (rendering && !Intersect(false, rate, &renderFormat)) ADD_FAILURE() << "no render format at " << rate;
    if (capturing && !Intersect(true, rate, &captureFormat)) ADD_FAILURE() << "no capture format at " << rate;
    const ULONG renderChannels = renderFormat.wave.nChannels;
    const ULONG renderBits = renderFormat.wave.wBitsPerSample;
    const ULONG captureChannels = captureFormat.wave.nChannels;
    const ULONG captureBits = captureFormat.wave.wBitsPerSample;
    result.rate = rendering ? renderFormat.wave.nSamplesPerSec : captureFormat.wave.nSamplesPerSec;
    const ULONG streamRate = result.rate;
    const ULONG renderFrameBytes = renderChannels * renderBits / 8;
    const ULONG captureFrameBytes = captureChannels * captureBits / 8;

    // Every played frame after the first signal frame must be the signal's
    // next, until the stream pauses and silence follows. The device's
    // samples are the client's shifted to the device's width (known once
    // the stream has set the format, before it runs).
    bool ended = false;
    std::atomic<ULONG> renderShift{0};
    ULONG captureShift = 0;
    auto sample = [&](uint64_t k, ULONG c) {
        return static_cast<int32_t>(static_cast<uint32_t>(RenderSample(k, c, renderBits)) << renderShift.load());
    };
    world_.Bus().WithDevice(q7_.pdo, [&](simusb::Device& device) {
        if (capturing) {
            Audio(device).FirstCapture()->Sent().Clear();  // an earlier run's samples
            Audio(device).FirstCapture()->Sent().KeepSamples(true);
        }
        if (!rendering) return;
        simusb::FrameRecord& record = Audio(device).FirstRender()->Played();
        record.KeepSamples(false);
        record.SetChecker([&](uint64_t, std::span<const int32_t> frame) {
            if (std::all_of(frame.begin(), frame.end(), [](int32_t v) { return v == 0; })) {
                ended = result.played > 0;
                return;
            }
            if (result.played == 0) {
                for (uint64_t k = 0; k < 1u << 16; ++k) {
                    if (sample(k, 0) == frame[0] && (frame.size() < 2 || sample(k, 1) == frame[1])) {
                        result.firstFrame = k;
                        break;
                    }
                }
            }
            bool match = !ended;
            for (ULONG c = 0; c < renderChannels && c < frame.size(); ++c) {
                match = match && frame[c] == sample(result.firstFrame + result.played, c);
            }
            result.mismatches += match ? 0 : 1;
            ++result.played;
        });
    });

    ClientStream render;
    ClientStream capture;
    uint64_t written = 0;
    auto writeFrames = [&](ClientStream& client, ULONG offset, ULONG length) {
        for (ULONG at = offset; at + renderFrameBytes <= offset + length; at += renderFrameBytes, ++written) {
            for (ULONG c = 0; c < renderChannels; ++c) {
                PutSample(client.buffer + at + c * renderBits / 8, RenderSample(written, c, renderBits), renderBits);
            }
        }
    };
    std::vector<UCHAR> captured;
    if (rendering) {
        Open(false, renderFormat, streamRate / 100 * renderFrameBytes, render, [&](ClientStream& c) {
            renderShift = adapter_->StreamLayout().render.bitsPerSample - renderBits;
            writeFrames(c, 0, c.bytes);
        });
    }
    if (capturing) {
        Open(true, captureFormat, streamRate / 100 * captureFrameBytes, capture, [&](ClientStream&) {
            captureShift = adapter_->StreamLayout().capture.bitsPerSample - captureBits;
        });
    }
    if (testing::Test::HasFailure()) {
        for (ClientStream* client : {&render, &capture}) {
            if (client->stream != nullptr) client->stream->Release();
            if (client->mdl != nullptr) {
                portStream_->UnmapAllocatedPages(client->buffer, client->mdl);
                portStream_->FreePagesFromMdl(client->mdl);
            }
        }
        return result;
    }
    {
        std::unique_ptr<kmsim::Thread> renderClient;
        std::unique_ptr<kmsim::Thread> captureClient;
        if (rendering) {
            renderClient = std::make_unique<kmsim::Thread>("render client", [&] {
                Serve(render, [&](ULONG offset, ULONG length) { writeFrames(render, offset, length); });
            });
        }
        if (capturing) {
            captureClient = std::make_unique<kmsim::Thread>("capture client", [&] {
                Serve(capture, [&](ULONG offset, ULONG length) {
                    captured.insert(captured.end(), capture.buffer + offset, capture.buffer + offset + length);
                });
            });
        }
        kmtest::SleepMs(ms);
        // The engine stops reading before the clients stop writing.
        if (rendering) {
            EXPECT_EQ(render.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        }
        if (capturing) {
            EXPECT_EQ(capture.stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        }
        render.stop = true;
        capture.stop = true;
    }
    kmtest::SleepMs(100);  // what was mixed plays out
    world_.Bus().WithDevice(q7_.pdo, [&](simusb::Device& device) {
        if (rendering) Audio(device).FirstRender()->Played().SetChecker(nullptr);
    });
    if (rendering) Close(render);
    if (capturing) Close(capture);
    result.renderNotifications = render.notifications;
    result.captureNotifications = capture.notifications;
    if (!capturing) return result;

    std::vector<int32_t> sent;
    world_.Bus().WithDevice(q7_.pdo, [&](simusb::Device& device) { sent = Audio(device).FirstCapture()->Sent().Samples(); });
    const ULONG sampleBytes = captureBits / 8;
    result.captured = captured.size() / sampleBytes;
    EXPECT_EQ(captured.size() % captureFrameBytes, 0u);
    auto clientSample = [&](size_t i) { return kerneltest::SampleAt(captured.data() + i * sampleBytes, captureBits); };
    auto sentSample = [&](size_t i) { return sent[i] >> captureShift; };  // arithmetic, as the converter narrows
    // The device's signal may differ only in bits a narrower client drops:
    // the client's first frame is where a whole run of frames matches.
    const size_t probe = std::min<size_t>(result.captured, 64 * captureChannels);
    auto wrongFrom = [&](size_t first, size_t count) {
        size_t wrong = 0;
        for (size_t i = 0; i < count; ++i) wrong += sentSample(first + i) != clientSample(i);
        return wrong;
    };
    size_t first = 0;
    while (first + result.captured <= sent.size() && wrongFrom(first, probe) != 0) first += captureChannels;
    result.captureFound = result.captured > 0 && first + result.captured <= sent.size();
    if (result.captureFound) result.captureWrong = wrongFrom(first, result.captured);
    return result;
}

}  // namespace wavert_test
