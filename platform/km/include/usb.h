// Stand-in for <usb.h>: USB request blocks (URBs), the request they carry,
// their status codes and the interface and pipe information that selecting a
// configuration or an alternate setting returns. Layouts are the x64 ones;
// the static asserts at the end pin what drivers compute sizes and offsets
// with.
#pragma once

#include <wdm.h>

#include <usb200.h>

#define USBDI_VERSION 0x00000600

typedef enum _USB_CONTROLLER_FLAVOR {
    USB_HcGeneric = 0,
    OHCI_Generic = 100,
    OHCI_Hydra,
    OHCI_NEC,
    UHCI_Generic = 200,
    UHCI_Piix4 = 201,
    UHCI_Piix3 = 202,
    UHCI_Ich2 = 203,
    UHCI_Reserved204 = 204,
    UHCI_Ich1 = 205,
    UHCI_Ich3m = 206,
    UHCI_Ich4 = 207,
    UHCI_Ich5 = 208,
    UHCI_Ich6 = 209,
    UHCI_Intel = 249,
    UHCI_VIA = 250,
    UHCI_VIA_x01 = 251,
    UHCI_VIA_x02 = 252,
    UHCI_VIA_x03 = 253,
    UHCI_VIA_x04 = 254,
    UHCI_VIA_x0E_FIFO = 264,
    EHCI_Generic = 1000,
    EHCI_NEC = 2000,
    EHCI_Lucent = 3000,
    EHCI_NVIDIA_Tegra2 = 4000,
    EHCI_NVIDIA_Tegra3,
    EHCI_Intel_Medfield = 5001,
} USB_CONTROLLER_FLAVOR;

#define USB_DEFAULT_DEVICE_ADDRESS 0
#define USB_DEFAULT_ENDPOINT_ADDRESS 0
#define USB_DEFAULT_MAX_PACKET 64

// ---------------------------------------------------------------- URB function codes

#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_ABORT_PIPE 0x0002
#define URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL 0x0003
#define URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL 0x0004
#define URB_FUNCTION_GET_FRAME_LENGTH 0x0005
#define URB_FUNCTION_SET_FRAME_LENGTH 0x0006
#define URB_FUNCTION_GET_CURRENT_FRAME_NUMBER 0x0007
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009
#define URB_FUNCTION_ISOCH_TRANSFER 0x000A
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE 0x000B
#define URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE 0x000C
#define URB_FUNCTION_SET_FEATURE_TO_DEVICE 0x000D
#define URB_FUNCTION_SET_FEATURE_TO_INTERFACE 0x000E
#define URB_FUNCTION_SET_FEATURE_TO_ENDPOINT 0x000F
#define URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE 0x0010
#define URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE 0x0011
#define URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT 0x0012
#define URB_FUNCTION_GET_STATUS_FROM_DEVICE 0x0013
#define URB_FUNCTION_GET_STATUS_FROM_INTERFACE 0x0014
#define URB_FUNCTION_GET_STATUS_FROM_ENDPOINT 0x0015
#define URB_FUNCTION_RESERVED_0X0016 0x0016
#define URB_FUNCTION_VENDOR_DEVICE 0x0017
#define URB_FUNCTION_VENDOR_INTERFACE 0x0018
#define URB_FUNCTION_VENDOR_ENDPOINT 0x0019
#define URB_FUNCTION_CLASS_DEVICE 0x001A
#define URB_FUNCTION_CLASS_INTERFACE 0x001B
#define URB_FUNCTION_CLASS_ENDPOINT 0x001C
#define URB_FUNCTION_RESERVE_0X001D 0x001D
#define URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL 0x001E
#define URB_FUNCTION_CLASS_OTHER 0x001F
#define URB_FUNCTION_VENDOR_OTHER 0x0020
#define URB_FUNCTION_GET_STATUS_FROM_OTHER 0x0021
#define URB_FUNCTION_CLEAR_FEATURE_TO_OTHER 0x0022
#define URB_FUNCTION_SET_FEATURE_TO_OTHER 0x0023
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT 0x0024
#define URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT 0x0025
#define URB_FUNCTION_GET_CONFIGURATION 0x0026
#define URB_FUNCTION_GET_INTERFACE 0x0027
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE 0x0028
#define URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE 0x0029
#define URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR 0x002A
#define URB_FUNCTION_RESERVE_0X002B 0x002B
#define URB_FUNCTION_RESERVE_0X002C 0x002C
#define URB_FUNCTION_RESERVE_0X002D 0x002D
#define URB_FUNCTION_RESERVE_0X002E 0x002E
#define URB_FUNCTION_RESERVE_0X002F 0x002F
#define URB_FUNCTION_SYNC_RESET_PIPE 0x0030
#define URB_FUNCTION_SYNC_CLEAR_STALL 0x0031
#define URB_FUNCTION_CONTROL_TRANSFER_EX 0x0032
#define URB_FUNCTION_RESERVE_0X0033 0x0033
#define URB_FUNCTION_RESERVE_0X0034 0x0034
#define URB_FUNCTION_OPEN_STATIC_STREAMS 0x0035
#define URB_FUNCTION_CLOSE_STATIC_STREAMS 0x0036
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER_USING_CHAINED_MDL 0x0037
#define URB_FUNCTION_ISOCH_TRANSFER_USING_CHAINED_MDL 0x0038

