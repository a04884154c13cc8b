// The select-configuration URB that USBD_CreateConfigurationRequestEx
// builds: its size, where each interface's information lies in it, what it
// states of every interface and pipe, and the cases where it cannot be built.

#include <gtest/gtest.h>

#include "descriptor_bytes.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"

namespace {

using usbdtest::AsConfiguration;
using usbdtest::DescriptorBytes;

constexpr ULONG kUsbdTag = kmsim::PoolTag("USBD");
constexpr LONG kAny = -1;

// Interfaces 0, 1 and 2 with 0, 1 and 2 endpoints; interface 1 also has an
// idle alternate setting, which the list leaves out.
std::vector<UCHAR> ThreeInterfaces() {
    return DescriptorBytes()
        .Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, 1, 0x20)
        .Interface(1, 0, 0, USB_DEVICE_CLASS_AUDIO, 2, 0x20)
        .Interface(1, 1, 1, USB_DEVICE_CLASS_AUDIO, 2, 0x20)
        .Endpoint(0x01, USB_ENDPOINT_TYPE_ISOCHRONOUS, 512)
        .Interface(2, 0, 2, USB_DEVICE_CLASS_AUDIO, 2, 0x20)
        .Endpoint(0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 256)
        .Endpoint(0x83, USB_ENDPOINT_TYPE_ISOCHRONOUS, 4)
        .Bytes();
}

// The list for the given (interface, alternate setting) pairs, ended by an empty entry.
std::vector<USBD_INTERFACE_LIST_ENTRY> ListOf(std::vector<UCHAR>& configuration,
                                              std::initializer_list<std::pair<LONG, LONG>> interfaces) {
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (auto [number, alternate] : interfaces) {
        PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
            AsConfiguration(configuration), configuration.data(), number, alternate, kAny, kAny, kAny);
        EXPECT_NE(found, nullptr);
        list.push_back({found, nullptr});
    }
    list.push_back({nullptr, nullptr});
    return list;
}

long OffsetIn(PURB urb, const void* p) { return static_cast<const UCHAR*>(p) - reinterpret_cast<UCHAR*>(urb); }

TEST(CreateConfigurationRequest, LaysTheInterfacesEndToEndInAUrbSizedForThem) {
    kmsim::Simulation sim;
    std::vector<UCHAR> configuration = ThreeInterfaces();
    std::vector<USBD_INTERFACE_LIST_ENTRY> list = ListOf(configuration, {{0, 0}, {1, 1}, {2, 0}});

    PURB urb = USBD_CreateConfigurationRequestEx(AsConfiguration(configuration), list.data());
    ASSERT_NE(urb, nullptr);

    constexpr size_t kExpected_bytes = 40 + (24 + 0) + (24 + 24) + (24 + 48);
    static_assert(kExpected_bytes == GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 3));
    EXPECT_EQ(urb->UrbHeader.Length, kExpected_bytes);
    EXPECT_EQ(kmsim::OutstandingBytes(kUsbdTag), kExpected_bytes);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, AsConfiguration(configuration));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(OffsetIn(urb, list[1].Interface), 40 + 24);
    EXPECT_EQ(OffsetIn(urb, list[2].Interface), 40 + 24 + 48);
    EXPECT_EQ(list[3].Interface, nullptr);

    const UCHAR expectedNumber[] = {0, 1, 2};
    const UCHAR expectedAlternate[] = {0, 1, 0};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NE(list[i].Interface, nullptr);
        const USBD_INTERFACE_INFORMATION& information = *list[i].Interface;
        EXPECT_EQ(information.Length, GET_USBD_INTERFACE_SIZE(i));
        EXPECT_EQ(information.InterfaceNumber, expectedNumber[i]);
        EXPECT_EQ(information.AlternateSetting, expectedAlternate[i]);
        EXPECT_EQ(information.NumberOfPipes, i);
        // Class codes and handles are the bus driver's to fill in.
        EXPECT_EQ(information.Class, 0);
        EXPECT_EQ(information.InterfaceHandle, nullptr);
        for (size_t pipe = 0; pipe < i; ++pipe) {
            EXPECT_EQ(information.Pipes[pipe].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
            EXPECT_EQ(information.Pipes[pipe].PipeFlags, 0u);
            EXPECT_EQ(information.Pipes[pipe].PipeHandle, nullptr);
        }
    }
    ExFreePool(urb);
}

