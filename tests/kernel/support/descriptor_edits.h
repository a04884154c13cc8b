// Hand edits of a simulated device's raw descriptors, for tests that build a
// faulty or hostile variant of a well-formed device: find a descriptor in a
// configuration set, cut it shorter, change a field, and plug in the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "simusb/audio_description.h"
#include "simusb/audio_device.h"
#include "simusb/audio_settings.h"
#include "simusb/descriptor_set.h"

namespace kerneltest {

inline constexpr size_t kNotFound = static_cast<size_t>(-1);

// The description of a ready-made device, to vary before building it;
// aborts the test run for an unknown name.
simusb::AudioDescription DescriptionOf(std::string_view readyMade);

// A device's descriptors and settings, editable before the device is made.
struct RawDevice {
    explicit RawDevice(const simusb::AudioDescription& description);

    std::vector<uint8_t>& Configuration() { return descriptors.configurations.at(0); }
    std::shared_ptr<simusb::AudioDevice> Make() const;

    simusb::DescriptorSet descriptors;
    simusb::AudioSettings settings;
};

// Offset of the first descriptor of `type` (and `subtype` at byte 2, and
// `id` at byte 3, unless -1) in a configuration set; kNotFound if none. The
// walk stops where a descriptor's bLength does not fit, as a host's would.
size_t FindDescriptor(const std::vector<uint8_t>& set, uint8_t type, int subtype = -1, int id = -1);
// Offset of the audio-control descriptor (type 0x24) of entity `id`.
size_t FindEntityDescriptor(const std::vector<uint8_t>& set, uint8_t id);
// Offset of the interface descriptor with that number and alternate setting.
size_t FindInterfaceDescriptor(const std::vector<uint8_t>& set, uint8_t number, uint8_t alternate);
// Offset of the first endpoint descriptor with that address.
size_t FindEndpointDescriptor(const std::vector<uint8_t>& set, uint8_t address);
// Offset of the last descriptor a walk reaches.
size_t LastDescriptor(const std::vector<uint8_t>& set);

// Removes `count` bytes from byte `from` on of the descriptor at `offset`
// and keeps the set consistent: its bLength, the configuration's
// wTotalLength and, for a descriptor inside the audio-control header's
// span, the header's.
void EraseFromDescriptor(std::vector<uint8_t>& set, size_t offset, size_t from, size_t count);
// Cuts the descriptor at `offset` to `length` bytes.
void ShrinkDescriptor(std::vector<uint8_t>& set, size_t offset, uint8_t length);
// Cuts the descriptor of entity `id` to `length` bytes; false if there is none.
bool ShrinkEntityDescriptor(std::vector<uint8_t>& set, uint8_t id, uint8_t length);
// Drops everything from `offset` on and sets wTotalLength to what is left.
void TruncateSet(std::vector<uint8_t>& set, size_t offset);

// Offset of the n-th (0-based) descriptor of `type` (and `subtype`, unless -1).
size_t FindNthDescriptor(const std::vector<uint8_t>& set, uint8_t type, int subtype, size_t nth);
// Every interface descriptor numbered `from` gets the number `to`.
void RenumberInterface(std::vector<uint8_t>& set, uint8_t from, uint8_t to);
// The device of a description whose first configuration set `edit` changed.
template <typename Edit>
std::shared_ptr<simusb::AudioDevice> MakeEditedDevice(const simusb::AudioDescription& description, Edit edit) {
    RawDevice raw(description);
    edit(raw.Configuration());
    return raw.Make();
}

uint16_t ReadLe16(const std::vector<uint8_t>& bytes, size_t offset);
void WriteLe16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);

}  // namespace kerneltest
