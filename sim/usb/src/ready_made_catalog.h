// The descriptions behind the ready-made devices (registered in ready_made_devices.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "simusb/audio_description.h"

namespace simusb::catalog {

// One member of the Q7 family (product IDs 0x0B31 to 0x0B34).
AudioDescription Q7(uint16_t productId, const std::string& model);

AudioDescription AsyncDac();
AudioDescription ImplicitFeedbackDuplex();
AudioDescription ClockSelectorDevice();
AudioDescription FixedClockDac();

AudioDescription Uac1Duplex();
AudioDescription Uac1AsyncDac();

AudioDescription FramedVendorClass();     // 0xF0E1/0x0B40
AudioDescription VendorClassExtraInterface();  // 0x0499/0x1504
AudioDescription DfuInterfaceDevice();    // 0x20B1/0x0002
AudioDescription HidInterfaceDevice();    // 0x054C/0x09D5
AudioDescription JitteryImplicitFeedback();  // 0x0944/0x020A

}  // namespace simusb::catalog
