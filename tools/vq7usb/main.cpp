// vq7usb: runs the driver's USB audio class layer on a device's descriptors,
// so that a device maker's engineers can check a device against the driver
// without the hardware.
//
//   vq7usb list                      the ready-made simulated devices
//   vq7usb export <name>             a ready-made device as a descriptor file
//   vq7usb inspect [--json] <device> the audio model the driver builds
//
// <device> is a descriptor file or a ready-made device's name. Exit status:
// 0 when the driver accepts the device, 1 when it refuses it (the report
// says how far it got), 2 for a device that cannot be had or bad arguments.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device_source.h"
#include "run_class_layer.h"
#include "simusb/descriptor_file.h"
#include "simusb/ready_made_devices.h"

namespace {

constexpr int kAccepted = 0;
constexpr int kRefused = 1;
constexpr int kUsageError = 2;

int Usage() {
    fprintf(stderr,
            "usage: vq7usb list\n"
            "       vq7usb export <ready-made device>\n"
            "       vq7usb inspect [--json] <descriptor file or ready-made device>\n");
    return kUsageError;
}

int List() {
    for (const simusb::ReadyMadeDevice& device : simusb::ReadyMadeDevices()) {
        printf("%.*s  %.*s\n", static_cast<int>(device.name.size()), device.name.data(),
               static_cast<int>(device.description.size()), device.description.data());
    }
    return kAccepted;
}

int Export(const std::string& name) {
    const simusb::ReadyMadeDevice* device = simusb::FindReadyMadeDevice(name);
    if (device == nullptr) {
        fprintf(stderr, "vq7usb: no ready-made device named '%s' (vq7usb list names them)\n", name.c_str());
        return kUsageError;
    }
    fputs(simusb::WriteDescriptorFile(*device->Make()).c_str(), stdout);
    return kAccepted;
}

int InspectDevice(const std::string& source, bool json) {
    std::shared_ptr<simusb::AudioDevice> device;
    try {
        device = vq7usb::OpenDevice(source);
    } catch (const vq7usb::DeviceSourceError& error) {
        fprintf(stderr, "vq7usb: %s\n", error.what());
        return kUsageError;
    }
    vq7usb::ModelView model = vq7usb::RunClassLayer(device);
    fputs(json ? (vq7usb::ModelJson(model) + "\n").c_str() : vq7usb::ModelText(model).c_str(), stdout);
    return NT_SUCCESS(model.status) ? kAccepted : kRefused;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return Usage();
    }
    const std::string& command = args[0];
    if (command == "list" && args.size() == 1) {
        return List();
    }
    if (command == "export" && args.size() == 2) {
        return Export(args[1]);
    }
    if (command == "inspect") {
        bool json = args.size() == 3 && args[1] == "--json";
        if (args.size() == 2 || json) {
            return InspectDevice(args.back(), json);
        }
    }
    return Usage();
}
