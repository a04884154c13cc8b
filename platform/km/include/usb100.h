// Stand-in for <usb100.h>: the USB 1.1 chapter 9 definitions a client driver
// reads descriptors and builds requests with. The descriptors are byte-packed
// as they travel on the bus; the sizes below are the wire sizes.
#pragma once

#include <ntdef.h>

// ---------------------------------------------------------------- descriptor types

#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_STRING_DESCRIPTOR_TYPE 0x03
#define USB_INTERFACE_DESCRIPTOR_TYPE 0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE 0x05

// wValue of GET_DESCRIPTOR: type in the high byte, index in the low byte.
#define USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(d, i) ((USHORT)((USHORT)(d) << 8 | (i)))

// ---------------------------------------------------------------- endpoint address and attributes

#define USB_ENDPOINT_DIRECTION_MASK 0x80
#define USB_ENDPOINT_DIRECTION_OUT(x) (!((x) & USB_ENDPOINT_DIRECTION_MASK))
#define USB_ENDPOINT_DIRECTION_IN(x) ((x) & USB_ENDPOINT_DIRECTION_MASK)
#define USB_ENDPOINT_ADDRESS_MASK 0x0F

#define USB_ENDPOINT_TYPE_MASK 0x03
#define USB_ENDPOINT_TYPE_CONTROL 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 0x01
#define USB_ENDPOINT_TYPE_BULK 0x02
#define USB_ENDPOINT_TYPE_INTERRUPT 0x03

// ---------------------------------------------------------------- configuration attributes

#define USB_CONFIG_POWERED_MASK 0xC0
#define USB_CONFIG_BUS_POWERED 0x80
#define USB_CONFIG_SELF_POWERED 0x40
#define USB_CONFIG_REMOTE_WAKEUP 0x20
#define USB_CONFIG_RESERVED 0x1F

// ---------------------------------------------------------------- standard requests

#define USB_REQUEST_GET_STATUS 0x00
#define USB_REQUEST_CLEAR_FEATURE 0x01
#define USB_REQUEST_SET_FEATURE 0x03
#define USB_REQUEST_SET_ADDRESS 0x05
#define USB_REQUEST_GET_DESCRIPTOR 0x06
#define USB_REQUEST_SET_DESCRIPTOR 0x07
#define USB_REQUEST_GET_CONFIGURATION 0x08
#define USB_REQUEST_SET_CONFIGURATION 0x09
#define USB_REQUEST_GET_INTERFACE 0x0A
#define USB_REQUEST_SET_INTERFACE 0x0B
#define USB_REQUEST_SYNC_FRAME 0x0C

#define USB_FEATURE_ENDPOINT_STALL 0x0000
#define USB_FEATURE_REMOTE_WAKEUP 0x0001

#define USB_GETSTATUS_SELF_POWERED 0x01
#define USB_GETSTATUS_REMOTE_WAKEUP_ENABLED 0x02

// bmRequestType fields, as the BM_REQUEST_TYPE bit fields hold them.
#define BMREQUEST_HOST_TO_DEVICE 0
#define BMREQUEST_DEVICE_TO_HOST 1
#define BMREQUEST_STANDARD 0
#define BMREQUEST_CLASS 1
#define BMREQUEST_VENDOR 2
#define BMREQUEST_TO_DEVICE 0
#define BMREQUEST_TO_INTERFACE 1
#define BMREQUEST_TO_ENDPOINT 2
#define BMREQUEST_TO_OTHER 3

// ---------------------------------------------------------------- device classes

#define USB_DEVICE_CLASS_RESERVED 0x00
#define USB_DEVICE_CLASS_AUDIO 0x01
#define USB_DEVICE_CLASS_COMMUNICATIONS 0x02
#define USB_DEVICE_CLASS_HUMAN_INTERFACE 0x03
#define USB_DEVICE_CLASS_MONITOR 0x04
#define USB_DEVICE_CLASS_PHYSICAL_INTERFACE 0x05
#define USB_DEVICE_CLASS_POWER 0x06
#define USB_DEVICE_CLASS_IMAGE 0x06
#define USB_DEVICE_CLASS_PRINTER 0x07
#define USB_DEVICE_CLASS_STORAGE 0x08
#define USB_DEVICE_CLASS_HUB 0x09
#define USB_DEVICE_CLASS_CDC_DATA 0x0A
#define USB_DEVICE_CLASS_SMART_CARD 0x0B
#define USB_DEVICE_CLASS_CONTENT_SECURITY 0x0D
#define USB_DEVICE_CLASS_VIDEO 0x0E
#define USB_DEVICE_CLASS_PERSONAL_HEALTHCARE 0x0F
#define USB_DEVICE_CLASS_AUDIO_VIDEO 0x10
#define USB_DEVICE_CLASS_BILLBOARD 0x11
#define USB_DEVICE_CLASS_DIAGNOSTIC_DEVICE 0xDC
#define USB_DEVICE_CLASS_WIRELESS_CONTROLLER 0xE0
#define USB_DEVICE_CLASS_MISCELLANEOUS 0xEF
#define USB_DEVICE_CLASS_APPLICATION_SPECIFIC 0xFE
#define USB_DEVICE_CLASS_VENDOR_SPECIFIC 0xFF

