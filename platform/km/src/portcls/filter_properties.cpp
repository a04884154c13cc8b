// PortCls's own properties of a filter: the pin set (what each pin is, its
// ranges and instances, and the data intersection, which asks the
// miniport's DataRangeIntersection first and falls back to PortCls's own)
// and the topology set (categories, nodes, connections), answered from the
// miniport's filter description.

#include <string.h>

#include <vector>

#include "data_ranges.h"
#include "property_request.h"

namespace pc {

namespace {

constexpr ULONG kItemAlignment = 8;  // items of a KSMULTIPLE_ITEM list start on 8 bytes

ULONG Aligned(ULONG bytes) { return (bytes + kItemAlignment - 1) & ~(kItemAlignment - 1); }

// The pin a KSP_PIN request names, or null for an id past the filter's pins.
const PCPIN_DESCRIPTOR* PinOf(PropertyCall& call) {
    ULONG id = reinterpret_cast<const KSP_PIN*>(call.property)->PinId;
    return id < call.descriptor->PinCount ? &PinDescriptorAt(*call.descriptor, id) : nullptr;
}

// A KSMULTIPLE_ITEM followed by `count` items of `size` bytes each.
NTSTATUS AnswerList(PropertyCall& call, const void* items, ULONG count, ULONG size) {
    std::vector<UCHAR> answer(sizeof(KSMULTIPLE_ITEM) + static_cast<size_t>(count) * size);
    KSMULTIPLE_ITEM header = {static_cast<ULONG>(answer.size()), count};
    memcpy(answer.data(), &header, sizeof header);
    if (count != 0) memcpy(answer.data() + sizeof header, items, static_cast<size_t>(count) * size);
    return AnswerBytes(call, answer.data(), static_cast<ULONG>(answer.size()));
}

template <typename Value>
NTSTATUS AnswerPinValue(PropertyCall& call, Value (*read)(PropertyCall&, const PCPIN_DESCRIPTOR&)) {
    const PCPIN_DESCRIPTOR* pin = PinOf(call);
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Value value = read(call, *pin);
    return AnswerBytes(call, &value, sizeof value);
}

NTSTATUS PinCTypes(PropertyCall& call) { return AnswerBytes(call, &call.descriptor->PinCount, sizeof(ULONG)); }

NTSTATUS PinDataFlow(PropertyCall& call) {
    return AnswerPinValue<KSPIN_DATAFLOW>(call, [](PropertyCall&, const PCPIN_DESCRIPTOR& pin) {
        return pin.KsPinDescriptor.DataFlow;
    });
}

NTSTATUS PinCommunication(PropertyCall& call) {
    return AnswerPinValue<KSPIN_COMMUNICATION>(call, [](PropertyCall&, const PCPIN_DESCRIPTOR& pin) {
        return pin.KsPinDescriptor.Communication;
    });
}

NTSTATUS PinNecessaryInstances(PropertyCall& call) {
    return AnswerPinValue<ULONG>(call, [](PropertyCall&, const PCPIN_DESCRIPTOR& pin) {
        return pin.MinFilterInstanceCount;
    });
}

NTSTATUS PinCInstances(PropertyCall& call) {
    return AnswerPinValue<KSPIN_CINSTANCES>(call, [](PropertyCall& c, const PCPIN_DESCRIPTOR& pin) {
        ULONG id = reinterpret_cast<const KSP_PIN*>(c.property)->PinId;
        std::lock_guard<std::mutex> guard(c.filter->lock);
        auto found = c.filter->pinInstances.find(id);
        return KSPIN_CINSTANCES{pin.MaxFilterInstanceCount, found != c.filter->pinInstances.end() ? found->second : 0};
    });
}

NTSTATUS PinGlobalCInstances(PropertyCall& call) {
    return AnswerPinValue<KSPIN_CINSTANCES>(call, [](PropertyCall& c, const PCPIN_DESCRIPTOR& pin) {
        ULONG id = reinterpret_cast<const KSP_PIN*>(c.property)->PinId;
        return KSPIN_CINSTANCES{pin.MaxGlobalInstanceCount, c.filter->port->PinInstances(id)};
    });
}

NTSTATUS PinCategory(PropertyCall& call) {
    const PCPIN_DESCRIPTOR* pin = PinOf(call);
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pin->KsPinDescriptor.Category == nullptr) {
        return STATUS_NOT_FOUND;
    }
    return AnswerBytes(call, pin->KsPinDescriptor.Category, sizeof(GUID));
}

// A pin that lists no interfaces or mediums has the standard ones.
NTSTATUS PinInterfaces(PropertyCall& call) {
    const PCPIN_DESCRIPTOR* pin = PinOf(call);
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
    if (ks.InterfacesCount != 0) {
        return AnswerList(call, ks.Interfaces, ks.InterfacesCount, sizeof(KSPIN_INTERFACE));
    }
    KSPIN_INTERFACE standard[2] = {};
    standard[0].Set = KSINTERFACESETID_Standard;
    standard[0].Id = KSINTERFACE_STANDARD_STREAMING;
    standard[1].Set = KSINTERFACESETID_Standard;
    standard[1].Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
    return AnswerList(call, standard, 2, sizeof(KSPIN_INTERFACE));
}

NTSTATUS PinMediums(PropertyCall& call) {
    const PCPIN_DESCRIPTOR* pin = PinOf(call);
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
    if (ks.MediumsCount != 0) {
        return AnswerList(call, ks.Mediums, ks.MediumsCount, sizeof(KSPIN_MEDIUM));
    }
    KSPIN_MEDIUM standard = {};
    standard.Set = KSMEDIUMSETID_Standard;
    standard.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    return AnswerList(call, &standard, 1, sizeof standard);
}

// Each list entry 8-byte aligned; an attribute list (the entry after a range
// flagged KSDATARANGE_ATTRIBUTES) as a KSMULTIPLE_ITEM of its attributes.
// Count is the number of entries, attribute lists included.
void AppendRanges(std::vector<UCHAR>& answer, ULONG count, const PKSDATARANGE* ranges) {
    for (ULONG i = 0; i < count; ++i) {
        size_t at = answer.size();
        if (i > 0 && (ranges[i - 1]->Flags & KSDATARANGE_ATTRIBUTES) != 0) {
            const auto* list = reinterpret_cast<const KSATTRIBUTE_LIST*>(ranges[i]);
            answer.resize(at + sizeof(KSMULTIPLE_ITEM));
            for (ULONG a = 0; a < list->Count; ++a) {
                size_t from = answer.size();
                answer.resize(from + Aligned(list->Attributes[a]->Size));
                memcpy(answer.data() + from, list->Attributes[a], list->Attributes[a]->Size);
            }
            KSMULTIPLE_ITEM header = {static_cast<ULONG>(answer.size() - at), list->Count};
            memcpy(answer.data() + at, &header, sizeof header);
        } else {
            answer.resize(at + Aligned(ranges[i]->FormatSize));
            memcpy(answer.data() + at, ranges[i], ranges[i]->FormatSize);
        }
    }
}

NTSTATUS AnswerRanges(PropertyCall& call, bool constrained) {
    const PCPIN_DESCRIPTOR* pin = PinOf(call);
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
    ULONG count = constrained && ks.ConstrainedDataRanges != nullptr ? ks.ConstrainedDataRangesCount : ks.DataRangesCount;
    const PKSDATARANGE* ranges = constrained && ks.ConstrainedDataRanges != nullptr ? ks.ConstrainedDataRanges : ks.DataRanges;
    std::vector<UCHAR> answer(sizeof(KSMULTIPLE_ITEM));
    AppendRanges(answer, count, ranges);
    KSMULTIPLE_ITEM header = {static_cast<ULONG>(answer.size()), count};
    memcpy(answer.data(), &header, sizeof header);
    return AnswerBytes(call, answer.data(), static_cast<ULONG>(answer.size()));
}

NTSTATUS PinDataRanges(PropertyCall& call) { return AnswerRanges(call, false); }
NTSTATUS PinConstrainedDataRanges(PropertyCall& call) { return AnswerRanges(call, true); }

// One client range against every range of the pin, in the pin's order.
NTSTATUS IntersectOne(PropertyCall& call, ULONG id, const KSPIN_DESCRIPTOR& pin, const KSDATARANGE& client) {
    for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
        if (IsAttributeListEntry(pin, i) || pin.DataRanges[i] == nullptr || !RangesMeet(client, *pin.DataRanges[i])) {
            continue;
        }
        ULONG length = 0;
        NTSTATUS status = call.miniport->DataRangeIntersection(id, const_cast<PKSDATARANGE>(&client), pin.DataRanges[i],
                                                               call.valueLength, call.valueLength != 0 ? call.value : nullptr,
                                                               &length);
        if (status == STATUS_NOT_IMPLEMENTED) {
            status = DefaultIntersection(client, *pin.DataRanges[i], call.valueLength, call.value, &length);
        }
        if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
            call.information = length;
            return status;
        }
        if (status == STATUS_BUFFER_TOO_SMALL) {
            return status;
        }
    }
    return STATUS_NO_MATCH;
}

