// The entities, interfaces, endpoints and strings of the ready-made
// simulated devices that the class-layer tests address by number (see the
// diagrams in sim/usb/src/ready_made_*.cpp).
#pragma once

#include <ntddk.h>

namespace kerneltest::ids {

// "q7-0b31": clock 41; IT 1 (USB) -> FU 10 -> OT 2 (line out); IT 3 (line in) -> OT 4 (USB).
inline constexpr UCHAR kQ7Clock = 41;
inline constexpr UCHAR kQ7FromHost = 1;
inline constexpr UCHAR kQ7LineOut = 2;
inline constexpr UCHAR kQ7LineIn = 3;
inline constexpr UCHAR kQ7ToHost = 4;
inline constexpr UCHAR kQ7FeatureUnit = 10;
inline constexpr UCHAR kQ7CaptureInterface = 2;
inline constexpr UCHAR kQ7CaptureEndpoint = 0x82;
inline constexpr UCHAR kQ7ManufacturerString = 1;  // "VQ Audio"

// "uac2-async-dac": FU 6, master volume read-only, channel volumes programmable.
inline constexpr UCHAR kDacFeatureUnit = 6;

// "uac2-fixed-clock": clock 9, fixed at 48 kHz, no frequency control declared.
inline constexpr UCHAR kFixedClock = 9;

// "uac2-clock-selector": clocks 21 (44.1 kHz family) and 22 (48 kHz family) on selector 23.
inline constexpr UCHAR kSelector = 23;
inline constexpr UCHAR kSelectorClock44 = 21;
inline constexpr UCHAR kSelectorClock48 = 22;
inline constexpr UCHAR kSelectorMixer = 6;
inline constexpr UCHAR kSelectorExtension = 11;

// "uac1-duplex": FU 2, master mute, volume on channels 1 and 2.
inline constexpr UCHAR kUac1FeatureUnit = 2;

// GetFrequencyRange's widest limits.
inline constexpr ULONG kAnyRate = 0xFFFFFFFF;

}  // namespace kerneltest::ids