#define URB_FUNCTION_RESET_PIPE URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL

// ---------------------------------------------------------------- transfer flags

#define USBD_TRANSFER_DIRECTION 0x00000001
#define USBD_SHORT_TRANSFER_OK 0x00000002
#define USBD_START_ISO_TRANSFER_ASAP 0x00000004
#define USBD_DEFAULT_PIPE_TRANSFER 0x00000008

#define USBD_TRANSFER_DIRECTION_FLAG(flags) ((flags)&USBD_TRANSFER_DIRECTION)
#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN 1

#define VALID_TRANSFER_FLAGS_MASK \
    (USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION | USBD_START_ISO_TRANSFER_ASAP | USBD_DEFAULT_PIPE_TRANSFER)

// How far ahead of the current frame an isochronous StartFrame may lie.
#define USBD_ISO_START_FRAME_RANGE 1024

// ---------------------------------------------------------------- status codes

// Bits 31..30: 00 success, 01 pending, 1x error (11: the endpoint halted).
typedef LONG USBD_STATUS;

#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_PENDING(Status) ((ULONG)(Status) >> 30 == 1)
#define USBD_ERROR(Status) ((USBD_STATUS)(Status) < 0)
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)

#define USBD_STATUS_SUCCESS ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_PORT_OPERATION_PENDING ((USBD_STATUS)0x00000001L)
#define USBD_STATUS_PENDING ((USBD_STATUS)0x40000000L)

// Reported by the host controller; the endpoint is halted.
#define USBD_STATUS_CRC ((USBD_STATUS)0xC0000001L)
#define USBD_STATUS_BTSTUFF ((USBD_STATUS)0xC0000002L)
#define USBD_STATUS_DATA_TOGGLE_MISMATCH ((USBD_STATUS)0xC0000003L)
#define USBD_STATUS_STALL_PID ((USBD_STATUS)0xC0000004L)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xC0000005L)
#define USBD_STATUS_PID_CHECK_FAILURE ((USBD_STATUS)0xC0000006L)
#define USBD_STATUS_UNEXPECTED_PID ((USBD_STATUS)0xC0000007L)
#define USBD_STATUS_DATA_OVERRUN ((USBD_STATUS)0xC0000008L)
#define USBD_STATUS_DATA_UNDERRUN ((USBD_STATUS)0xC0000009L)
#define USBD_STATUS_RESERVED1 ((USBD_STATUS)0xC000000AL)
#define USBD_STATUS_RESERVED2 ((USBD_STATUS)0xC000000BL)
#define USBD_STATUS_BUFFER_OVERRUN ((USBD_STATUS)0xC000000CL)
#define USBD_STATUS_BUFFER_UNDERRUN ((USBD_STATUS)0xC000000DL)
#define USBD_STATUS_NOT_ACCESSED ((USBD_STATUS)0xC000000FL)
#define USBD_STATUS_FIFO ((USBD_STATUS)0xC0000010L)
#define USBD_STATUS_XACT_ERROR ((USBD_STATUS)0xC0000011L)
#define USBD_STATUS_BABBLE_DETECTED ((USBD_STATUS)0xC0000012L)
#define USBD_STATUS_DATA_BUFFER_ERROR ((USBD_STATUS)0xC0000013L)
#define USBD_STATUS_NO_PING_RESPONSE ((USBD_STATUS)0xC0000014L)
#define USBD_STATUS_INVALID_STREAM_TYPE ((USBD_STATUS)0xC0000015L)
#define USBD_STATUS_INVALID_STREAM_ID ((USBD_STATUS)0xC0000016L)
#define USBD_STATUS_ENDPOINT_HALTED ((USBD_STATUS)0xC0000030L)

