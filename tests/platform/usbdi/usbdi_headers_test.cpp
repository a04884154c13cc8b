// What the USB headers promise beyond the layouts their static asserts pin:
// bit-field order, the request builders, status classes and published values.

#include <gtest/gtest.h>

#include <usbbusif.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <cstring>

#include "kmsim/simulation.h"

namespace {

// Status classes as a driver tests them.
static_assert(USBD_SUCCESS(USBD_STATUS_SUCCESS) && !USBD_ERROR(USBD_STATUS_SUCCESS));
static_assert(USBD_PENDING(USBD_STATUS_PENDING) && USBD_SUCCESS(USBD_STATUS_PENDING));
static_assert(USBD_ERROR(USBD_STATUS_STALL_PID) && USBD_HALTED(USBD_STATUS_STALL_PID));
static_assert(USBD_ERROR(USBD_STATUS_CANCELED) && USBD_ERROR(USBD_STATUS_DEVICE_GONE));
static_assert(USBD_ERROR(USBD_STATUS_INVALID_PARAMETER) && !USBD_HALTED(USBD_STATUS_INVALID_PARAMETER));
static_assert(USBD_ERROR(USBD_STATUS_ISO_NOT_ACCESSED_BY_HW) && USBD_ERROR(USBD_STATUS_BAD_START_FRAME));
static_assert(USBD_STATUS_DATA_OVERRUN == static_cast<LONG>(0xC0000008) &&
              USBD_STATUS_BUFFER_UNDERRUN == static_cast<LONG>(0xC000000D));

static_assert(USB_ENDPOINT_DIRECTION_IN(0x81) && USB_ENDPOINT_DIRECTION_OUT(0x01) && !USB_ENDPOINT_DIRECTION_IN(0x02));
static_assert(USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(USB_STRING_DESCRIPTOR_TYPE, 2) == 0x0302);
static_assert((USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP) == 5 && USBD_SHORT_TRANSFER_OK == 2);
static_assert(EHCI_Intel_Medfield == 5001 && EHCI_NVIDIA_Tegra3 == 4001 && OHCI_NEC == 102 && UHCI_VIA_x0E_FIFO == 264);

TEST(UsbHeaders, BitFieldsLieAsOnTheWire) {
    USB_DEFAULT_PIPE_SETUP_PACKET setup;
    const UCHAR wire[8] = {0xA1, 0x01, 0x00, 0x02, 0x00, 0x29, 0x04, 0x00};  // class GET CUR to an interface
    memcpy(&setup, wire, sizeof wire);
    EXPECT_EQ(setup.bmRequestType.Dir, BMREQUEST_DEVICE_TO_HOST);
    EXPECT_EQ(setup.bmRequestType.Type, BMREQUEST_CLASS);
    EXPECT_EQ(setup.bmRequestType.Recipient, BMREQUEST_TO_INTERFACE);
    EXPECT_EQ(setup.wValue.HiByte, 0x02);
    EXPECT_EQ(setup.wIndex.HiByte, 0x29);
    EXPECT_EQ(setup.wIndex.W, 0x2900);
    EXPECT_EQ(setup.wLength, 4);

    USB_HIGH_SPEED_MAXPACKET packet;
    packet.us = 0x1400;  // 1024 bytes, two additional transactions per microframe
    EXPECT_EQ(packet.MaxPacket, 1024);
    EXPECT_EQ(packet.HSmux, 2);
}

TEST(UsbHeaders, RequestBuildersFillTheFieldsTheBusReads) {
    URB urb;
    memset(&urb, 0, sizeof urb);
    UCHAR buffer[18];
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, 3,
                                 0x0409, buffer, nullptr, sizeof buffer, nullptr);
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(urb.UrbHeader.Length, 136);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.DescriptorType, USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.Index, 3);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.LanguageId, 0x0409);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBuffer, buffer);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, sizeof buffer);

    memset(&urb, 0, sizeof urb);
    UCHAR rate[4];
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0x01, 0x0100, 0x2900, rate, nullptr, sizeof rate, nullptr);
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_CLASS_INTERFACE);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferFlags, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Request, 0x01);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Value, 0x0100);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Index, 0x2900);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, sizeof rate);

    memset(&urb, 0, sizeof urb);
    auto* pipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x1000);
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer,
                                           nullptr, sizeof buffer, USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(urb.UrbHeader.Length, 128);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.PipeHandle, pipe);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags, static_cast<ULONG>(USBD_SHORT_TRANSFER_OK));
}

TEST(UsbHeaders, ASelectInterfaceRequestGivesItsInterfaceTheRestOfTheUrb) {
    constexpr USHORT kLength_bytes = GET_SELECT_INTERFACE_REQUEST_SIZE(2);
    static_assert(kLength_bytes <= sizeof(URB));
    URB storage;
    memset(&storage, 0, sizeof storage);
    PURB urb = &storage;
    auto* configuration = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x2000);
    UsbBuildSelectInterfaceRequest(urb, kLength_bytes, configuration, 1, 3);
    EXPECT_EQ(urb->UrbHeader.Length, 56 + 2 * 24);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_INTERFACE);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(urb->UrbSelectInterface.Interface.InterfaceNumber, 1);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.AlternateSetting, 3);
    EXPECT_EQ(urb->UrbSelectInterface.ConfigurationHandle, configuration);
}

TEST(UsbHeaders, TheBusInterfaceGuidReadsAsPublished) {
    kmsim::Simulation sim;
    UNICODE_STRING text;
    ASSERT_EQ(RtlStringFromGUID(USB_BUS_INTERFACE_USBDI_GUID, &text), STATUS_SUCCESS);
    WCHAR published[] = L"{B1A96A13-3DE0-4574-9B01-C08FEAB318D6}";
    UNICODE_STRING expected = RTL_CONSTANT_STRING(published);
    EXPECT_TRUE(RtlEqualUnicodeString(&text, &expected, TRUE));
    RtlFreeUnicodeString(&text);
}

TEST(UsbHeaders, TheLibraryReportsItsUsbdiVersion) {
    USBD_VERSION_INFORMATION version{};
    USBD_GetUSBDIVersion(&version);
    EXPECT_EQ(version.USBDI_Version, static_cast<ULONG>(USBDI_VERSION));
    EXPECT_EQ(version.Supported_USB_Version, 0x0200u);
}

}  // namespace
