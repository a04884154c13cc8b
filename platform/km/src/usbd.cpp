// The USBD library of <usbdlib.h>: descriptor walks over a configuration
// descriptor set and the select-configuration URB builder.
//
// A descriptor set comes from the device and is treated as hostile. A walk
// takes the descriptor at its position only when the two-byte head lies
// inside the set, bLength is at least 2 and the whole descriptor ends inside
// the set; any other descriptor ends the walk, because nothing after it can
// be located. The set ends at the wTotalLength of the configuration
// descriptor heading it and never past the buffer length a caller gives. No
// field is read beyond a descriptor's bLength: an interface descriptor
// shorter than USB_INTERFACE_DESCRIPTOR is stepped over, never matched.

#include <usbdlib.h>

#include "verifier.h"

namespace {

constexpr ULONG kUsbdTag = 0x44425355;  // "USBD"

// Bytes from the start of a select-configuration URB to its first interface.
constexpr size_t kSelectConfigurationHead_bytes = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

// The bytes [begin, end) of a descriptor set.
class DescriptorSet {
public:
    DescriptorSet(const UCHAR* begin, size_t length_bytes) : begin_(begin), end_(begin + length_bytes) {}

    // The set a configuration descriptor heads: wTotalLength bytes, but at
    // most `available`. A head too short to hold wTotalLength gives the empty set.
    static DescriptorSet OfConfiguration(const USB_CONFIGURATION_DESCRIPTOR* configuration, size_t available) {
        auto* begin = reinterpret_cast<const UCHAR*>(configuration);
        if (available < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            return DescriptorSet(begin, 0);
        }
        return DescriptorSet(begin, configuration->wTotalLength < available ? configuration->wTotalLength : available);
    }

    // The descriptor at `at` when the walk may take it, else null.
    const USB_COMMON_DESCRIPTOR* At(const UCHAR* at) const {
        if (!Contains(at) || BytesFrom(at) < sizeof(USB_COMMON_DESCRIPTOR)) {
            return nullptr;
        }
        auto* descriptor = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(at);
        if (descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || descriptor->bLength > BytesFrom(at)) {
            return nullptr;
        }
        return descriptor;
    }

    // The first descriptor of `type` at or after `from`, or null.
    const USB_COMMON_DESCRIPTOR* Find(const UCHAR* from, LONG type) const {
        for (const USB_COMMON_DESCRIPTOR* descriptor = At(from); descriptor != nullptr;
             descriptor = At(After(descriptor))) {
            if (descriptor->bDescriptorType == type) {
                return descriptor;
            }
        }
        return nullptr;
    }

    static const UCHAR* After(const USB_COMMON_DESCRIPTOR* descriptor) {
        return reinterpret_cast<const UCHAR*>(descriptor) + descriptor->bLength;
    }

private:
    // Addresses compared as integers: `at` may point anywhere.
    bool Contains(const UCHAR* at) const {
        auto address = reinterpret_cast<uintptr_t>(at);
        return address >= reinterpret_cast<uintptr_t>(begin_) && address < reinterpret_cast<uintptr_t>(end_);
    }
    size_t BytesFrom(const UCHAR* at) const { return static_cast<size_t>(end_ - at); }

    const UCHAR* begin_;
    const UCHAR* end_;
};

// A criterion of USBD_ParseConfigurationDescriptorEx: -1 matches anything.
bool Matches(LONG criterion, UCHAR value) { return criterion == -1 || criterion == value; }

struct InterfaceCriteria {
    LONG number;
    LONG alternateSetting;
    LONG interfaceClass;
    LONG subClass;
    LONG protocol;