// Reported by the USB stack's software.
#define USBD_STATUS_INVALID_URB_FUNCTION ((USBD_STATUS)0x80000200L)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300L)
#define USBD_STATUS_ERROR_BUSY ((USBD_STATUS)0x80000400L)
#define USBD_STATUS_INVALID_PIPE_HANDLE ((USBD_STATUS)0x80000600L)
#define USBD_STATUS_NO_BANDWIDTH ((USBD_STATUS)0x80000700L)
#define USBD_STATUS_INTERNAL_HC_ERROR ((USBD_STATUS)0x80000800L)
#define USBD_STATUS_ERROR_SHORT_TRANSFER ((USBD_STATUS)0x80000900L)
#define USBD_STATUS_BAD_START_FRAME ((USBD_STATUS)0xC0000A00L)
#define USBD_STATUS_ISOCH_REQUEST_FAILED ((USBD_STATUS)0xC0000B00L)
#define USBD_STATUS_FRAME_CONTROL_OWNED ((USBD_STATUS)0xC0000C00L)
#define USBD_STATUS_FRAME_CONTROL_NOT_OWNED ((USBD_STATUS)0xC0000D00L)
#define USBD_STATUS_NOT_SUPPORTED ((USBD_STATUS)0xC0000E00L)
#define USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR ((USBD_STATUS)0xC0000F00L)
#define USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR ((USBD_STATUS)0xC0000F00L)
#define USBD_STATUS_INSUFFICIENT_RESOURCES ((USBD_STATUS)0xC0001000L)
#define USBD_STATUS_SET_CONFIG_FAILED ((USBD_STATUS)0xC0002000L)
#define USBD_STATUS_BUFFER_TOO_SMALL ((USBD_STATUS)0xC0003000L)
#define USBD_STATUS_INTERFACE_NOT_FOUND ((USBD_STATUS)0xC0004000L)
#define USBD_STATUS_INAVLID_PIPE_FLAGS ((USBD_STATUS)0xC0005000L)
#define USBD_STATUS_TIMEOUT ((USBD_STATUS)0xC0006000L)
#define USBD_STATUS_DEVICE_GONE ((USBD_STATUS)0xC0007000L)
#define USBD_STATUS_STATUS_NOT_MAPPED ((USBD_STATUS)0xC0008000L)
#define USBD_STATUS_HUB_INTERNAL_ERROR ((USBD_STATUS)0xC0009000L)
#define USBD_STATUS_CANCELED ((USBD_STATUS)0xC0010000L)
#define USBD_STATUS_ISO_NOT_ACCESSED_BY_HW ((USBD_STATUS)0xC0020000L)
#define USBD_STATUS_ISO_TD_ERROR ((USBD_STATUS)0xC0030000L)
#define USBD_STATUS_ISO_NA_LATE_USBPORT ((USBD_STATUS)0xC0040000L)
#define USBD_STATUS_ISO_NOT_ACCESSED_LATE ((USBD_STATUS)0xC0050000L)
#define USBD_STATUS_BAD_DESCRIPTOR ((USBD_STATUS)0xC0100000L)
#define USBD_STATUS_BAD_DESCRIPTOR_BLEN ((USBD_STATUS)0xC0100001L)
#define USBD_STATUS_BAD_DESCRIPTOR_TYPE ((USBD_STATUS)0xC0100002L)
#define USBD_STATUS_BAD_INTERFACE_DESCRIPTOR ((USBD_STATUS)0xC0100003L)
#define USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR ((USBD_STATUS)0xC0100004L)
#define USBD_STATUS_BAD_INTERFACE_ASSOC_DESCRIPTOR ((USBD_STATUS)0xC0100005L)
#define USBD_STATUS_BAD_CONFIG_DESC_LENGTH ((USBD_STATUS)0xC0100006L)
#define USBD_STATUS_BAD_NUMBER_OF_INTERFACES ((USBD_STATUS)0xC0100007L)
#define USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS ((USBD_STATUS)0xC0100008L)
#define USBD_STATUS_BAD_ENDPOINT_ADDRESS ((USBD_STATUS)0xC0100009L)

