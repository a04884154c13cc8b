// Helpers for the tests of format selection and the isochronous transport:
// worlds built from a (changed) description, the two forms of a format
// selection in one call each, and the report of one asynchronous transfer.
#pragma once

#include <memory>

#include "class_layer_world.h"
#include "descriptor_edits.h"
#include "simusb/ready_made_devices.h"

namespace streamtest {

constexpr UCHAR kRender = 0;
constexpr UCHAR kCapture = 1;
constexpr USHORT kPcm = 1;

simusb::desc::Format Pcm(uint8_t channels, uint8_t subslotBytes, uint8_t bitResolution);
// A world whose device follows the description, started and configured
// (check Started()).
std::unique_ptr<kerneltest::ClassLayerWorld> WorldOf(const simusb::AudioDescription& description);

struct Selection {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG channels = 0;
    ULONG containerBits = 0;
    ULONG maxBytesPerTransfer = 0;
};
Selection SelectExplicit(CUSBAudioCL& layer, UCHAR direction, USHORT tag, ULONG channels, ULONG bits, ULONG rate,
                         ULONG msPerTransfer = 1);

struct PacedSelection : Selection {
    ULONG nominalBytesPerTransfer = 0;
    LONG framesBelow = 0;
    LONG framesAbove = 0;
};
PacedSelection SelectPaced(CUSBAudioCL& layer, UCHAR direction, USHORT tag, ULONG channels, ULONG bits, ULONG rate,
                           ULONG msPerTransfer = 1);

// What the callback of one asynchronous transfer reported.
class TransferReport {
public:
    TransferReport();
    static VOID Callback(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG durationMs);
    // Waits (in virtual time) for the callback.
    void Wait();

    NTSTATUS status = STATUS_PENDING;
    ULONG bytes = 0;  // for feedback: the average value
    ULONG startFrame = 0;
    ULONG durationMs = 0;

private:
    KEVENT done_;
};

// Polls the direction's clock every millisecond, as the engine does before
// it streams, for at most 100 ms; whether it became stable.
bool WaitForStableClock(CUSBAudioCL& layer, UCHAR direction);

// Runs fn with the world's device while the host controller leaves it alone.
void WithDevice(kerneltest::ClassLayerWorld& world, const std::function<void(simusb::AudioDevice&)>& fn);

}  // namespace streamtest