TEST(CreateConfigurationRequest, AnEmptyListGivesAUrbWithNoInterface) {
    kmsim::Simulation sim;
    std::vector<UCHAR> configuration = ThreeInterfaces();
    USBD_INTERFACE_LIST_ENTRY end{nullptr, nullptr};
    PURB urb = USBD_CreateConfigurationRequestEx(AsConfiguration(configuration), &end);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, offsetof(struct _URB_SELECT_CONFIGURATION, Interface));
    EXPECT_EQ(kmsim::OutstandingBytes(kUsbdTag), 40u);
    ExFreePool(urb);
}

TEST(CreateConfigurationRequest, AllocationFailureGivesNullAndLeavesTheListAlone) {
    kmsim::Simulation sim;
    std::vector<UCHAR> configuration = ThreeInterfaces();
    std::vector<USBD_INTERFACE_LIST_ENTRY> list = ListOf(configuration, {{0, 0}, {2, 0}});
    kmsim::FailAllocationsWithTag(kUsbdTag);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfiguration(configuration), list.data()), nullptr);
    EXPECT_EQ(kmsim::FailedAllocationCount(), 1u);
    EXPECT_EQ(list[0].Interface, nullptr);
    EXPECT_EQ(list[1].Interface, nullptr);
    kmsim::ClearAllocationFailures();
}

TEST(CreateConfigurationRequest, RefusesWhatItCannotBuildWithoutAllocating) {
    kmsim::Simulation sim;
    std::vector<UCHAR> configuration = ThreeInterfaces();
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfiguration(configuration), nullptr), nullptr);

    // An interface descriptor too short to hold bNumEndpoints.
    std::vector<UCHAR> shortInterface = {4, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0};
    USBD_INTERFACE_LIST_ENTRY shortList[] = {
        {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(shortInterface.data()), nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfiguration(configuration), shortList), nullptr);

    // 11 interfaces of 255 endpoints need more than the 65535 bytes Length can state.
    USB_INTERFACE_DESCRIPTOR wide{9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 255, USB_DEVICE_CLASS_AUDIO, 2, 0, 0};
    std::vector<USBD_INTERFACE_LIST_ENTRY> wideList(11, USBD_INTERFACE_LIST_ENTRY{&wide, nullptr});
    wideList.push_back({nullptr, nullptr});
    static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(10, 10 * 255) <= MAXUSHORT);
    static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(11, 11 * 255) > MAXUSHORT);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfiguration(configuration), wideList.data()), nullptr);
    EXPECT_EQ(wideList[0].Interface, nullptr);

    EXPECT_EQ(kmsim::OutstandingAllocations(kUsbdTag), 0u);
    EXPECT_EQ(kmsim::FailedAllocationCount(), 0u);

    wideList[10] = {nullptr, nullptr};
    PURB largest = USBD_CreateConfigurationRequestEx(AsConfiguration(configuration), wideList.data());
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(largest->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(10, 10 * 255));
    ExFreePool(largest);
}

TEST(CreateConfigurationRequest, BuildsAtDispatchLevel) {
    kmsim::Simulation sim;
    std::vector<UCHAR> configuration = ThreeInterfaces();
    std::vector<USBD_INTERFACE_LIST_ENTRY> list = ListOf(configuration, {{2, 0}});
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PURB urb = USBD_CreateConfigurationRequestEx(AsConfiguration(configuration), list.data());
    KeLowerIrql(old);
    ASSERT_NE(urb, nullptr);
    ExFreePool(urb);
}

TEST(CreateConfigurationRequest, BuildsOnAWindowsVersionWithoutNoExecutePool) {
    kmsim::Options options;
    options.ntddiVersion = NTDDI_WIN7;
    kmsim::Simulation sim(options);
    std::vector<UCHAR> configuration = ThreeInterfaces();
    std::vector<USBD_INTERFACE_LIST_ENTRY> list = ListOf(configuration, {{0, 0}});
    PURB urb = USBD_CreateConfigurationRequestEx(AsConfiguration(configuration), list.data());
    ASSERT_NE(urb, nullptr);
    ExFreePool(urb);
}

}  // namespace
