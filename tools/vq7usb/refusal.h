// Why the driver refused a device: the step of its start that failed and
// the request or descriptor it failed on, read from the layer's state and
// from the control transfers the device received. A status alone sends an
// engineer looking in the wrong place.
#pragma once

#include <wdm.h>

#include <optional>
#include <string>

#include "json_writer.h"
#include "simusb/audio_device.h"

class CUSBAudioCL;

namespace vq7usb {

struct Refusal {
    std::string step;    // "reading the descriptors", "building the audio model", "selecting the configuration"
    std::string detail;  // "string descriptor 0 (language 0x0000) was not answered (stalled)"
    bool beforeModel = false;  // start stopped before the audio function was looked for
};

// Start and SelectConfiguration, as the adapter runs them at device start;
// on failure `refusal` says where it stopped.
NTSTATUS StartAsTheAdapter(CUSBAudioCL& layer, PDEVICE_OBJECT pdo, const simusb::AudioDevice& device,
                           std::optional<Refusal>* refusal);

// The refusal as the reports show it: {"step", "detail"} or null; a line
// "Refused while <step>: <detail>", or nothing.
void WriteRefusal(JsonWriter& json, const std::optional<Refusal>& refusal);
std::string RefusalText(const std::optional<Refusal>& refusal);

}  // namespace vq7usb
