// The USBD descriptor walks: interface matching with wildcards, the start
// position, and descriptor sets that a broken or hostile device returns.

#include <gtest/gtest.h>

#include "descriptor_bytes.h"

namespace {

using usbdtest::AsConfiguration;
using usbdtest::DescriptorBytes;

constexpr LONG kAny = -1;
constexpr UCHAR kClassSpecificInterface = 0x24;
constexpr long kNotFound = -1;

// An audio function and a HID interface: control, streaming with an idle and
// an active alternate setting, each with class-specific descriptors.
struct AudioLikeConfiguration {
    std::vector<UCHAR> bytes;
    size_t control, controlClassSpecific, streamingIdle, streamingActive, dataEndpoint, hid;
};

AudioLikeConfiguration MakeAudioLikeConfiguration() {
    AudioLikeConfiguration c{};
    DescriptorBytes set;
    c.control = set.Offset();
    set.Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, 1, 0x20);
    c.controlClassSpecific = set.Offset();
    set.Raw({5, kClassSpecificInterface, 1, 0x00, 0x02});
    c.streamingIdle = set.Offset();
    set.Interface(1, 0, 0, USB_DEVICE_CLASS_AUDIO, 2, 0x20);
    c.streamingActive = set.Offset();
    set.Interface(1, 1, 1, USB_DEVICE_CLASS_AUDIO, 2, 0x20).Raw({6, kClassSpecificInterface, 2, 1, 4, 24});
    c.dataEndpoint = set.Offset();
    set.Endpoint(0x01, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS, 512);
    c.hid = set.Offset();
    set.Interface(2, 0, 1, USB_DEVICE_CLASS_HUMAN_INTERFACE, 0, 0).Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 8);
    c.bytes = set.Bytes();
    return c;
}

long OffsetIn(const std::vector<UCHAR>& bytes, const void* found) {
    return found == nullptr ? kNotFound : static_cast<const UCHAR*>(found) - bytes.data();
}

long FindInterface(std::vector<UCHAR>& bytes, size_t start, LONG number, LONG alternate, LONG cls, LONG subClass,
                   LONG protocol) {
    return OffsetIn(bytes, USBD_ParseConfigurationDescriptorEx(AsConfiguration(bytes), bytes.data() + start, number,
                                                               alternate, cls, subClass, protocol));
}

long FindInterface(std::vector<UCHAR>& bytes, LONG number, LONG alternate) {
    return FindInterface(bytes, 0, number, alternate, kAny, kAny, kAny);
}

long FindDescriptor(std::vector<UCHAR>& bytes, ULONG length, size_t start, LONG type) {
    return OffsetIn(bytes, USBD_ParseDescriptors(bytes.data(), length, bytes.data() + start, type));
}

long FindDescriptor(std::vector<UCHAR>& bytes, size_t start, LONG type) {
    return FindDescriptor(bytes, static_cast<ULONG>(bytes.size()), start, type);
}

TEST(ParseConfigurationDescriptor, MatchesEveryCriterionThatIsNotAWildcard) {
    AudioLikeConfiguration c = MakeAudioLikeConfiguration();
    EXPECT_EQ(FindInterface(c.bytes, 1, 1), static_cast<long>(c.streamingActive));
    EXPECT_EQ(FindInterface(c.bytes, 1, kAny), static_cast<long>(c.streamingIdle));
    EXPECT_EQ(FindInterface(c.bytes, kAny, kAny), static_cast<long>(c.control));
    EXPECT_EQ(FindInterface(c.bytes, 0, kAny, kAny, USB_DEVICE_CLASS_AUDIO, 2, kAny),
              static_cast<long>(c.streamingIdle));
    EXPECT_EQ(FindInterface(c.bytes, 0, kAny, kAny, USB_DEVICE_CLASS_HUMAN_INTERFACE, kAny, kAny),
              static_cast<long>(c.hid));
    EXPECT_EQ(FindInterface(c.bytes, 0, 1, kAny, kAny, kAny, 0x10), kNotFound);
    EXPECT_EQ(FindInterface(c.bytes, 3, kAny), kNotFound);
    EXPECT_EQ(FindInterface(c.bytes, 1, 2), kNotFound);
}

