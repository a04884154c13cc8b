#include "device_source.h"

#include <cstdio>
#include <filesystem>

#include "simusb/descriptor_file.h"
#include "simusb/ready_made_devices.h"

namespace vq7usb {

std::shared_ptr<simusb::AudioDevice> OpenDevice(const std::string& source) {
    std::error_code error;
    if (std::filesystem::is_regular_file(source, error)) {
        simusb::DescriptorFile file;
        try {
            file = simusb::ReadDescriptorFile(source);
        } catch (const std::exception& failure) {
            throw DeviceSourceError(failure.what());
        }
        for (const std::string& warning : file.warnings) {
            fprintf(stderr, "vq7usb: %s: warning: %s\n", source.c_str(), warning.c_str());
        }
        return std::shared_ptr<simusb::AudioDevice>(simusb::MakeDeviceFromFile(file));
    }
    if (const simusb::ReadyMadeDevice* device = simusb::FindReadyMadeDevice(source)) {
        return std::shared_ptr<simusb::AudioDevice>(device->Make());
    }
    if (std::filesystem::exists(source, error)) {
        throw DeviceSourceError(source + ": not a readable descriptor file");
    }
    throw DeviceSourceError("no ready-made device and no file named '" + source +
                            "' (vq7usb list names the ready-made devices)");
}

}  // namespace vq7usb
