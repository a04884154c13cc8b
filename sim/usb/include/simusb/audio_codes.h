// Codes of the USB Audio Device Class, versions 1.0 and 2.0: interface
// codes, class-specific descriptor subtypes, requests and control selectors.
#pragma once

#include <cstdint>

namespace simusb::uac {

// Interface codes.
inline constexpr uint8_t kAudioClass = 0x01;
inline constexpr uint8_t kVendorClass = 0xFF;
inline constexpr uint8_t kSubclassAudioControl = 0x01;
inline constexpr uint8_t kSubclassAudioStreaming = 0x02;
inline constexpr uint8_t kProtocolVersion2 = 0x20;
inline constexpr uint8_t kFunctionSubclassUndefined = 0x00;

inline constexpr uint16_t kBcdVersion1 = 0x0100;
inline constexpr uint16_t kBcdVersion2 = 0x0200;

// Audio control interface subtypes shared by both versions.
inline constexpr uint8_t kAcHeader = 0x01;
inline constexpr uint8_t kAcInputTerminal = 0x02;
inline constexpr uint8_t kAcOutputTerminal = 0x03;
inline constexpr uint8_t kAcMixerUnit = 0x04;
inline constexpr uint8_t kAcSelectorUnit = 0x05;
inline constexpr uint8_t kAcFeatureUnit = 0x06;
// Version 2.0 numbering.
inline constexpr uint8_t kAc2EffectUnit = 0x07;
inline constexpr uint8_t kAc2ProcessingUnit = 0x08;
inline constexpr uint8_t kAc2ExtensionUnit = 0x09;
inline constexpr uint8_t kAc2ClockSource = 0x0A;
inline constexpr uint8_t kAc2ClockSelector = 0x0B;
inline constexpr uint8_t kAc2ClockMultiplier = 0x0C;
inline constexpr uint8_t kAc2SampleRateConverter = 0x0D;
// Version 1.0 numbering.
inline constexpr uint8_t kAc1ProcessingUnit = 0x07;
inline constexpr uint8_t kAc1ExtensionUnit = 0x08;

// Audio streaming interface subtypes.
inline constexpr uint8_t kAsGeneral = 0x01;
inline constexpr uint8_t kAsFormatType = 0x02;
inline constexpr uint8_t kEpGeneral = 0x01;  // on a class-specific endpoint descriptor

inline constexpr uint8_t kFormatTypeI = 0x01;
// bmFormats bits of format type I (version 2.0).
inline constexpr uint32_t kFormatPcm = 1u << 0;
inline constexpr uint32_t kFormatPcm8 = 1u << 1;
inline constexpr uint32_t kFormatIeeeFloat = 1u << 2;
inline constexpr uint32_t kFormatRaw = 1u << 31;
// wFormatTag (version 1.0).
inline constexpr uint16_t kFormatTagPcm = 0x0001;
inline constexpr uint16_t kFormatTagIeeeFloat = 0x0003;

// Terminal types.
inline constexpr uint16_t kTerminalUsbStreaming = 0x0101;
inline constexpr uint16_t kTerminalMicrophone = 0x0201;
inline constexpr uint16_t kTerminalSpeaker = 0x0301;
inline constexpr uint16_t kTerminalHeadphones = 0x0302;
inline constexpr uint16_t kTerminalLineConnector = 0x0603;
inline constexpr uint16_t kTerminalSpdif = 0x0605;

// Version 2.0 request codes (bRequest) and request types.
inline constexpr uint8_t kCur = 0x01;
inline constexpr uint8_t kRange = 0x02;
inline constexpr uint8_t kGetInterfaceRequest = 0xA1;  // class, interface recipient, device to host
inline constexpr uint8_t kSetInterfaceRequest = 0x21;
inline constexpr uint8_t kGetEndpointRequest = 0xA2;
inline constexpr uint8_t kSetEndpointRequest = 0x22;

// Version 1.0 request codes.
inline constexpr uint8_t kSetCur1 = 0x01;
inline constexpr uint8_t kGetCur1 = 0x81;
inline constexpr uint8_t kGetMin1 = 0x82;
inline constexpr uint8_t kGetMax1 = 0x83;
inline constexpr uint8_t kGetRes1 = 0x84;

// Control selectors.
inline constexpr uint8_t kClockFrequencyControl = 0x01;
inline constexpr uint8_t kClockValidityControl = 0x02;
inline constexpr uint8_t kClockSelectorControl = 0x01;
inline constexpr uint8_t kMuteControl = 0x01;
inline constexpr uint8_t kVolumeControl = 0x02;
inline constexpr uint8_t kConnectorControl = 0x02;
inline constexpr uint8_t kEndpointSamplingFrequencyControl = 0x01;  // version 1.0, on the endpoint

// Version 1.0 EP_GENERAL bmAttributes.
inline constexpr uint8_t kEpSamplingFrequencyControl = 0x01;

// The vendor request that switches a streaming interface between PCM and
// native DSD: bmRequestType 0x41, bRequest 0, wValue the mode, wIndex the
// interface number, no data stage.
inline constexpr uint8_t kVendorModeRequestType = 0x41;
inline constexpr uint8_t kVendorModeRequest = 0x00;

}  // namespace simusb::uac
