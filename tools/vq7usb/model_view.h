// What the class layer made of a device, gathered once so that the readable
// report and the JSON say the same things.
#pragma once

#include <ntdef.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "refusal.h"

class CUSBAudioCL;

namespace vq7usb {

struct EndpointView {
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t maxPacket = 0;  // wMaxPacketSize as the descriptor gives it
    uint8_t interval = 0;    // bInterval
};

struct AlternateView {
    uint32_t alternate = 0;
    uint32_t channels = 0;
    uint32_t subslotBytes = 0;  // class 1.0: bSubframeSize
    uint32_t bitResolution = 0;
    uint32_t formats = 0;       // class 2.0 bmFormats, class 1.0 wFormatTag
    bool hasGeneral = false;
    bool hasFormat = false;
    std::optional<EndpointView> dataEndpoint;
    std::optional<EndpointView> feedbackEndpoint;
    std::vector<uint32_t> rates;  // class 1.0: discrete rates, or the two bounds of a continuous range
    bool continuousRates = false;
};

struct StreamView {
    uint8_t interfaceNumber = 0;
    bool capture = false;
    std::optional<uint32_t> terminal;
    std::vector<AlternateView> alternates;  // settings 1 and up: setting 0 carries nothing
};

struct EntityView {
    uint32_t id = 0;
    std::string kind;  // "InputTerminal", "FeatureUnit", ...
    std::string name;  // "IT(1)"
    std::optional<uint16_t> terminalType;
    std::string terminalTypeName;
    std::optional<uint32_t> clock;
    std::optional<uint32_t> source;
    std::vector<uint32_t> inputs;  // clock selectors
    uint32_t channels = 0;         // feature units: control bitmaps, master included
    std::vector<std::string> controls;  // feature units: "mute", "volume", ... somewhere present
};

struct ModelView {
    NTSTATUS status = 0;
    std::optional<Refusal> refusal;  // where start stopped, when it failed
    uint16_t vendor = 0;
    uint16_t product = 0;
    bool highSpeed = false;
    int uac = 0;  // 2 or 1; 0 when no audio-control interface was found
    std::optional<uint8_t> controlInterface;
    std::vector<EntityView> entities;
    std::optional<uint8_t> render;
    std::optional<uint8_t> capture;
    bool sharedClock = false;
    bool renderFollowsCapture = false;
    std::vector<StreamView> streams;
};

ModelView DescribeModel(CUSBAudioCL& layer, NTSTATUS status);

std::string ModelJson(const ModelView& model);
std::string ModelText(const ModelView& model);

}  // namespace vq7usb
