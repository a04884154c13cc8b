// Stand-in for <usbuser.h>: IOCTL_USB_USER_REQUEST, the request a host
// controller answers for applications and drivers alike. The buffer goes
// both ways: a USBUSER_REQUEST_HEADER naming the request, followed by the
// request's parameters, which the controller overwrites with its answer.
// The structures are byte-packed, as published.
#pragma once

#include <usb.h>
#include <usbiodef.h>

#define IOCTL_USB_USER_REQUEST USB_CTL(HCD_USER_REQUEST)

// ---------------------------------------------------------------- request codes (UsbUserRequest)

#define USBUSER_GET_CONTROLLER_INFO_0 0x00000001
#define USBUSER_GET_CONTROLLER_DRIVER_KEY 0x00000002
#define USBUSER_PASS_THRU 0x00000003
#define USBUSER_GET_POWER_STATE_MAP 0x00000004
#define USBUSER_GET_BANDWIDTH_INFORMATION 0x00000005
#define USBUSER_GET_BUS_STATISTICS_0 0x00000006
#define USBUSER_GET_ROOTHUB_SYMBOLIC_NAME 0x00000007
#define USBUSER_GET_USB_DRIVER_VERSION 0x00000008
#define USBUSER_GET_USB2_HW_VERSION 0x00000009
#define USBUSER_USB_REFRESH_HCT_REG 0x0000000A

#define USBUSER_OP_SEND_ONE_PACKET 0x10000001
#define USBUSER_OP_RAW_RESET_PORT 0x20000001
#define USBUSER_OP_OPEN_RAW_DEVICE 0x20000002
#define USBUSER_OP_CLOSE_RAW_DEVICE 0x20000003
#define USBUSER_OP_SEND_RAW_COMMAND 0x20000004
#define USBUSER_SET_ROOTPORT_FEATURE 0x20000005
#define USBUSER_CLEAR_ROOTPORT_FEATURE 0x20000006
#define USBUSER_GET_ROOTPORT_STATUS 0x20000007

#define USBUSER_INVALID_REQUEST 0xFFFFFFF0
#define USBUSER_OP_MASK_DEVONLY_API 0x10000000
#define USBUSER_OP_MASK_HCTEST_API 0x20000000

// USB_CONTROLLER_INFO_0.HcFeatureFlags
#define USB_HC_FEATURE_FLAG_PORT_POWER_SWITCHING 0x00000001
#define USB_HC_FEATURE_FLAG_SEL_SUSPEND 0x00000002
#define USB_HC_FEATURE_LEGACY_BIOS 0x00000004
#define USB_HC_FEATURE_TIME_SYNC_API 0x00000008

typedef enum _USB_USER_ERROR_CODE {
    UsbUserSuccess = 0,
    UsbUserNotSupported,
    UsbUserInvalidRequestCode,
    UsbUserFeatureDisabled,
    UsbUserInvalidHeaderParameter,
    UsbUserInvalidParameter,
    UsbUserMiniportError,
    UsbUserBufferTooSmall,
    UsbUserErrorNotMapped,
    UsbUserDeviceNotStarted,
    UsbUserNoDeviceConnected,
} USB_USER_ERROR_CODE;

#pragma pack(push, 1)

typedef struct _USBUSER_REQUEST_HEADER {
    ULONG UsbUserRequest;  // USBUSER_*
    USB_USER_ERROR_CODE UsbUserStatusCode;
    ULONG RequestBufferLength;  // bytes of the whole buffer, this header included
    ULONG ActualBufferLength;   // bytes the controller wrote or needs
} USBUSER_REQUEST_HEADER, *PUSBUSER_REQUEST_HEADER;

typedef struct _USB_CONTROLLER_INFO_0 {
    ULONG PciVendorId;
    ULONG PciDeviceId;
    ULONG PciRevision;
    ULONG NumberOfRootPorts;
    USB_CONTROLLER_FLAVOR ControllerFlavor;
    ULONG HcFeatureFlags;  // USB_HC_FEATURE_*
} USB_CONTROLLER_INFO_0, *PUSB_CONTROLLER_INFO_0;

typedef struct _USBUSER_CONTROLLER_INFO_0 {
    USBUSER_REQUEST_HEADER Header;
    USB_CONTROLLER_INFO_0 Info0;
} USBUSER_CONTROLLER_INFO_0, *PUSBUSER_CONTROLLER_INFO_0;

typedef struct _USB_UNICODE_NAME {
    ULONG Length;       // bytes of String
    WCHAR String[1];    // not terminated
} USB_UNICODE_NAME, *PUSB_UNICODE_NAME;

typedef struct _USBUSER_CONTROLLER_UNICODE_NAME {
    USBUSER_REQUEST_HEADER Header;
    USB_UNICODE_NAME UnicodeName;
} USBUSER_CONTROLLER_UNICODE_NAME, *PUSBUSER_CONTROLLER_UNICODE_NAME;

#pragma pack(pop)

static_assert(IOCTL_USB_USER_REQUEST == 0x220438, "IOCTL_USB_USER_REQUEST value");
static_assert(sizeof(USB_USER_ERROR_CODE) == 4, "USB_USER_ERROR_CODE layout");
static_assert(sizeof(USBUSER_REQUEST_HEADER) == 16, "USBUSER_REQUEST_HEADER layout");
static_assert(offsetof(USBUSER_REQUEST_HEADER, UsbUserStatusCode) == 4, "USBUSER_REQUEST_HEADER layout");
static_assert(offsetof(USBUSER_REQUEST_HEADER, RequestBufferLength) == 8, "USBUSER_REQUEST_HEADER layout");
static_assert(offsetof(USBUSER_REQUEST_HEADER, ActualBufferLength) == 12, "USBUSER_REQUEST_HEADER layout");
static_assert(sizeof(USB_CONTROLLER_INFO_0) == 24, "USB_CONTROLLER_INFO_0 layout");
static_assert(offsetof(USB_CONTROLLER_INFO_0, NumberOfRootPorts) == 12, "USB_CONTROLLER_INFO_0 layout");
static_assert(offsetof(USB_CONTROLLER_INFO_0, ControllerFlavor) == 16, "USB_CONTROLLER_INFO_0 layout");
static_assert(offsetof(USB_CONTROLLER_INFO_0, HcFeatureFlags) == 20, "USB_CONTROLLER_INFO_0 layout");
static_assert(sizeof(USBUSER_CONTROLLER_INFO_0) == 40, "USBUSER_CONTROLLER_INFO_0 layout");
static_assert(offsetof(USBUSER_CONTROLLER_INFO_0, Info0) == 16, "USBUSER_CONTROLLER_INFO_0 layout");
static_assert(sizeof(USB_UNICODE_NAME) == 6, "USB_UNICODE_NAME layout");
static_assert(offsetof(USBUSER_CONTROLLER_UNICODE_NAME, UnicodeName) == 16, "USBUSER_CONTROLLER_UNICODE_NAME layout");