// ---------------------------------------------------------------- handles, versions, pipes, interfaces

typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

// What a pipe's MaximumTransferSize is set to; the stack no longer limits
// transfers by it.
#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 0xFFFFFFFF

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;          // USBDI_VERSION of the stack
    ULONG Supported_USB_Version;  // BCD: 0x0200 for USB 2.0
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt,
} USBD_PIPE_TYPE;

#define USBD_PIPE_DIRECTION_IN(pipeInformation) ((pipeInformation)->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK)

typedef struct _USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;  // at high speed: bytes per microframe, additional transactions included
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;  // USBD_PF_*
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

#define USBD_PF_CHANGE_MAX_PACKET 0x00000001
#define USBD_PF_SHORT_PACKET_OPT 0x00000002
#define USBD_PF_ENABLE_RT_THREAD_ACCESS 0x00000004
#define USBD_PF_MAP_ADD_TRANSFERS 0x00000008
#define USBD_PF_VALID_MASK \
    (USBD_PF_CHANGE_MAX_PACKET | USBD_PF_SHORT_PACKET_OPT | USBD_PF_ENABLE_RT_THREAD_ACCESS | USBD_PF_MAP_ADD_TRANSFERS)

// Variable length: Length is 24 + 24 bytes per pipe, and Pipes holds
// NumberOfPipes entries (GET_USBD_INTERFACE_SIZE in <usbdlib.h>).
typedef struct _USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

// ---------------------------------------------------------------- request blocks

struct _URB;

// Host controller driver workspace inside transfer URBs.
struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_HEADER {
    USHORT Length;    // bytes of the whole URB
    USHORT Function;  // URB_FUNCTION_*
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

// Variable length: one USBD_INTERFACE_INFORMATION per interface selected,
// laid end to end from Interface on.
struct _URB_SELECT_CONFIGURATION {
    struct _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // null: deconfigure
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_SELECT_INTERFACE {
    struct _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

// ABORT_PIPE, SYNC_RESET_PIPE_AND_CLEAR_STALL, SYNC_RESET_PIPE, SYNC_CLEAR_STALL.
struct _URB_PIPE_REQUEST {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_FRAME_LENGTH_CONTROL {
    struct _URB_HEADER Hdr;
};

struct _URB_GET_FRAME_LENGTH {
    struct _URB_HEADER Hdr;
    ULONG FrameLength;
    ULONG FrameNumber;
};

struct _URB_SET_FRAME_LENGTH {
    struct _URB_HEADER Hdr;
    LONG FrameLengthDelta;
};

struct _URB_GET_CURRENT_FRAME_NUMBER {
    struct _URB_HEADER Hdr;
    ULONG FrameNumber;
};

struct _URB_CONTROL_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;  // null: the default pipe, with USBD_DEFAULT_PIPE_TRANSFER
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_CONTROL_TRANSFER_EX {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    ULONG Timeout;  // milliseconds, 0: none
    ULONG Pad;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
};

typedef struct _USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;  // from the start of the transfer buffer
    ULONG Length;  // IN: set on completion to the bytes received
    USBD_STATUS Status;
} USBD_ISO_PACKET_DESCRIPTOR, *PUSBD_ISO_PACKET_DESCRIPTOR;

// Variable length: NumberOfPackets entries in IsoPacket (GET_ISO_URB_SIZE).
struct _URB_ISOCH_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_STATUS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Index;
    USHORT Reserved2;
};

struct _URB_CONTROL_FEATURE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved2;
    ULONG Reserved3;
    PVOID Reserved4;
    PMDL Reserved5;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved0;
    USHORT FeatureSelector;
    USHORT Index;
    USHORT Reserved1;
};

// Class and vendor requests to a device, interface, endpoint or other
// recipient; the URB function names the type and the recipient, and
// TransferFlags the direction.
struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_GET_INTERFACE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Interface;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_CONFIGURATION_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[8];
};

