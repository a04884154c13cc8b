#include "simusb/ready_made_devices.h"

#include <iterator>

#include "ready_made_catalog.h"

namespace simusb {

namespace {

using namespace catalog;

AudioDescription Q7B31() { return Q7(0x0B31, "Q7"); }
AudioDescription Q7B32() { return Q7(0x0B32, "Q7 Plus"); }
AudioDescription Q7B33() { return Q7(0x0B33, "Q7 Studio"); }
AudioDescription Q7B34() { return Q7(0x0B34, "Q7 Rack"); }

constexpr ReadyMadeDevice kDevices[] = {
    {"q7-0b31", "Q7: high-speed UAC 2.0 duplex, 4 in / 2 out, 32 to 768 kHz, native DSD mode", Q7B31},
    {"q7-0b32", "Q7 Plus: as the Q7, product ID 0x0B32", Q7B32},
    {"q7-0b33", "Q7 Studio: as the Q7, product ID 0x0B33", Q7B33},
    {"q7-0b34", "Q7 Rack: as the Q7, product ID 0x0B34", Q7B34},
    {"uac2-async-dac", "UAC 2.0 playback-only DAC, asynchronous with an explicit feedback endpoint", AsyncDac},
    {"uac2-implicit-duplex", "UAC 2.0 duplex paced by implicit feedback, one clock source per direction",
     ImplicitFeedbackDuplex},
    {"uac2-clock-selector", "UAC 2.0 playback through a clock selector over two clock sources, with every unit kind",
     ClockSelectorDevice},
    {"uac2-fixed-clock", "UAC 2.0 playback-only DAC on a fixed 48 kHz clock without a frequency control, "
     "which still answers its reads", FixedClockDac},
    {"uac1-duplex", "Full-speed UAC 1.0 16-bit stereo duplex at 44.1/48 kHz, adaptive render, synchronous capture",
     Uac1Duplex},
    {"uac1-async-dac", "Full-speed UAC 1.0 asynchronous DAC with a synch endpoint, 32 to 96 kHz continuous",
     Uac1AsyncDac},
    {"framed-vendor-class", "0xF0E1/0x0B40: class 0xFF audio interfaces, length-prefixed render packets",
     FramedVendorClass},
    {"vendor-class-extra-interface", "0x0499/0x1504: class 0xFF audio interfaces plus a vendor interface",
     VendorClassExtraInterface},
    {"uac2-with-dfu", "0x20B1/0x0002: UAC 2.0 duplex plus a DFU interface; streams only with every interface",
     DfuInterfaceDevice},
    {"uac2-with-hid", "0x054C/0x09D5: UAC 2.0 duplex plus a HID interface; streams only with every interface",
     HidInterfaceDevice},
    {"implicit-jitter", "0x0944/0x020A: implicit-feedback capture packets vary by up to two frames",
     JitteryImplicitFeedback},
};

constexpr bool NamesHaveNoSpaces() {
    for (const ReadyMadeDevice& device : kDevices) {
        if (device.name.empty() || device.name.find(' ') != std::string_view::npos) return false;
    }
    return true;
}
static_assert(NamesHaveNoSpaces(), "a device name is one word a command line can take");

constexpr bool NamesAreUnique() {
    for (size_t i = 0; i < std::size(kDevices); ++i) {
        for (size_t j = i + 1; j < std::size(kDevices); ++j) {
            if (kDevices[i].name == kDevices[j].name) return false;
        }
    }
    return true;
}
static_assert(NamesAreUnique(), "a name finds one device");

}  // namespace

std::span<const ReadyMadeDevice> ReadyMadeDevices() { return kDevices; }

const ReadyMadeDevice* FindReadyMadeDevice(std::string_view name) {
    for (const ReadyMadeDevice& device : kDevices) {
        if (device.name == name) return &device;
    }
    return nullptr;
}

}  // namespace simusb
