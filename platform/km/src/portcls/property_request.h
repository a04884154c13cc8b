// A kernel-streaming property request as PortCls handles it: the request
// and value captured in PortCls's memory, the object it is addressed to,
// and the items of PortCls's own property sets (the pin and topology sets
// on a filter, the connection, WaveRT and position properties on a pin),
// which carry the minimum sizes PortCls checks before a handler runs.
#pragma once

#include "ks_objects.h"

namespace pc {

struct PropertyCall {
    Filter* filter;                         // the filter, or the pin's filter
    Pin* pin;                               // null on a filter
    PMINIPORTWAVERT miniport;               // referenced for the request
    const PCFILTER_DESCRIPTOR* descriptor;  // the miniport's
    const KSPROPERTY* property;             // the request, captured
    ULONG propertyLength;
    ULONG verb;  // one KSPROPERTY_TYPE_* (without KSPROPERTY_TYPE_TOPOLOGY)
    PVOID value;  // captured; copied back to the caller for Information bytes
    ULONG valueLength;
    ULONG_PTR information;
    PIRP irp;
};

typedef NTSTATUS (*PortClsPropertyHandler)(PropertyCall& call);

struct PortClsPropertyItem {
    const GUID* set;
    ULONG id;
    ULONG verbs;        // KSPROPERTY_TYPE_GET / SET
    ULONG minProperty;  // bytes of request, KSPROPERTY included
    ULONG minData;      // bytes of value; 0 when the handler sizes its answer itself
    PortClsPropertyHandler handler;
};

struct PortClsPropertyTable {
    const PortClsPropertyItem* items;
    ULONG count;
};

const PortClsPropertyTable& FilterPropertyTable();  // filter_properties.cpp
const PortClsPropertyTable& PinPropertyTable();     // pin_properties.cpp

// An answer of `needed` bytes: STATUS_BUFFER_OVERFLOW with the size when the
// caller gave no buffer, STATUS_BUFFER_TOO_SMALL when it is short, else the
// bytes copied and STATUS_SUCCESS.
NTSTATUS AnswerBytes(PropertyCall& call, const void* answer, ULONG needed);

}  // namespace pc
