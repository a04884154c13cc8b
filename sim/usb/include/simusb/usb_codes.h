// Codes of the USB 2.0 device framework: standard requests, descriptor
// types, features and endpoint attribute fields.
#pragma once

#include <cstdint>

namespace simusb::usb {

// bRequest of the standard requests.
inline constexpr uint8_t kGetStatus = 0x00;
inline constexpr uint8_t kClearFeature = 0x01;
inline constexpr uint8_t kSetFeature = 0x03;
inline constexpr uint8_t kSetAddress = 0x05;
inline constexpr uint8_t kGetDescriptor = 0x06;
inline constexpr uint8_t kSetDescriptor = 0x07;
inline constexpr uint8_t kGetConfiguration = 0x08;
inline constexpr uint8_t kSetConfiguration = 0x09;
inline constexpr uint8_t kGetInterface = 0x0A;
inline constexpr uint8_t kSetInterface = 0x0B;
inline constexpr uint8_t kSynchFrame = 0x0C;

// bmRequestType fields.
inline constexpr uint8_t kDirectionIn = 0x80;
inline constexpr uint8_t kTypeStandard = 0x00;
inline constexpr uint8_t kTypeClass = 0x20;
inline constexpr uint8_t kTypeVendor = 0x40;
inline constexpr uint8_t kRecipientDevice = 0x00;
inline constexpr uint8_t kRecipientInterface = 0x01;
inline constexpr uint8_t kRecipientEndpoint = 0x02;

// bDescriptorType.
inline constexpr uint8_t kDeviceDescriptor = 0x01;
inline constexpr uint8_t kConfigurationDescriptor = 0x02;
inline constexpr uint8_t kStringDescriptor = 0x03;
inline constexpr uint8_t kInterfaceDescriptor = 0x04;
inline constexpr uint8_t kEndpointDescriptor = 0x05;
inline constexpr uint8_t kDeviceQualifierDescriptor = 0x06;
inline constexpr uint8_t kInterfaceAssociationDescriptor = 0x0B;
inline constexpr uint8_t kHidDescriptor = 0x21;
inline constexpr uint8_t kDfuFunctionalDescriptor = 0x21;
inline constexpr uint8_t kCsInterface = 0x24;
inline constexpr uint8_t kCsEndpoint = 0x25;

// Fixed descriptor sizes.
inline constexpr uint8_t kDeviceDescriptorLength = 18;
inline constexpr uint8_t kConfigurationDescriptorLength = 9;
inline constexpr uint8_t kInterfaceDescriptorLength = 9;
inline constexpr uint8_t kEndpointDescriptorLength = 7;
inline constexpr uint8_t kAudioEndpointDescriptorLength = 9;  // with bRefresh and bSynchAddress
inline constexpr uint8_t kInterfaceAssociationLength = 8;
inline constexpr uint8_t kDeviceQualifierLength = 10;

// Feature selectors.
inline constexpr uint16_t kEndpointHalt = 0;
inline constexpr uint16_t kDeviceRemoteWakeup = 1;

// Configuration bmAttributes.
inline constexpr uint8_t kConfigSelfPowered = 0x40;
inline constexpr uint8_t kConfigRemoteWakeup = 0x20;

// Endpoint bmAttributes: transfer type in bits 1..0, synchronisation type in
// bits 3..2, usage in bits 5..4.
inline constexpr uint8_t kTransferMask = 0x03;
inline constexpr uint8_t kTransferIsochronous = 0x01;
inline constexpr uint8_t kTransferBulk = 0x02;
inline constexpr uint8_t kTransferInterrupt = 0x03;
inline constexpr uint8_t kSyncShift = 2;
inline constexpr uint8_t kUsageShift = 4;
inline constexpr uint8_t kUsageData = 0;
inline constexpr uint8_t kUsageFeedback = 1;
inline constexpr uint8_t kUsageImplicitFeedback = 2;

// wMaxPacketSize: payload in bits 10..0, extra transactions per microframe in
// bits 12..11 (high-bandwidth endpoints at high speed).
inline constexpr uint16_t kMaxPacketPayloadMask = 0x07FF;
inline constexpr uint8_t kMaxPacketExtraShift = 11;
inline constexpr uint16_t kMaxHighSpeedTransaction = 1024;

inline constexpr uint16_t kLangEnglishUs = 0x0409;

// Bytes an isochronous endpoint may carry in one (micro)frame.
inline uint32_t PayloadPerInterval(uint16_t wMaxPacketSize) {
    return (wMaxPacketSize & kMaxPacketPayloadMask) * (1u + ((wMaxPacketSize >> kMaxPacketExtraShift) & 3u));
}

}  // namespace simusb::usb
