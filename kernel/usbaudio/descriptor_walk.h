// Safe walks over a configuration descriptor set that came from a device.
//
// A device is outside the driver's trust boundary: a walk takes a descriptor
// only when its bLength is at least 2 and it ends inside the set, and any
// other descriptor ends the walk, because nothing after it can be located.
// Fields are read through the Field* accessors, which give 0 for a field
// that lies beyond the descriptor's bLength.
#pragma once

#include <ntddk.h>

namespace vq7 {

constexpr UCHAR kInterfaceDescriptorType = 0x04;
constexpr UCHAR kEndpointDescriptorType = 0x05;
constexpr UCHAR kClassInterfaceDescriptorType = 0x24;  // CS_INTERFACE
constexpr UCHAR kClassEndpointDescriptorType = 0x25;   // CS_ENDPOINT
constexpr ULONG kInterfaceDescriptorBytes = 9;
constexpr ULONG kEndpointDescriptorBytes = 7;

inline UCHAR DescriptorLength(const UCHAR* d) { return d[0]; }
inline UCHAR DescriptorType(const UCHAR* d) { return d[1]; }
inline UCHAR DescriptorSubtype(const UCHAR* d) { return d[0] > 2 ? d[2] : 0; }

inline UCHAR Field8(const UCHAR* d, ULONG offset) { return offset < d[0] ? d[offset] : 0; }
inline USHORT Field16(const UCHAR* d, ULONG offset) {
    return offset + 1 < d[0] ? static_cast<USHORT>(d[offset] | d[offset + 1] << 8) : 0;
}
inline ULONG Field24(const UCHAR* d, ULONG offset) {
    return offset + 2 < d[0] ? static_cast<ULONG>(d[offset] | d[offset + 1] << 8 | d[offset + 2] << 16) : 0;
}
inline ULONG Field32(const UCHAR* d, ULONG offset) {
    return offset + 3 < d[0] ? static_cast<ULONG>(d[offset] | d[offset + 1] << 8 | d[offset + 2] << 16 |
                                                  static_cast<ULONG>(d[offset + 3]) << 24)
                             : 0;
}

// Matches any value when -1.
struct InterfaceMatch {
    LONG number = -1;
    LONG alternate = -1;
    LONG interfaceClass = -1;
    LONG subClass = -1;
};

class DescriptorWalk {
public:
    DescriptorWalk(const UCHAR* set, ULONG bytes) : begin_(set), end_(set + bytes) {}

    const UCHAR* Begin() const { return begin_; }
    const UCHAR* End() const { return end_; }

    // The descriptor at `at` when it is whole, else null.
    const UCHAR* At(const UCHAR* at) const;
    // The descriptor after `descriptor`, or null.
    const UCHAR* Next(const UCHAR* descriptor) const { return At(descriptor + descriptor[0]); }

    // The first interface descriptor at or after `from` that matches.
    const UCHAR* FindInterface(const UCHAR* from, const InterfaceMatch& match) const;
    // Where the region of an interface descriptor ends: at the next interface
    // descriptor, or where the walk ends.
    const UCHAR* RegionEnd(const UCHAR* interfaceDescriptor) const;
    // The first descriptor of `type` (and `subtype`, unless -1) in [from, limit).
    const UCHAR* Find(const UCHAR* from, const UCHAR* limit, UCHAR type, LONG subtype = -1) const;

private:
    const UCHAR* begin_;
    const UCHAR* end_;
};

}  // namespace vq7
