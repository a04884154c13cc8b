// vq7usb: runs the driver's USB audio class layer on a device's descriptors,
// so that a device maker's engineers can check a device against the driver
// without the hardware.
//
//   vq7usb list                      the ready-made simulated devices
//   vq7usb export <name>             a ready-made device as a descriptor file
//   vq7usb inspect [--json] <device> the audio model the driver builds
//   vq7usb plan <device> --rate <Hz> [--tag 1|3] [--ms <ms>] [--json]
//                                    what the engine runs when it opens each
//                                    direction at that rate
//   vq7usb filter <device> [--rate <Hz>] [--json]
//                                    the WaveRT filter the driver builds:
//                                    pins, data ranges, nodes, connections
//
// Options may stand anywhere after the command.
// <device> is a descriptor file or a ready-made device's name. Exit status:
// 0 when the driver accepts the device, 1 when it refuses it (the report
// says how far it got; for plan, when a direction refuses the rate), 2 for a device that cannot be had or bad arguments.

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "device_source.h"
#include "filter_view.h"
#include "run_class_layer.h"
#include "transfer_plan.h"
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
            "       vq7usb inspect [--json] <descriptor file or ready-made device>\n"
            "       vq7usb plan <descriptor file or ready-made device> --rate <Hz> [--tag 1|3] [--ms <ms>] [--json]\n"
            "       vq7usb filter <descriptor file or ready-made device> [--rate <Hz>] [--json]\n");
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

std::shared_ptr<simusb::AudioDevice> Open(const std::string& source) {
    try {
        return vq7usb::OpenDevice(source);
    } catch (const vq7usb::DeviceSourceError& error) {
        fprintf(stderr, "vq7usb: %s\n", error.what());
        return nullptr;
    }
}

int InspectDevice(const std::string& source, bool json) {
    std::shared_ptr<simusb::AudioDevice> device = Open(source);
    if (device == nullptr) {
        return kUsageError;
    }
    vq7usb::ModelView model = vq7usb::RunClassLayer(device);
    fputs(json ? (vq7usb::ModelJson(model) + "\n").c_str() : vq7usb::ModelText(model).c_str(), stdout);
    return NT_SUCCESS(model.status) ? kAccepted : kRefused;
}

// A whole decimal number in [minimum, maximum], or nothing.
bool ParseNumber(const std::string& text, unsigned long minimum, unsigned long maximum, ULONG* value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long number = std::stoul(text);
    if (number < minimum || number > maximum) {
        return false;
    }
    *value = static_cast<ULONG>(number);
    return true;
}

bool DirectionRefused(const std::optional<vq7usb::DirectionPlan>& direction) {
    return direction && !NT_SUCCESS(direction->status);
}

// A command line after the command word: the options, wherever they stand,
// and the other words in order. Options that take a value take the next word.
struct Arguments {
    std::vector<std::string> words;
    bool json = false;
    std::optional<std::string> rate, tag, ms;
};

std::optional<Arguments> ParseArguments(const std::vector<std::string>& args) {
    Arguments parsed;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::optional<std::string>* value = arg == "--rate" ? &parsed.rate
                                            : arg == "--tag" ? &parsed.tag
                                            : arg == "--ms"  ? &parsed.ms
                                                             : nullptr;
        if (value != nullptr) {
            if (i + 1 == args.size() || value->has_value()) return std::nullopt;
            *value = args[++i];
        } else if (arg == "--json" && !parsed.json) {
            parsed.json = true;
        } else if (arg.rfind("--", 0) == 0) {
            return std::nullopt;
        } else {
            parsed.words.push_back(arg);
        }
    }
    return parsed;
}

bool OnlyJson(const Arguments& arguments) { return !arguments.rate && !arguments.tag && !arguments.ms; }

int Plan(const Arguments& arguments) {
    vq7usb::PlanRequest request;
    if (arguments.words.size() != 1 || !arguments.rate || !ParseNumber(*arguments.rate, 1, 0xFFFFFF, &request.rate)) {
        return Usage();
    }
    if (arguments.tag) {
        ULONG tag = 0;
        if (!ParseNumber(*arguments.tag, 1, 3, &tag) || tag == 2) return Usage();
        request.tag = static_cast<USHORT>(tag);
    }
    if (arguments.ms && !ParseNumber(*arguments.ms, 1, 64, &request.ms)) {
        return Usage();
    }
    std::shared_ptr<simusb::AudioDevice> device = Open(arguments.words[0]);
    if (device == nullptr) {
        return kUsageError;
    }
    vq7usb::TransferPlan plan = vq7usb::PlanTransfers(device, request);
    fputs(arguments.json ? (vq7usb::PlanJson(plan) + "\n").c_str() : vq7usb::PlanText(plan).c_str(), stdout);
    bool refused = !NT_SUCCESS(plan.startStatus) || DirectionRefused(plan.render) || DirectionRefused(plan.capture);
    return refused ? kRefused : kAccepted;
}

int Filter(const Arguments& arguments) {
    std::optional<uint32_t> rate;
    if (arguments.words.size() != 1 || arguments.tag || arguments.ms) {
        return Usage();
    }
    if (arguments.rate) {
        ULONG value = 0;
        if (!ParseNumber(*arguments.rate, 1, 0xFFFFFF, &value)) return Usage();
        rate = value;
    }
    std::shared_ptr<simusb::AudioDevice> device = Open(arguments.words[0]);
    if (device == nullptr) {
        return kUsageError;
    }
    vq7usb::FilterView filter = vq7usb::BuildFilterView(device, rate);
    fputs(arguments.json ? (vq7usb::FilterJson(filter) + "\n").c_str() : vq7usb::FilterText(filter).c_str(), stdout);
    return NT_SUCCESS(filter.status) ? kAccepted : kRefused;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return Usage();
    }
    const std::string& command = args[0];
    std::optional<Arguments> arguments = ParseArguments(args);
    if (!arguments) {
        return Usage();
    }
    const std::vector<std::string>& words = arguments->words;
    bool plain = !arguments->json && OnlyJson(*arguments);
    if (command == "list" && words.empty() && plain) {
        return List();
    }
    if (command == "export" && words.size() == 1 && plain) {
        return Export(words[0]);
    }
    if (command == "inspect" && words.size() == 1 && OnlyJson(*arguments)) {
        return InspectDevice(words[0], arguments->json);
    }
    if (command == "plan") {
        return Plan(*arguments);
    }
    if (command == "filter") {
        return Filter(*arguments);
    }
    return Usage();
}