TEST(ParseConfigurationDescriptor, SearchesFromTheStartPositionOn) {
    AudioLikeConfiguration c = MakeAudioLikeConfiguration();
    // From an interface itself that interface is found; past it, the next one.
    EXPECT_EQ(FindInterface(c.bytes, c.streamingIdle, 1, kAny, kAny, kAny, kAny), static_cast<long>(c.streamingIdle));
    EXPECT_EQ(FindInterface(c.bytes, c.streamingIdle + 9, 1, kAny, kAny, kAny, kAny),
              static_cast<long>(c.streamingActive));
    EXPECT_EQ(FindInterface(c.bytes, c.hid + 9, kAny, kAny, kAny, kAny, kAny), kNotFound);
    EXPECT_EQ(FindInterface(c.bytes, c.bytes.size(), kAny, kAny, kAny, kAny, kAny), kNotFound);
    EXPECT_EQ(FindInterface(c.bytes, 1000, kAny, kAny, kAny, kAny, kAny), kNotFound);
    // A start before the configuration descriptor is outside the set.
    std::vector<UCHAR> padded(16, 0);
    padded.insert(padded.end(), c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(&padded[16]),
                                                  padded.data(), kAny, kAny, kAny, kAny, kAny),
              nullptr);
}

TEST(ParseDescriptors, FindsTheFirstDescriptorOfATypeAtOrAfterTheStart) {
    AudioLikeConfiguration c = MakeAudioLikeConfiguration();
    EXPECT_EQ(FindDescriptor(c.bytes, c.streamingActive, USB_ENDPOINT_DESCRIPTOR_TYPE),
              static_cast<long>(c.dataEndpoint));
    EXPECT_EQ(FindDescriptor(c.bytes, 0, kClassSpecificInterface), static_cast<long>(c.controlClassSpecific));
    EXPECT_EQ(FindDescriptor(c.bytes, c.controlClassSpecific, kClassSpecificInterface),
              static_cast<long>(c.controlClassSpecific));
    EXPECT_EQ(FindDescriptor(c.bytes, 0, USB_CONFIGURATION_DESCRIPTOR_TYPE), 0);
    EXPECT_EQ(FindDescriptor(c.bytes, c.hid, kClassSpecificInterface), kNotFound);
    EXPECT_EQ(FindDescriptor(c.bytes, 0, USB_STRING_DESCRIPTOR_TYPE), kNotFound);
}

TEST(ParseHostileDescriptors, ADescriptorShorterThanItsHeadEndsTheWalk) {
    for (UCHAR length : {0, 1}) {
        DescriptorBytes set;
        set.Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, 1, 0);
        size_t broken = set.Offset();
        set.Raw({length, kClassSpecificInterface}).Interface(1, 0, 0, USB_DEVICE_CLASS_AUDIO, 2, 0);
        std::vector<UCHAR> bytes = set.Bytes();
        SCOPED_TRACE(static_cast<int>(length));
        EXPECT_EQ(FindInterface(bytes, 1, kAny), kNotFound);
        EXPECT_EQ(FindInterface(bytes, 0, kAny), 9);
        EXPECT_EQ(FindDescriptor(bytes, 0, kClassSpecificInterface), kNotFound);
        EXPECT_EQ(FindDescriptor(bytes, broken, USB_INTERFACE_DESCRIPTOR_TYPE), kNotFound);
    }
}

TEST(ParseHostileDescriptors, ADescriptorRunningPastWTotalLengthEndsTheWalk) {
    // The device sends more bytes than wTotalLength counts: what lies past it
    // is not part of the set, not even the rest of a descriptor that starts inside.
    DescriptorBytes set;
    set.Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, 1, 0);
    size_t straddling = set.Offset();
    set.Interface(1, 0, 0, USB_DEVICE_CLASS_AUDIO, 2, 0).TotalLength(static_cast<USHORT>(straddling + 5));
    std::vector<UCHAR> bytes = set.Bytes();
    EXPECT_EQ(FindInterface(bytes, 1, kAny), kNotFound);
    EXPECT_EQ(FindDescriptor(bytes, 0, USB_INTERFACE_DESCRIPTOR_TYPE), 9);
    EXPECT_EQ(FindDescriptor(bytes, straddling, USB_INTERFACE_DESCRIPTOR_TYPE), kNotFound);

    // A descriptor that claims more bytes than the set has left.
    DescriptorBytes overlong;
    overlong.Raw({40, kClassSpecificInterface, 0, 0});
    std::vector<UCHAR> overlongBytes = overlong.Bytes();
    EXPECT_EQ(FindDescriptor(overlongBytes, 9, kClassSpecificInterface), kNotFound);
}