// The request: a KSP_PIN, then a KSMULTIPLE_ITEM of the client's ranges
// (each 8-byte aligned, an attribute list after a flagged range), tried in
// order; the first the pin can meet gives the format.
NTSTATUS PinDataIntersection(PropertyCall& call) {
    const PCPIN_DESCRIPTOR* pin = PinOf(call);
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR* list = reinterpret_cast<const UCHAR*>(call.property) + sizeof(KSP_PIN);
    KSMULTIPLE_ITEM header;
    memcpy(&header, list, sizeof header);
    if (header.Size < sizeof header || header.Size > call.propertyLength - sizeof(KSP_PIN)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    ULONG id = reinterpret_cast<const KSP_PIN*>(call.property)->PinId;
    ULONG offset = sizeof header;
    bool attributesNext = false;
    for (ULONG i = 0; i < header.Count; ++i) {
        if (offset + sizeof(ULONG) > header.Size) {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        ULONG size;
        memcpy(&size, list + offset, sizeof size);  // FormatSize, or an attribute list's Size
        if (size < (attributesNext ? sizeof(KSMULTIPLE_ITEM) : sizeof(KSDATARANGE)) || size > header.Size - offset) {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        if (!attributesNext) {
            const auto& client = *reinterpret_cast<const KSDATARANGE*>(list + offset);
            NTSTATUS status = IntersectOne(call, id, pin->KsPinDescriptor, client);
            if (status != STATUS_NO_MATCH) {
                return status;
            }
            attributesNext = (client.Flags & KSDATARANGE_ATTRIBUTES) != 0;
        } else {
            attributesNext = false;
        }
        offset += Aligned(size);
    }
    return STATUS_NO_MATCH;
}

NTSTATUS TopologyCategories(PropertyCall& call) {
    return AnswerList(call, call.descriptor->Categories, call.descriptor->CategoryCount, sizeof(GUID));
}

NTSTATUS TopologyNodes(PropertyCall& call) {
    std::vector<GUID> types(call.descriptor->NodeCount);
    for (ULONG i = 0; i < call.descriptor->NodeCount; ++i) {
        const GUID* type = NodeDescriptorAt(*call.descriptor, i).Type;
        types[i] = type != nullptr ? *type : GUID{};
    }
    return AnswerList(call, types.data(), static_cast<ULONG>(types.size()), sizeof(GUID));
}

NTSTATUS TopologyConnections(PropertyCall& call) {
    static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == sizeof(KSTOPOLOGY_CONNECTION), "the same record");
    return AnswerList(call, call.descriptor->Connections, call.descriptor->ConnectionCount,
                      sizeof(KSTOPOLOGY_CONNECTION));
}

constexpr ULONG kGet = KSPROPERTY_TYPE_GET;

const PortClsPropertyItem kFilterItems[] = {
    // set, id, verbs, request bytes, value bytes (0: sized by the handler), handler
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, kGet, sizeof(KSPROPERTY), sizeof(ULONG), PinCTypes},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, kGet, sizeof(KSP_PIN), sizeof(KSPIN_DATAFLOW), PinDataFlow},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, kGet, sizeof(KSP_PIN), 0, PinDataRanges},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CONSTRAINEDDATARANGES, kGet, sizeof(KSP_PIN), 0, PinConstrainedDataRanges},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, kGet, sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), 0,
     PinDataIntersection},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, kGet, sizeof(KSP_PIN), sizeof(KSPIN_COMMUNICATION),
     PinCommunication},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, kGet, sizeof(KSP_PIN), sizeof(GUID), PinCategory},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, kGet, sizeof(KSP_PIN), sizeof(KSPIN_CINSTANCES), PinCInstances},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_GLOBALCINSTANCES, kGet, sizeof(KSP_PIN), sizeof(KSPIN_CINSTANCES),
     PinGlobalCInstances},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_NECESSARYINSTANCES, kGet, sizeof(KSP_PIN), sizeof(ULONG), PinNecessaryInstances},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_INTERFACES, kGet, sizeof(KSP_PIN), 0, PinInterfaces},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, kGet, sizeof(KSP_PIN), 0, PinMediums},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, kGet, sizeof(KSPROPERTY), 0, TopologyCategories},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, kGet, sizeof(KSPROPERTY), 0, TopologyNodes},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, kGet, sizeof(KSPROPERTY), 0, TopologyConnections},
};

const PortClsPropertyTable kFilterTable = {kFilterItems, RTL_NUMBER_OF(kFilterItems)};

}  // namespace

const PortClsPropertyTable& FilterPropertyTable() { return kFilterTable; }

}  // namespace pc
