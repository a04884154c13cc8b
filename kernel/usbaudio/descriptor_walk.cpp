#include "descriptor_walk.h"

namespace vq7 {

const UCHAR* DescriptorWalk::At(const UCHAR* at) const {
    if (at < begin_ || at + 2 > end_) {
        return nullptr;
    }
    UCHAR length = at[0];
    if (length < 2 || length > static_cast<ULONG_PTR>(end_ - at)) {
        return nullptr;
    }
    return at;
}

const UCHAR* DescriptorWalk::FindInterface(const UCHAR* from, const InterfaceMatch& match) const {
    for (const UCHAR* d = At(from); d != nullptr; d = Next(d)) {
        if (DescriptorType(d) != kInterfaceDescriptorType || DescriptorLength(d) < kInterfaceDescriptorBytes) {
            continue;
        }
        bool matches = (match.number == -1 || match.number == d[2]) &&
                       (match.alternate == -1 || match.alternate == d[3]) &&
                       (match.interfaceClass == -1 || match.interfaceClass == d[5]) &&
                       (match.subClass == -1 || match.subClass == d[6]);
        if (matches) {
            return d;
        }
    }
    return nullptr;
}

const UCHAR* DescriptorWalk::RegionEnd(const UCHAR* interfaceDescriptor) const {
    const UCHAR* d = Next(interfaceDescriptor);
    const UCHAR* last = interfaceDescriptor + interfaceDescriptor[0];
    for (; d != nullptr; d = Next(d)) {
        if (DescriptorType(d) == kInterfaceDescriptorType) {
            return d;
        }
        last = d + d[0];
    }
    return last;  // where the walk stopped
}

const UCHAR* DescriptorWalk::Find(const UCHAR* from, const UCHAR* limit, UCHAR type, LONG subtype) const {
    for (const UCHAR* d = At(from); d != nullptr && d < limit; d = Next(d)) {
        if (DescriptorType(d) == type && (subtype == -1 || DescriptorSubtype(d) == subtype)) {
            return d + d[0] <= limit ? d : nullptr;
        }
    }
    return nullptr;
}

}  // namespace vq7
