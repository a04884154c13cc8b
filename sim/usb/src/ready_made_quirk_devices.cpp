// Devices with the vendor and product IDs the driver treats specially, each
// doing what that treatment exists for.

#include "ready_made_catalog.h"
#include "ready_made_parts.h"

namespace simusb::catalog {

namespace {

using namespace parts;

desc::Identity Identity(uint16_t vendor, uint16_t product, const char* name, const char* serial) {
    return desc::Identity{vendor, product, 0x0100, "VQ Test Devices", name, serial, {}};
}

}  // namespace

// Audio interfaces of class 0xFF; render packets carry a 4-byte length
// header; the device streams only with every interface configured.
AudioDescription FramedVendorClass() {
    AudioDescription d = StereoDuplex(Identity(0xF0E1, 0x0B40, "Framed Interface", "FV-0B40-0007"));
    d.interfaceClass = uac::kVendorClass;
    d.quirks.lengthHeaderFraming = true;
    d.quirks.streamsOnlyWithEveryInterface = true;
    return d;
}

// Audio interfaces of class 0xFF and a further vendor interface; the device
// streams only with every interface configured.
AudioDescription VendorClassExtraInterface() {
    AudioDescription d = StereoDuplex(Identity(0x0499, 0x1504, "Vendor Class Interface", "VC-1504-0311"));
    d.interfaceClass = uac::kVendorClass;
    d.extraInterfaces = {desc::ExtraInterface::Vendor};
    d.quirks.streamsOnlyWithEveryInterface = true;
    return d;
}

// Standard audio interfaces and a firmware-upgrade interface; streams only
// with every interface configured.
AudioDescription DfuInterfaceDevice() {
    AudioDescription d = StereoDuplex(Identity(0x20B1, 0x0002, "Interface With DFU", "DF-0002-0190"));
    d.extraInterfaces = {desc::ExtraInterface::Dfu};
    d.quirks.streamsOnlyWithEveryInterface = true;
    return d;
}

// Standard audio interfaces and a HID interface; streams only with every
// interface configured.
AudioDescription HidInterfaceDevice() {
    AudioDescription d = StereoDuplex(Identity(0x054C, 0x09D5, "Interface With HID", "HI-09D5-0055"));
    d.extraInterfaces = {desc::ExtraInterface::Hid};
    d.quirks.streamsOnlyWithEveryInterface = true;
    return d;
}

// Implicit-feedback duplex whose capture packets vary by up to two frames
// around the clock's count.
AudioDescription JitteryImplicitFeedback() {
    AudioDescription d = StereoDuplex(Identity(0x0944, 0x020A, "Jittery Implicit Duplex", "JI-020A-0001"));
    d.streams[0].feedbackEndpoint = 0;
    d.streams[1].implicitFeedback = true;
    d.quirks.capturePacketJitter_frames = 2;
    return d;
}

}  // namespace simusb::catalog