TEST(ParseHostileDescriptors, AnInterfaceDescriptorTooShortForItsFieldsIsSteppedOver) {
    DescriptorBytes set;
    set.Raw({5, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 0});
    size_t whole = set.Offset();
    set.Interface(1, 0, 0, USB_DEVICE_CLASS_AUDIO, 2, 0);
    std::vector<UCHAR> bytes = set.Bytes();
    EXPECT_EQ(FindInterface(bytes, kAny, kAny), static_cast<long>(whole));
    EXPECT_EQ(FindInterface(bytes, 1, 0), static_cast<long>(whole));
    // The plain walk returns it: the caller reads it by its bLength.
    EXPECT_EQ(FindDescriptor(bytes, 0, USB_INTERFACE_DESCRIPTOR_TYPE), 9);
}

TEST(ParseHostileDescriptors, AConfigurationHeadThatCannotHoldTheSetFindsNothing) {
    DescriptorBytes tooShortTotal;
    tooShortTotal.Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, 1, 0).TotalLength(4);
    std::vector<UCHAR> bytes = tooShortTotal.Bytes();
    EXPECT_EQ(FindInterface(bytes, kAny, kAny), kNotFound);

    std::vector<UCHAR> shortHead = DescriptorBytes().Interface(0, 0, 0, USB_DEVICE_CLASS_AUDIO, 1, 0).Bytes();
    shortHead[0] = 4;  // bLength of the configuration descriptor
    EXPECT_EQ(FindInterface(shortHead, kAny, kAny), kNotFound);
}

TEST(ParseHostileDescriptors, TheWalkStopsAtTheBufferWhenWTotalLengthClaimsMore) {
    // wTotalLength says 200, the buffer holds what arrived. The buffer is
    // exactly that long, so a read past it shows under the address sanitizer.
    DescriptorBytes set;
    set.Interface(0, 0, 1, USB_DEVICE_CLASS_AUDIO, 1, 0);
    size_t endpoint = set.Offset();
    set.Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16).Interface(1, 0, 0, USB_DEVICE_CLASS_AUDIO, 2, 0).TotalLength(200);
    std::vector<UCHAR> all = set.Bytes();
    for (size_t arrived : {all.size(), all.size() - 4, endpoint + 1, endpoint}) {
        std::vector<UCHAR> bytes(all.begin(), all.begin() + static_cast<long>(arrived));
        SCOPED_TRACE(arrived);
        bool endpointArrived = arrived >= endpoint + 7;
        EXPECT_EQ(FindDescriptor(bytes, 0, USB_ENDPOINT_DESCRIPTOR_TYPE),
                  endpointArrived ? static_cast<long>(endpoint) : kNotFound);
        EXPECT_EQ(FindDescriptor(bytes, endpoint, USB_INTERFACE_DESCRIPTOR_TYPE),
                  arrived == all.size() ? static_cast<long>(endpoint + 7) : kNotFound);
    }
}

TEST(ParseHostileDescriptors, ABufferNotHeadedByAConfigurationEndsAtItsLength) {
    std::vector<UCHAR> bytes = {4, kClassSpecificInterface, 1, 2, 7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81};
    EXPECT_EQ(FindDescriptor(bytes, 0, kClassSpecificInterface), 0);
    EXPECT_EQ(FindDescriptor(bytes, 0, USB_ENDPOINT_DESCRIPTOR_TYPE), kNotFound);
    EXPECT_EQ(FindDescriptor(bytes, 6, USB_ENDPOINT_DESCRIPTOR_TYPE), kNotFound);  // one byte: no whole head
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), 0, bytes.data(), kClassSpecificInterface), nullptr);
}

TEST(ParseDeathTest, TheWalksRunBelowDispatchLevel) {
    AudioLikeConfiguration c = MakeAudioLikeConfiguration();
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            USBD_ParseConfigurationDescriptorEx(AsConfiguration(c.bytes), c.bytes.data(), kAny, kAny, kAny, kAny,
                                                kAny);
        },
        "USBD_ParseConfigurationDescriptorEx called at IRQL 2");
}

}  // namespace
