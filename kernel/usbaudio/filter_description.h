// The WaveRT filter's description as the class layer builds it from the
// audio model: the PortCls filter descriptor with its pin, node and
// connection arrays, and the two data-range lists the streaming pins use.
// The filter owns the block (zeroed before the build); the class layer fills
// and frees what it points at.
#pragma once

#include <ntddk.h>
#include <portcls.h>

class CUSBAudioEntity;

namespace vq7 {

// One direction's data ranges: `count` pointers, each to a
// KSDATARANGE_AUDIO, and on Windows 8.1 and later a last one to the
// KSATTRIBUTE_LIST that follows a range flagged KSDATARANGE_ATTRIBUTES.
struct DataRangeList {
    ULONG count;
    PKSDATARANGE* dataRanges;
};

// A pin or a node record of the description. PortCls reads the leading
// descriptor (a PCPIN_DESCRIPTOR in Pins, a PCNODE_DESCRIPTOR in Nodes) and
// steps by PinSize or NodeSize; the builder's own members follow it: the
// entity behind the element (a pin's terminal, a node's unit; none for the
// converters), its number, whether it is a pin, and its place in one of the
// two ordered chains the connections are made from.
struct FilterElement {
    union {
        PCPIN_DESCRIPTOR pin;
        PCNODE_DESCRIPTOR node;
    };
    CUSBAudioEntity* entity;
    ULONG number;
    UCHAR isPin;
    LIST_ENTRY link;
};
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112, "the pin descriptor fills the record's head");
static_assert(offsetof(FilterElement, entity) == 112, "FilterElement layout");
static_assert(offsetof(FilterElement, number) == 120, "FilterElement layout");
static_assert(offsetof(FilterElement, isPin) == 124, "FilterElement layout");
static_assert(offsetof(FilterElement, link) == 128, "FilterElement layout");
static_assert(sizeof(FilterElement) == 144, "pin and node records are 144 bytes");

}  // namespace vq7

// The descriptor PortCls gets from the miniport, then the capture and the
// render data-range lists.
struct FilterDescriptionBlock {
    PCFILTER_DESCRIPTOR descriptor;
    vq7::DataRangeList capture;
    vq7::DataRangeList render;
};
static_assert(offsetof(FilterDescriptionBlock, capture) == 80, "FilterDescriptionBlock layout");
static_assert(offsetof(FilterDescriptionBlock, render) == 96, "FilterDescriptionBlock layout");
static_assert(sizeof(FilterDescriptionBlock) == 112, "FilterDescriptionBlock layout");

namespace vq7 {

// The records of a built description (no bounds beyond the counts).
inline FilterElement* FilterPins(const FilterDescriptionBlock& block) {
    return reinterpret_cast<FilterElement*>(const_cast<PCPIN_DESCRIPTOR*>(block.descriptor.Pins));
}
inline FilterElement* FilterNodes(const FilterDescriptionBlock& block) {
    return reinterpret_cast<FilterElement*>(const_cast<PCNODE_DESCRIPTOR*>(block.descriptor.Nodes));
}

}  // namespace vq7