#define MAXIMUM_USB_STRING_LENGTH 255

// ---------------------------------------------------------------- descriptors and the setup packet

#pragma pack(push, 1)

typedef struct _USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
} USB_COMMON_DESCRIPTOR, *PUSB_COMMON_DESCRIPTOR;

typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

// The head of the configuration descriptor set; wTotalLength covers the
// whole set (interfaces, endpoints, class descriptors) that follows it.
typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;  // 2 mA units
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;

typedef struct _USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];  // UTF-16LE, (bLength - 2) / 2 code units
} USB_STRING_DESCRIPTOR, *PUSB_STRING_DESCRIPTOR;

typedef union _BM_REQUEST_TYPE {
    struct {
        UCHAR Recipient : 2;
        UCHAR Reserved : 3;
        UCHAR Type : 2;
        UCHAR Dir : 1;
    };
    UCHAR B;
} BM_REQUEST_TYPE, *PBM_REQUEST_TYPE;

typedef struct _USB_DEFAULT_PIPE_SETUP_PACKET {
    BM_REQUEST_TYPE bmRequestType;
    UCHAR bRequest;
    union _wValue {
        struct {
            UCHAR LowByte;
            UCHAR HiByte;
        };
        USHORT W;
    } wValue;
    union _wIndex {
        struct {
            UCHAR LowByte;
            UCHAR HiByte;
        };
        USHORT W;
    } wIndex;
    USHORT wLength;
} USB_DEFAULT_PIPE_SETUP_PACKET, *PUSB_DEFAULT_PIPE_SETUP_PACKET;

#pragma pack(pop)

static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2, "USB_COMMON_DESCRIPTOR layout");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdUSB) == 2, "USB_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bMaxPacketSize0) == 7, "USB_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8, "USB_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idProduct) == 10, "USB_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdDevice) == 12, "USB_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iSerialNumber) == 16, "USB_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations) == 17, "USB_DEVICE_DESCRIPTOR layout");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "USB_CONFIGURATION_DESCRIPTOR layout");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2, "USB_CONFIGURATION_DESCRIPTOR layout");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, bConfigurationValue) == 5, "USB_CONFIGURATION_DESCRIPTOR layout");
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, MaxPower) == 8, "USB_CONFIGURATION_DESCRIPTOR layout");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "USB_INTERFACE_DESCRIPTOR layout");
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bNumEndpoints) == 4, "USB_INTERFACE_DESCRIPTOR layout");
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceProtocol) == 7, "USB_INTERFACE_DESCRIPTOR layout");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "USB_ENDPOINT_DESCRIPTOR layout");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4, "USB_ENDPOINT_DESCRIPTOR layout");
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, bInterval) == 6, "USB_ENDPOINT_DESCRIPTOR layout");
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4, "USB_STRING_DESCRIPTOR layout");
static_assert(offsetof(USB_STRING_DESCRIPTOR, bString) == 2, "USB_STRING_DESCRIPTOR layout");
static_assert(sizeof(BM_REQUEST_TYPE) == 1, "BM_REQUEST_TYPE layout");
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8, "USB_DEFAULT_PIPE_SETUP_PACKET layout");
static_assert(offsetof(USB_DEFAULT_PIPE_SETUP_PACKET, wValue) == 2, "USB_DEFAULT_PIPE_SETUP_PACKET layout");
static_assert(offsetof(USB_DEFAULT_PIPE_SETUP_PACKET, wIndex) == 4, "USB_DEFAULT_PIPE_SETUP_PACKET layout");
static_assert(offsetof(USB_DEFAULT_PIPE_SETUP_PACKET, wLength) == 6, "USB_DEFAULT_PIPE_SETUP_PACKET layout");