    bool MatchedBy(const USB_INTERFACE_DESCRIPTOR& interface) const {
        return Matches(number, interface.bInterfaceNumber) && Matches(alternateSetting, interface.bAlternateSetting) &&
               Matches(interfaceClass, interface.bInterfaceClass) && Matches(subClass, interface.bInterfaceSubClass) &&
               Matches(protocol, interface.bInterfaceProtocol);
    }
};

const USB_INTERFACE_DESCRIPTOR* FindInterface(const DescriptorSet& set, const UCHAR* from,
                                              const InterfaceCriteria& criteria) {
    for (const USB_COMMON_DESCRIPTOR* found = set.Find(from, USB_INTERFACE_DESCRIPTOR_TYPE); found != nullptr;
         found = set.Find(DescriptorSet::After(found), USB_INTERFACE_DESCRIPTOR_TYPE)) {
        if (found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            continue;
        }
        auto* interface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(found);
        if (criteria.MatchedBy(*interface)) {
            return interface;
        }
    }
    return nullptr;
}

// Bytes of the select-configuration URB for the list, or 0 when it cannot be
// built: a descriptor too short to hold bNumEndpoints, or more bytes than
// the URB's USHORT Length can state.
size_t SelectConfigurationSize_bytes(const USBD_INTERFACE_LIST_ENTRY* list) {
    size_t size = kSelectConfigurationHead_bytes;
    for (const USBD_INTERFACE_LIST_ENTRY* entry = list; entry->InterfaceDescriptor != nullptr; ++entry) {
        if (entry->InterfaceDescriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return 0;
        }
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        if (size > MAXUSHORT) {
            return 0;
        }
    }
    return size;
}

// What the caller states of an interface to select; the bus driver fills in
// the rest (class codes, handles, pipe details) when it selects it.
void DescribeInterface(USBD_INTERFACE_INFORMATION* information, const USB_INTERFACE_DESCRIPTOR& descriptor) {
    information->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor.bNumEndpoints));
    information->InterfaceNumber = descriptor.bInterfaceNumber;
    information->AlternateSetting = descriptor.bAlternateSetting;
    information->NumberOfPipes = descriptor.bNumEndpoints;
    for (ULONG pipe = 0; pipe < information->NumberOfPipes; ++pipe) {
        information->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
}

POOL_TYPE NonPagedPoolOfThisVersion() {
    return RtlIsNtDdiVersionAvailable(NTDDI_WIN8) ? NonPagedPoolNx : NonPagedPool;
}

}  // namespace

// IRQL <= DISPATCH_LEVEL.
VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "USBD_GetUSBDIVersion");
    if (VersionInformation != nullptr) {
        VersionInformation->USBDI_Version = USBDI_VERSION;
        VersionInformation->Supported_USB_Version = 0x0200;
    }
}

// IRQL < DISPATCH_LEVEL.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
    km::RequireIrqlAtMost(APC_LEVEL, KM_CALLER, "USBD_ParseDescriptors");
    if (DescriptorBuffer == nullptr || StartPosition == nullptr) {
        return nullptr;
    }
    auto* head = static_cast<const USB_CONFIGURATION_DESCRIPTOR*>(DescriptorBuffer);
    bool headedByConfiguration = TotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
                                 head->bLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
                                 head->bDescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE;
    DescriptorSet set = headedByConfiguration ? DescriptorSet::OfConfiguration(head, TotalLength)
                                              : DescriptorSet(static_cast<const UCHAR*>(DescriptorBuffer), TotalLength);
    return const_cast<PUSB_COMMON_DESCRIPTOR>(set.Find(static_cast<const UCHAR*>(StartPosition), DescriptorType));
}

// IRQL < DISPATCH_LEVEL.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
    km::RequireIrqlAtMost(APC_LEVEL, KM_CALLER, "USBD_ParseConfigurationDescriptorEx");
    if (ConfigurationDescriptor == nullptr || StartPosition == nullptr) {
        return nullptr;
    }
    // The caller read the whole set, so wTotalLength is also the buffer's length.
    DescriptorSet set = DescriptorSet::OfConfiguration(ConfigurationDescriptor, MAXUSHORT);
    InterfaceCriteria criteria{InterfaceNumber, AlternateSetting, InterfaceClass, InterfaceSubClass,
                               InterfaceProtocol};
    return const_cast<PUSB_INTERFACE_DESCRIPTOR>(
        FindInterface(set, static_cast<const UCHAR*>(StartPosition), criteria));
}

// IRQL <= DISPATCH_LEVEL.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    km::RequireIrqlAtMost(DISPATCH_LEVEL, KM_CALLER, "USBD_CreateConfigurationRequestEx");
    if (InterfaceList == nullptr) {
        return nullptr;
    }
    size_t size = SelectConfigurationSize_bytes(InterfaceList);
    if (size == 0) {
        return nullptr;
    }
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolOfThisVersion(), size, kUsbdTag));
    if (urb == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto* next = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(next);
        DescribeInterface(information, *entry->InterfaceDescriptor);
        entry->Interface = information;
        next += information->Length;
    }
    return urb;
}
