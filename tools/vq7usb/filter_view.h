// The WaveRT filter a device gets, as the driver builds it at start: its
// pins with their data ranges, its nodes and its connections, read out of
// the description the class layer fills, so that a device maker sees what
// the operating system's audio engine will see.
#pragma once

#include <ntdef.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "refusal.h"
#include "simusb/audio_device.h"

namespace vq7usb {

struct DataRangeView {
    std::string subFormat;  // "PCM", "IEEE_FLOAT", "ALAW", "MULAW", "ANALOG" or "NONE"
    bool audio = false;     // a KSDATARANGE_AUDIO; the bridge range has no numbers
    uint32_t maxChannels = 0, minBits = 0, maxBits = 0, minRate = 0, maxRate = 0;
    uint32_t flags = 0;
};

struct PinView {
    uint32_t pin = 0;
    std::optional<uint32_t> terminal;  // entity id
    uint16_t terminalType = 0;
    bool dataFlowIn = false;
    bool sink = false;                 // else a bridge
    std::optional<std::string> category;  // "{6994AD04-93EF-11D0-A3CC-00A0C9223196}"
    std::vector<DataRangeView> dataRanges;
    bool attributeList = false;        // the attribute-list entry follows the ranges
};

struct NodeView {
    uint32_t node = 0;
    std::string type;  // "ADC", "MUTE", ...
    std::optional<uint32_t> entity;
};

struct ConnectionView {
    uint32_t fromNode = 0, fromPin = 0, toNode = 0, toPin = 0;  // PCFILTER_NODE for a pin end
};

struct FilterView {
    std::optional<uint32_t> rate;  // the forced rate it was built with
    std::optional<NTSTATUS> rateStatus;  // setting the device's clock to it
    NTSTATUS status = 0;           // start, then the build
    std::optional<Refusal> refusal;
    std::vector<PinView> pins;
    std::vector<NodeView> nodes;
    std::vector<ConnectionView> connections;
};

// Starts the class layer on the device as the adapter does, forces `rate`
// when given (as after a rate change) and builds the filter description.
FilterView BuildFilterView(std::shared_ptr<simusb::AudioDevice> device, std::optional<uint32_t> rate);

std::string FilterJson(const FilterView& filter);
std::string FilterText(const FilterView& filter);

}  // namespace vq7usb
