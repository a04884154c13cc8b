#include "stream_test_support.h"

namespace streamtest {

simusb::desc::Format Pcm(uint8_t channels, uint8_t subslotBytes, uint8_t bitResolution) {
    return simusb::desc::Format{channels, subslotBytes, bitResolution, simusb::uac::kFormatPcm};
}

std::unique_ptr<kerneltest::ClassLayerWorld> WorldOf(const simusb::AudioDescription& description) {
    auto world = std::make_unique<kerneltest::ClassLayerWorld>(
        std::shared_ptr<simusb::AudioDevice>(simusb::MakeAudioDevice(description)));
    if (!NT_SUCCESS(world->StartAndConfigure())) {
        world->DestroyLayer();
    }
    return world;
}

Selection SelectExplicit(CUSBAudioCL& layer, UCHAR direction, USHORT tag, ULONG channels, ULONG bits, ULONG rate,
                         ULONG msPerTransfer) {
    Selection s;
    s.status = layer.SelectStreamingFormat(direction, tag, channels, bits, rate, msPerTransfer, &s.channels,
                                           &s.containerBits, &s.maxBytesPerTransfer);
    return s;
}

PacedSelection SelectPaced(CUSBAudioCL& layer, UCHAR direction, USHORT tag, ULONG channels, ULONG bits, ULONG rate,
                           ULONG msPerTransfer) {
    PacedSelection s;
    s.status =
        layer.SelectStreamingFormat(direction, tag, channels, bits, rate, msPerTransfer, &s.channels, &s.containerBits,
                                    &s.nominalBytesPerTransfer, &s.framesBelow, &s.framesAbove, &s.maxBytesPerTransfer);
    return s;
}

TransferReport::TransferReport() {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
}

VOID TransferReport::Callback(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG durationMs) {
    auto* report = static_cast<TransferReport*>(context);
    report->status = status;
    report->bytes = bytes;
    report->startFrame = startFrame;
    report->durationMs = durationMs;
    KeSetEvent(&report->done_, IO_NO_INCREMENT, FALSE);
}

void TransferReport::Wait() { KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr); }

bool WaitForStableClock(CUSBAudioCL& layer, UCHAR direction) {
    for (int ms = 0; ms < 100; ++ms) {
        if (layer.IsClockStable(direction)) {
            return true;
        }
        LARGE_INTEGER delay;
        delay.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    return layer.IsClockStable(direction);
}

void WithDevice(kerneltest::ClassLayerWorld& world, const std::function<void(simusb::AudioDevice&)>& fn) {
    world.Bus().WithDevice(world.Pdo(), [&](simusb::Device& device) { fn(static_cast<simusb::AudioDevice&>(device)); });
}

}  // namespace streamtest
