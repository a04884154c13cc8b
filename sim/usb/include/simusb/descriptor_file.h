// A device described by a text file, and the exporter that writes one, so
// that a real device's descriptors can be run through the driver.
//
//   # comment
//   speed high                      optional: full or high
//   device 12 01 00 02 ...          the 18 device descriptor bytes
//   config                          a whole configuration descriptor set
//     09 02 ...                     (bytes may continue on following lines
//     ...                            until the next keyword)
//   string 1 0409 Some Maker        string index, language ID, UTF-8 text
//   rates 41 44100 48000 96000      a clock's discrete rates
//   quirk clock-reads-without-control   a behaviour the descriptors do not say
//
// The format is documented in docs/descriptor-file.md.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "simusb/audio_device.h"
#include "simusb/audio_settings.h"
#include "simusb/descriptor_set.h"

namespace simusb {

// "line 7: 'zz' is not hex", or with the file: "dac.usb: line 7: 'zz' is not hex".
class DescriptorFileError : public std::runtime_error {
public:
    DescriptorFileError(size_t line, const std::string& detail, const std::string& file = "")
        : std::runtime_error((file.empty() ? "" : file + ": ") + "line " + std::to_string(line) + ": " + detail),
          line_(line),
          detail_(detail) {}
    size_t Line() const { return line_; }  // 1-based; one past the last line for what is missing at the end
    const std::string& Detail() const { return detail_; }

private:
    size_t line_;
    std::string detail_;
};

struct DescriptorFile {
    DescriptorSet descriptors;   // speed resolved: the speed line, else high when bcdUSB >= 0x0200
    std::vector<ClockSettings> clocks;  // from the rates lines
    QuirkBehaviour quirks;              // from the quirk lines
    // What loads but is likely a mistake: string indices the descriptors
    // name that no `string` line gives ("line 3: the device descriptor
    // names string 2 (iProduct), which no 'string' line gives").
    std::vector<std::string> warnings;
};

// Throws DescriptorFileError.
DescriptorFile ParseDescriptorFile(std::string_view text);
// Throws DescriptorFileError (its message then names the file too) or
// std::runtime_error if the file cannot be read.
DescriptorFile ReadDescriptorFile(const std::filesystem::path& path);

// A device answering from the file's bytes, the class requests from its
// clock, terminal and unit descriptors with the defaults of audio_settings.h
// (rates from the rates lines, else 44.1 to 192 kHz; validity true; volume
// -127 dB to 0 dB).
std::unique_ptr<AudioDevice> MakeDeviceFromFile(const DescriptorFile& file);

// The file text for a device: its speed, descriptors, strings, the rates
// of every clock source whose rates are discrete (or a range of at most 64
// steps), and the quirks a file can state.
std::string WriteDescriptorFile(const AudioDevice& device);

}  // namespace simusb
