// Configuration descriptor sets written byte by byte for the USBD tests,
// hostile ones included: every descriptor goes in as given, and
// wTotalLength is the set's length unless a test states another.
#pragma once

#include <usbdlib.h>

#include <initializer_list>
#include <optional>
#include <vector>

namespace usbdtest {

class DescriptorBytes {
public:
    DescriptorBytes() { Raw({9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 50}); }

    DescriptorBytes& Interface(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR cls, UCHAR subClass,
                               UCHAR protocol) {
        return Raw({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, subClass, protocol, 0});
    }

    DescriptorBytes& Endpoint(UCHAR address, UCHAR attributes, USHORT maxPacket_bytes) {
        return Raw({7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, LOBYTE(maxPacket_bytes),
                    HIBYTE(maxPacket_bytes), 1});
    }

    DescriptorBytes& Raw(std::initializer_list<UCHAR> bytes) {
        bytes_.insert(bytes_.end(), bytes);
        return *this;
    }

    DescriptorBytes& TotalLength(USHORT total) {
        total_ = total;
        return *this;
    }

    // Where the next descriptor goes: a test notes it to find the descriptor again.
    size_t Offset() const { return bytes_.size(); }

    std::vector<UCHAR> Bytes() const {
        std::vector<UCHAR> bytes = bytes_;
        USHORT total = total_.value_or(static_cast<USHORT>(bytes.size()));
        bytes[2] = LOBYTE(total);
        bytes[3] = HIBYTE(total);
        return bytes;
    }

private:
    std::vector<UCHAR> bytes_;
    std::optional<USHORT> total_;
};

inline PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(std::vector<UCHAR>& bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

}  // namespace usbdtest
