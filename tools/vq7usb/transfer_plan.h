// What the engine will run when it opens each direction of a device at a
// rate: the format the class layer picks, the alternate setting and packet
// sizes that follow from it, and how the first render transfers are cut into
// packets.
#pragma once

#include <ntdef.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "refusal.h"
#include "simusb/audio_device.h"

namespace vq7usb {

struct PlanRequest {
    ULONG rate = 48000;
    USHORT tag = 1;       // 1 PCM, 3 IEEE float
    ULONG ms = 1;         // milliseconds per transfer
    ULONG transfers = 8;  // render transfers to lay out
};

struct DirectionPlan {
    NTSTATUS status = 0;
    bool paced = false;  // the form of SelectStreamingFormat the engine uses for this device
    ULONG alternate = 0;
    ULONG channels = 0;
    ULONG containerBits = 0;
    ULONG bytesPerFrame = 0;
    ULONG nominal = 0;
    ULONG minimum = 0;
    ULONG maximum = 0;
    bool minimumDiffers = false;
    ULONG serviceInterval = 0;
    ULONG maxBytesPerTransfer = 0;
    std::optional<ULONG> feedbackNominal;  // with a feedback endpoint
    // Capture: the per-transfer bounds the paced form gives.
    ULONG nominalPerTransfer = 0;
    LONG framesBelow = 0;
    LONG framesAbove = 0;
    // Render: the packet lengths of the first transfers, and how they are paced.
    std::vector<std::vector<ULONG>> transfers;
    std::string pacing;  // "schedule", "feedback" or "capture"
};

struct TransferPlan {
    PlanRequest request;
    NTSTATUS startStatus = 0;
    std::optional<Refusal> refusal;  // where start stopped, when it failed
    std::optional<DirectionPlan> render;
    std::optional<DirectionPlan> capture;
};

TransferPlan PlanTransfers(std::shared_ptr<simusb::AudioDevice> device, const PlanRequest& request);

std::string PlanJson(const TransferPlan& plan);
std::string PlanText(const TransferPlan& plan);

}  // namespace vq7usb
