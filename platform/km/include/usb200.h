// Stand-in for <usb200.h>: what USB 2.0 adds to the chapter 9 definitions of
// <usb100.h>: high-speed descriptors, the interface association descriptor,
// the isochronous endpoint attributes and the high-bandwidth packet size.
#pragma once

#include <usb100.h>

// ---------------------------------------------------------------- descriptor types

#define USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE 0x06
#define USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE 0x07
#define USB_INTERFACE_POWER_DESCRIPTOR_TYPE 0x08
#define USB_OTG_DESCRIPTOR_TYPE 0x09
#define USB_DEBUG_DESCRIPTOR_TYPE 0x0A
#define USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE 0x0B

#define USB_FEATURE_TEST_MODE 0x0002

typedef enum _USB_DEVICE_SPEED { UsbLowSpeed = 0, UsbFullSpeed, UsbHighSpeed, UsbSuperSpeed } USB_DEVICE_SPEED;

typedef enum _USB_DEVICE_TYPE { Usb11Device = 0, Usb20Device } USB_DEVICE_TYPE;

// ---------------------------------------------------------------- isochronous endpoint attributes (bmAttributes)

// Synchronisation type, bits 3..2.
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_MASK 0x0C
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_NO_SYNCHRONIZATION 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS 0x04
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ADAPTIVE 0x08
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_SYNCHRONOUS 0x0C
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION(bmAttr) ((bmAttr)&USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_MASK)

// Usage type, bits 5..4. The data-endpoint name carries the platform's own spelling.
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_MASK 0x30
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_DATA_ENDOINT 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_FEEDBACK_ENDPOINT 0x10
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_IMPLICIT_FEEDBACK_DATA_ENDPOINT 0x20
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_RESERVED 0x30
#define USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE(bmAttr) ((bmAttr)&USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_MASK)

#define USB_ENDPOINT_TYPE_ISOCHRONOUS_RESERVED_MASK 0xC0

// ---------------------------------------------------------------- descriptors

#pragma pack(push, 1)

typedef struct _USB_DEVICE_QUALIFIER_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    UCHAR bNumConfigurations;
    UCHAR bReserved;
} USB_DEVICE_QUALIFIER_DESCRIPTOR, *PUSB_DEVICE_QUALIFIER_DESCRIPTOR;

typedef struct _USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
} USB_INTERFACE_ASSOCIATION_DESCRIPTOR, *PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR;

// wMaxPacketSize of a high-speed endpoint: bytes per transaction and, in
// HSmux, the additional transactions per microframe (0 to 2).
typedef union _USB_HIGH_SPEED_MAXPACKET {
    struct {
        USHORT MaxPacket : 11;
        USHORT HSmux : 2;
        USHORT Reserved : 3;
    };
    USHORT us;
} USB_HIGH_SPEED_MAXPACKET, *PUSB_HIGH_SPEED_MAXPACKET;

#pragma pack(pop)

static_assert(sizeof(USB_DEVICE_QUALIFIER_DESCRIPTOR) == 10, "USB_DEVICE_QUALIFIER_DESCRIPTOR layout");
static_assert(offsetof(USB_DEVICE_QUALIFIER_DESCRIPTOR, bNumConfigurations) == 8,
              "USB_DEVICE_QUALIFIER_DESCRIPTOR layout");
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8, "USB_INTERFACE_ASSOCIATION_DESCRIPTOR layout");
static_assert(sizeof(USB_HIGH_SPEED_MAXPACKET) == 2, "USB_HIGH_SPEED_MAXPACKET layout");
static_assert(sizeof(USB_DEVICE_SPEED) == 4, "USB_DEVICE_SPEED layout");