typedef struct _URB {
    union {
        struct _URB_HEADER UrbHeader;
        struct _URB_SELECT_INTERFACE UrbSelectInterface;
        struct _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
        struct _URB_PIPE_REQUEST UrbPipeRequest;
        struct _URB_FRAME_LENGTH_CONTROL UrbFrameLengthControl;
        struct _URB_GET_FRAME_LENGTH UrbGetFrameLength;
        struct _URB_SET_FRAME_LENGTH UrbSetFrameLength;
        struct _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
        struct _URB_CONTROL_TRANSFER UrbControlTransfer;
        struct _URB_CONTROL_TRANSFER_EX UrbControlTransferEx;
        struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
        struct _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
        struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        struct _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
        struct _URB_CONTROL_FEATURE_REQUEST UrbControlFeatureRequest;
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
        struct _URB_CONTROL_GET_INTERFACE_REQUEST UrbControlGetInterfaceRequest;
        struct _URB_CONTROL_GET_CONFIGURATION_REQUEST UrbControlGetConfigurationRequest;
    };
} URB, *PURB;

// ---------------------------------------------------------------- x64 layouts

static_assert(sizeof(USBD_VERSION_INFORMATION) == 8, "USBD_VERSION_INFORMATION layout");
static_assert(sizeof(USBD_PIPE_TYPE) == 4, "USBD_PIPE_TYPE layout");
static_assert(sizeof(USB_CONTROLLER_FLAVOR) == 4, "USB_CONTROLLER_FLAVOR layout");

static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "USBD_PIPE_INFORMATION layout");
static_assert(offsetof(USBD_PIPE_INFORMATION, EndpointAddress) == 2, "USBD_PIPE_INFORMATION layout");
static_assert(offsetof(USBD_PIPE_INFORMATION, Interval) == 3, "USBD_PIPE_INFORMATION layout");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeType) == 4, "USBD_PIPE_INFORMATION layout");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8, "USBD_PIPE_INFORMATION layout");
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16, "USBD_PIPE_INFORMATION layout");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeFlags) == 20, "USBD_PIPE_INFORMATION layout");

static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "USBD_INTERFACE_INFORMATION layout");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceNumber) == 2, "USBD_INTERFACE_INFORMATION layout");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, AlternateSetting) == 3, "USBD_INTERFACE_INFORMATION layout");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Class) == 4, "USBD_INTERFACE_INFORMATION layout");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Protocol) == 6, "USBD_INTERFACE_INFORMATION layout");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8, "USBD_INTERFACE_INFORMATION layout");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16, "USBD_INTERFACE_INFORMATION layout");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24, "USBD_INTERFACE_INFORMATION layout");

static_assert(sizeof(struct _URB_HCD_AREA) == 64, "_URB_HCD_AREA layout");
static_assert(sizeof(struct _URB_HEADER) == 24, "_URB_HEADER layout");
static_assert(offsetof(struct _URB_HEADER, Function) == 2, "_URB_HEADER layout");
static_assert(offsetof(struct _URB_HEADER, Status) == 4, "_URB_HEADER layout");
static_assert(offsetof(struct _URB_HEADER, UsbdDeviceHandle) == 8, "_URB_HEADER layout");
static_assert(offsetof(struct _URB_HEADER, UsbdFlags) == 16, "_URB_HEADER layout");

static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "_URB_SELECT_CONFIGURATION layout");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor) == 24,
              "_URB_SELECT_CONFIGURATION layout");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle) == 32,
              "_URB_SELECT_CONFIGURATION layout");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 40, "_URB_SELECT_CONFIGURATION layout");

static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 80, "_URB_SELECT_INTERFACE layout");
static_assert(offsetof(struct _URB_SELECT_INTERFACE, ConfigurationHandle) == 24, "_URB_SELECT_INTERFACE layout");
static_assert(offsetof(struct _URB_SELECT_INTERFACE, Interface) == 32, "_URB_SELECT_INTERFACE layout");

