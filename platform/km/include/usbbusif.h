// Stand-in for <usbbusif.h>: the USBDI bus interface a USB client driver
// queries from its physical device object (IRP_MN_QUERY_INTERFACE with
// USB_BUS_INTERFACE_USBDI_GUID), to ask the bus for its frame counter and the
// device's speed without building IRPs. Every routine takes the interface's
// BusContext first.
#pragma once

#include <usb.h>

#define USB_BUSIFFN

DEFINE_GUID(USB_BUS_INTERFACE_USBDI_GUID, 0xb1a96a13, 0x3de0, 0x4574, 0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6);

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001
#define USB_BUSIF_USBDI_VERSION_2 0x0002
#define USB_BUSIF_USBDI_VERSION_3 0x0003

// GetUSBDIVersion's HcdCapabilities.
#define USB_HCD_CAPS_SUPPORTS_RT_THREADS 0x00000001

// ---------------------------------------------------------------- routines

typedef NTSTATUS USB_BUSIFFN USB_BUSIFFN_SUBMIT_ISO_OUT_URB(PVOID BusContext, PURB Urb);
typedef USB_BUSIFFN_SUBMIT_ISO_OUT_URB* PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB;

typedef VOID USB_BUSIFFN USB_BUSIFFN_GETUSBDI_VERSION(PVOID BusContext,
                                                      PUSBD_VERSION_INFORMATION VersionInformation,
                                                      PULONG HcdCapabilities);
typedef USB_BUSIFFN_GETUSBDI_VERSION* PUSB_BUSIFFN_GETUSBDI_VERSION;

// The current 1 ms frame number, 32 bits.
typedef NTSTATUS USB_BUSIFFN USB_BUSIFFN_QUERY_BUS_TIME(PVOID BusContext, PULONG CurrentUsbFrame);
typedef USB_BUSIFFN_QUERY_BUS_TIME* PUSB_BUSIFFN_QUERY_BUS_TIME;

typedef NTSTATUS USB_BUSIFFN USB_BUSIFFN_QUERY_BUS_INFORMATION(PVOID BusContext, ULONG Level,
                                                               PVOID BusInformationBuffer,
                                                               PULONG BusInformationBufferLength,
                                                               PULONG BusInformationActualLength);
typedef USB_BUSIFFN_QUERY_BUS_INFORMATION* PUSB_BUSIFFN_QUERY_BUS_INFORMATION;

typedef BOOLEAN USB_BUSIFFN USB_BUSIFFN_IS_DEVICE_HIGH_SPEED(PVOID BusContext);
typedef USB_BUSIFFN_IS_DEVICE_HIGH_SPEED* PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED;

typedef NTSTATUS USB_BUSIFFN USB_BUSIFFN_ENUM_LOG_ENTRY(PVOID BusContext, ULONG DriverTag, ULONG EnumTag, ULONG P1,
                                                        ULONG P2);
typedef USB_BUSIFFN_ENUM_LOG_ENTRY* PUSB_BUSIFFN_ENUM_LOG_ENTRY;

// The current 125 us microframe number, 32 bits.
typedef NTSTATUS USB_BUSIFFN USB_BUSIFFN_QUERY_BUS_TIME_EX(PVOID BusContext, PULONG HighSpeedFrameCounter);
typedef USB_BUSIFFN_QUERY_BUS_TIME_EX* PUSB_BUSIFFN_QUERY_BUS_TIME_EX;

typedef NTSTATUS USB_BUSIFFN USB_BUSIFFN_QUERY_CONTROLLER_TYPE(PVOID BusContext, PULONG HcdiOptionFlags,
                                                               PUSHORT PciVendorId, PUSHORT PciDeviceId,
                                                               PUCHAR PciClass, PUCHAR PciSubClass,
                                                               PUCHAR PciRevisionId, PUCHAR PciProgIf);
typedef USB_BUSIFFN_QUERY_CONTROLLER_TYPE* PUSB_BUSIFFN_QUERY_CONTROLLER_TYPE;

// ---------------------------------------------------------------- the interface, by version

// Each version extends the one before; the head is the INTERFACE header.
typedef struct _USB_BUS_INTERFACE_USBDI_V0 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
} USB_BUS_INTERFACE_USBDI_V0, *PUSB_BUS_INTERFACE_USBDI_V0;

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;

typedef struct _USB_BUS_INTERFACE_USBDI_V2 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
    PUSB_BUSIFFN_ENUM_LOG_ENTRY EnumLogEntry;
} USB_BUS_INTERFACE_USBDI_V2, *PUSB_BUS_INTERFACE_USBDI_V2;

typedef struct _USB_BUS_INTERFACE_USBDI_V3 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
    PUSB_BUSIFFN_ENUM_LOG_ENTRY EnumLogEntry;
    PUSB_BUSIFFN_QUERY_BUS_TIME_EX QueryBusTimeEx;
    PUSB_BUSIFFN_QUERY_CONTROLLER_TYPE QueryControllerType;
} USB_BUS_INTERFACE_USBDI_V3, *PUSB_BUS_INTERFACE_USBDI_V3;

// ---------------------------------------------------------------- QueryBusInformation levels

typedef struct _USB_BUS_INFORMATION_LEVEL_0 {
    ULONG TotalBandwidth;     // bits per millisecond
    ULONG ConsumedBandwidth;  // bits per millisecond
} USB_BUS_INFORMATION_LEVEL_0, *PUSB_BUS_INFORMATION_LEVEL_0;

typedef struct _USB_BUS_INFORMATION_LEVEL_1 {
    ULONG TotalBandwidth;
    ULONG ConsumedBandwidth;
    ULONG ControllerNameLength;           // bytes
    WCHAR ControllerNameUnicodeString[1];  // not terminated
} USB_BUS_INFORMATION_LEVEL_1, *PUSB_BUS_INFORMATION_LEVEL_1;

static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V0, BusContext) == offsetof(INTERFACE, Context),
              "the bus interface starts with the INTERFACE header");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V0, InterfaceDereference) == offsetof(INTERFACE, InterfaceDereference),
              "the bus interface starts with the INTERFACE header");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64, "USB_BUS_INTERFACE_USBDI_V0 layout");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72, "USB_BUS_INTERFACE_USBDI_V1 layout");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, GetUSBDIVersion) == 32, "USB_BUS_INTERFACE_USBDI_V1 layout");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, QueryBusTime) == 40, "USB_BUS_INTERFACE_USBDI_V1 layout");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, SubmitIsoOutUrb) == 48, "USB_BUS_INTERFACE_USBDI_V1 layout");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, QueryBusInformation) == 56, "USB_BUS_INTERFACE_USBDI_V1 layout");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed) == 64, "USB_BUS_INTERFACE_USBDI_V1 layout");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V2) == 80, "USB_BUS_INTERFACE_USBDI_V2 layout");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V3) == 96, "USB_BUS_INTERFACE_USBDI_V3 layout");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V3, QueryBusTimeEx) == 80, "USB_BUS_INTERFACE_USBDI_V3 layout");
static_assert(sizeof(USB_BUS_INFORMATION_LEVEL_1) == 16, "USB_BUS_INFORMATION_LEVEL_1 layout");
