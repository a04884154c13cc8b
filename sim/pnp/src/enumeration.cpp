// Enumeration: the device and configuration descriptors tell which
// interface starts the audio function; its instance path is made as the
// composite driver makes the paths of its functions,
// "USB\VID_xxxx&PID_xxxx&MI_nn\<parent id>&0&<port>".

#include <cstdio>
#include <vector>

#include "pnp_state.h"

namespace simpnp {

namespace {

constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kDeviceDescriptor = 1;
constexpr uint8_t kConfigurationDescriptor = 2;
constexpr uint8_t kInterfaceDescriptor = 4;
constexpr uint8_t kInterfaceAssociation = 11;
constexpr uint8_t kAudioClass = 1;

std::vector<uint8_t> Descriptor(simusb::Device& device, uint8_t type, uint16_t length) {
    simusb::Setup setup{0x80, kGetDescriptor, static_cast<uint16_t>(type << 8), 0, length};
    simusb::ControlReply reply = device.control(setup, {}, kmsim::NowNs());
    if (reply.stall) {
        return {};
    }
    if (reply.data.size() > length) {
        reply.data.resize(length);
    }
    return reply.data;
}

// The first interface of the audio function: the first interface of an
// association of audio class, else the first audio interface.
int FirstAudioInterface(const std::vector<uint8_t>& configuration) {
    int first = -1;
    for (size_t at = 0; at + 2 <= configuration.size() && configuration[at] >= 2; at += configuration[at]) {
        const uint8_t* d = &configuration[at];
        if (d[1] == kInterfaceAssociation && d[0] >= 8 && at + 8 <= configuration.size() && d[4] == kAudioClass) {
            return d[2];
        }
        if (d[1] == kInterfaceDescriptor && d[0] >= 9 && at + 9 <= configuration.size() && d[5] == kAudioClass &&
            first < 0) {
            first = d[2];
        }
    }
    return first;
}

}  // namespace

std::string AudioFunctionInstancePath(simusbhost::Bus& bus, PDEVICE_OBJECT pdo, ULONG ordinal) {
    std::vector<uint8_t> device;
    std::vector<uint8_t> configuration;
    bus.WithDevice(pdo, [&](simusb::Device& usb) {
        device = Descriptor(usb, kDeviceDescriptor, 18);
        std::vector<uint8_t> head = Descriptor(usb, kConfigurationDescriptor, 9);
        if (head.size() >= 4) {
            configuration = Descriptor(usb, kConfigurationDescriptor, static_cast<uint16_t>(head[2] | head[3] << 8));
        }
    });
    unsigned vendor = device.size() >= 12 ? static_cast<unsigned>(device[8] | device[9] << 8) : 0;
    unsigned product = device.size() >= 12 ? static_cast<unsigned>(device[10] | device[11] << 8) : 0;
    int function = FirstAudioInterface(configuration);
    char path[96];
    snprintf(path, sizeof path, "USB\\VID_%04X&PID_%04X&MI_%02X\\7&%08x&0&%04u", vendor, product,
             function < 0 ? 0 : function, 0x2c4e1a00u + ordinal, static_cast<unsigned>(ordinal % 10000));
    return path;
}

}  // namespace simpnp
