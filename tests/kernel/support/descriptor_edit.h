// Edits of a simulated device's configuration descriptor set, for tests that
// need a device the description cannot express: a gap in the interface
// numbers, an odd endpoint, a short descriptor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "simusb/audio_description.h"
#include "simusb/audio_device.h"

namespace kerneltest {

using ConfigurationBytes = std::vector<uint8_t>;

// Offsets of descriptors in a configuration set (npos when absent).
constexpr size_t kNotFound = static_cast<size_t>(-1);
size_t FindInterface(const ConfigurationBytes& set, uint8_t number, uint8_t alternate);
size_t FindEndpoint(const ConfigurationBytes& set, uint8_t address);
// The n-th (0-based) descriptor of `type` (and `subtype` when not -1).
size_t FindDescriptor(const ConfigurationBytes& set, uint8_t type, int subtype = -1, size_t nth = 0);

// wTotalLength again equal to the set's size.
void FixTotalLength(ConfigurationBytes& set);
// Removes `count` bytes at `offset` and fixes wTotalLength.
void EraseBytes(ConfigurationBytes& set, size_t offset, size_t count);
// Every interface descriptor of `from` becomes `to`.
void RenumberInterface(ConfigurationBytes& set, uint8_t from, uint8_t to);

// The device of a description, with its first configuration edited.
std::shared_ptr<simusb::AudioDevice> MakeEditedDevice(const simusb::AudioDescription& description,
                                                      const std::function<void(ConfigurationBytes&)>& edit);

}  // namespace kerneltest
