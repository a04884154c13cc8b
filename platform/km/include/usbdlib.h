// Stand-in for <usbdlib.h>: the USBD library a client driver links — the
// configuration descriptor walks, the select-configuration URB builder — and
// the macros that size and fill URBs.
#pragma once

#include <usb.h>

// One interface to select: the caller sets InterfaceDescriptor (from
// USBD_ParseConfigurationDescriptorEx); USBD_CreateConfigurationRequestEx
// sets Interface to that interface's information inside the URB it builds.
// A list ends with an entry whose InterfaceDescriptor is null.
typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "USBD_INTERFACE_LIST_ENTRY layout");

// ---------------------------------------------------------------- sizes of variable-length requests

// An isochronous URB for n packets. The structure holds one packet already,
// so the size has room for n + 1; the platform's drivers size URBs this way.
#define GET_ISO_URB_SIZE(n) (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

// A select-configuration URB for the given interfaces and their pipes in all.
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                 \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                            \
     ((totalInterfaces)-1) * sizeof(USBD_INTERFACE_INFORMATION) +                          \
     ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))

// A select-interface URB for an interface with totalPipes pipes.
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
    (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes)-1) * sizeof(USBD_PIPE_INFORMATION))

// A USBD_INTERFACE_INFORMATION with numEndpoints pipes.
#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
    (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - sizeof(USBD_PIPE_INFORMATION))

static_assert(GET_ISO_URB_SIZE(0) == 152 && GET_ISO_URB_SIZE(64) == 152 + 12 * 64, "isochronous URB size");
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(1) == 56 + 24 && GET_SELECT_INTERFACE_REQUEST_SIZE(3) == 56 + 24 * 3,
              "select-interface URB size");
static_assert(GET_USBD_INTERFACE_SIZE(0) == 24 && GET_USBD_INTERFACE_SIZE(2) == 24 + 24 * 2, "interface size");
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3) ==
                  offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(1) +
                      GET_USBD_INTERFACE_SIZE(2),
              "select-configuration URB size: the interfaces lie end to end");

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)

// ---------------------------------------------------------------- request builders
//
// Each fills the fields of its request and leaves the others as they are:
// callers zero the URB first.

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL,         \
                                               transferBufferLength, transferFlags, link)                         \
    {                                                                                                             \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                      \
        (urb)->UrbHeader.Length = (length);                                                                       \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                              \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                        \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                          \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                                \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                      \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                       \
    }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer,     \
                                     transferBufferMDL, transferBufferLength, link)                               \
    {                                                                                                             \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                      \
        (urb)->UrbHeader.Length = (length);                                                                       \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                         \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                               \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                     \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                     \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                             \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                             \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                      \
    }

// op: URB_FUNCTION_GET_STATUS_FROM_DEVICE, _INTERFACE, _ENDPOINT or _OTHER.
#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link) \
    {                                                                                     \
        (urb)->UrbHeader.Function = (op);                                                 \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);         \
        (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);          \
        (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);        \
        (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);              \
        (urb)->UrbControlGetStatusRequest.Index = (index);                                \
        (urb)->UrbControlGetStatusRequest.UrbLink = (link);                               \
    }

// op: URB_FUNCTION_SET_FEATURE_TO_* or URB_FUNCTION_CLEAR_FEATURE_TO_*.
#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)             \
    {                                                                            \
        (urb)->UrbHeader.Function = (op);                                        \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);   \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);     \
        (urb)->UrbControlFeatureRequest.Index = (index);                         \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                        \
    }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)       \
    {                                                                                 \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                \
        (urb)->UrbHeader.Length = (length);                                           \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
    }

// length: GET_SELECT_INTERFACE_REQUEST_SIZE of the interface's pipes; the
// interface information takes the rest of it.
#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting)         \
    {                                                                                                              \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                                 \
        (urb)->UrbHeader.Length = (length);                                                                        \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                                 \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                                   \
        (urb)->UrbSelectInterface.Interface.Length =                                                               \
            (USHORT)((length) - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));                   \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                                     \
    }

// cmd: URB_FUNCTION_VENDOR_* or URB_FUNCTION_CLASS_*.
#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value, index, transferBuffer, \
                              transferBufferMDL, transferBufferLength, link)                                       \
    {                                                                                                              \
        (urb)->UrbHeader.Function = (cmd);                                                                         \
        (urb)->UrbHeader.Length = (length);                                                                        \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);                         \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                               \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                                     \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);                              \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                                   \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                                       \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                                       \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                                       \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                                      \
    }

// ---------------------------------------------------------------- library routines

// Fills in the USBDI version of this stack and the USB version it supports.
VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

// The first descriptor of DescriptorType at or after StartPosition in the
// descriptor set at DescriptorBuffer, or null. The set ends at TotalLength
// bytes, or earlier where the configuration descriptor heading it says so
// (wTotalLength). Runs below DISPATCH_LEVEL.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);

// The first interface descriptor at or after StartPosition in the
// configuration descriptor set (wTotalLength bytes) that matches every
// criterion that is not -1, or null. Pass the configuration descriptor
// itself as StartPosition to search from the start. Runs below
// DISPATCH_LEVEL.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);

// A select-configuration URB for the interfaces of the list (ended by a null
// InterfaceDescriptor), each with a pipe per endpoint; sets every entry's
// Interface to its information inside the URB. The URB comes from non-paged
// pool (tag "USBD"); the caller frees it with ExFreePool. Null when the pool
// is exhausted or the request cannot be built (an interface descriptor
// shorter than 9 bytes, a URB longer than 65535 bytes). Runs at or below
// DISPATCH_LEVEL.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