static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "_URB_PIPE_REQUEST layout");
static_assert(offsetof(struct _URB_PIPE_REQUEST, PipeHandle) == 24, "_URB_PIPE_REQUEST layout");
static_assert(sizeof(struct _URB_FRAME_LENGTH_CONTROL) == 24, "_URB_FRAME_LENGTH_CONTROL layout");
static_assert(sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER) == 32, "_URB_GET_CURRENT_FRAME_NUMBER layout");
static_assert(offsetof(struct _URB_GET_CURRENT_FRAME_NUMBER, FrameNumber) == 24,
              "_URB_GET_CURRENT_FRAME_NUMBER layout");

// The transfer URBs share their head: pipe, flags, length, buffer, MDL, link.
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "_URB_BULK_OR_INTERRUPT_TRANSFER layout");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 24,
              "_URB_BULK_OR_INTERRUPT_TRANSFER layout");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) == 32,
              "_URB_BULK_OR_INTERRUPT_TRANSFER layout");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 36,
              "_URB_BULK_OR_INTERRUPT_TRANSFER layout");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 40,
              "_URB_BULK_OR_INTERRUPT_TRANSFER layout");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) == 48,
              "_URB_BULK_OR_INTERRUPT_TRANSFER layout");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink) == 56,
              "_URB_BULK_OR_INTERRUPT_TRANSFER layout");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, hca) == 64, "_URB_BULK_OR_INTERRUPT_TRANSFER layout");

static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "USBD_ISO_PACKET_DESCRIPTOR layout");
static_assert(offsetof(USBD_ISO_PACKET_DESCRIPTOR, Length) == 4, "USBD_ISO_PACKET_DESCRIPTOR layout");
static_assert(offsetof(USBD_ISO_PACKET_DESCRIPTOR, Status) == 8, "USBD_ISO_PACKET_DESCRIPTOR layout");
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152, "_URB_ISOCH_TRANSFER layout");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, TransferFlags) == 32, "_URB_ISOCH_TRANSFER layout");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, TransferBufferLength) == 36, "_URB_ISOCH_TRANSFER layout");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, TransferBuffer) == 40, "_URB_ISOCH_TRANSFER layout");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, TransferBufferMDL) == 48, "_URB_ISOCH_TRANSFER layout");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, StartFrame) == 128, "_URB_ISOCH_TRANSFER layout");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, NumberOfPackets) == 132, "_URB_ISOCH_TRANSFER layout");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, ErrorCount) == 136, "_URB_ISOCH_TRANSFER layout");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) == 140, "_URB_ISOCH_TRANSFER layout");

static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 136, "_URB_CONTROL_TRANSFER layout");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, TransferFlags) == 32, "_URB_CONTROL_TRANSFER layout");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, SetupPacket) == 128, "_URB_CONTROL_TRANSFER layout");
static_assert(sizeof(struct _URB_CONTROL_TRANSFER_EX) == 136, "_URB_CONTROL_TRANSFER_EX layout");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER_EX, Timeout) == 56, "_URB_CONTROL_TRANSFER_EX layout");
static_assert(offsetof(struct _URB_CONTROL_TRANSFER_EX, SetupPacket) == 128, "_URB_CONTROL_TRANSFER_EX layout");

static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "_URB_CONTROL_DESCRIPTOR_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 36,
              "_URB_CONTROL_DESCRIPTOR_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) == 40,
              "_URB_CONTROL_DESCRIPTOR_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130,
              "_URB_CONTROL_DESCRIPTOR_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 131,
              "_URB_CONTROL_DESCRIPTOR_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 132,
              "_URB_CONTROL_DESCRIPTOR_REQUEST layout");

static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 32,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) == 36,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer) == 40,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 128,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 130,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 132,
              "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST layout");

static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 136, "_URB_CONTROL_GET_STATUS_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_GET_STATUS_REQUEST, Index) == 132,
              "_URB_CONTROL_GET_STATUS_REQUEST layout");
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 136, "_URB_CONTROL_FEATURE_REQUEST layout");
static_assert(offsetof(struct _URB_CONTROL_FEATURE_REQUEST, FeatureSelector) == 130,
              "_URB_CONTROL_FEATURE_REQUEST layout");
static_assert(sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST) == 136, "_URB_CONTROL_GET_INTERFACE_REQUEST layout");
static_assert(sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST) == 136,
              "_URB_CONTROL_GET_CONFIGURATION_REQUEST layout");

static_assert(sizeof(URB) == 152, "URB layout: the isochronous request is the largest member");
