// IOCTL_KS_PROPERTY on a filter or a pin. The request (METHOD_NEITHER: the
// caller's own buffers) is captured first; a node request
// (KSPROPERTY_TYPE_TOPOLOGY, a KSNODEPROPERTY) goes to its node's automation
// table; any other to PortCls's own sets for the object, then to the
// filter's or the pin's automation table. Before PortCls's own handlers run
// it checks the item's minimum request and value sizes; a miniport's
// handler negotiates its value size itself, and the size it leaves in
// ValueSize is the request's Information. Basic support goes to a
// miniport's handler only when its item declares it; otherwise PortCls
// answers with the item's access flags.

#include <string.h>

#include "property_request.h"

namespace pc {

namespace {

constexpr ULONG kVerbs = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT |
                         KSPROPERTY_TYPE_SETSUPPORT;
constexpr USHORT kVtIllegal = 0xFFFF;

bool SingleVerb(ULONG verb) { return verb != 0 && (verb & ~kVerbs) == 0 && (verb & (verb - 1)) == 0; }

// The answer to basic support PortCls gives itself: the description when
// the buffer holds one, else the access flags alone.
NTSTATUS DefaultBasicSupport(PropertyCall& call, ULONG verbs) {
    ULONG access = (verbs & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET)) | KSPROPERTY_TYPE_BASICSUPPORT;
    if (call.valueLength == 0) {
        call.information = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (call.valueLength >= sizeof(KSPROPERTY_DESCRIPTION)) {
        KSPROPERTY_DESCRIPTION description = {};
        description.AccessFlags = access;
        description.DescriptionSize = sizeof description;
        description.PropTypeSet.Set = KSPROPTYPESETID_General;
        description.PropTypeSet.Id = kVtIllegal;
        memcpy(call.value, &description, sizeof description);
        call.information = sizeof description;
        return STATUS_SUCCESS;
    }
    if (call.valueLength >= sizeof(ULONG)) {
        memcpy(call.value, &access, sizeof access);
        call.information = sizeof access;
        return STATUS_SUCCESS;
    }
    return STATUS_BUFFER_TOO_SMALL;
}

const PortClsPropertyItem* FindOwnItem(const PortClsPropertyTable& table, const KSPROPERTY& property, bool* setKnown) {
    for (ULONG i = 0; i < table.count; ++i) {
        if (IsEqualGUID(*table.items[i].set, property.Set)) {
            *setKnown = true;
            if (table.items[i].id == property.Id) return &table.items[i];
        }
    }
    return nullptr;
}

NTSTATUS DispatchOwn(PropertyCall& call, const PortClsPropertyItem& item) {
    if (call.verb == KSPROPERTY_TYPE_SETSUPPORT) {
        return STATUS_SUCCESS;
    }
    if (call.verb == KSPROPERTY_TYPE_BASICSUPPORT) {
        return DefaultBasicSupport(call, item.verbs);
    }
    if ((item.verbs & call.verb) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (call.propertyLength < item.minProperty) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (item.minData != 0 && call.valueLength == 0) {
        call.information = item.minData;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (call.valueLength < item.minData) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return item.handler(call);
}

// Items are PropertyItemSize bytes apart.
const PCPROPERTY_ITEM* FindAutomationItem(const PCAUTOMATION_TABLE* table, const KSPROPERTY& property) {
    if (table == nullptr) {
        return nullptr;
    }
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        const auto* item = reinterpret_cast<const PCPROPERTY_ITEM*>(reinterpret_cast<const UCHAR*>(table->Properties) +
                                                                    static_cast<SIZE_T>(i) * table->PropertyItemSize);
        if (IsEqualGUID(*item->Set, property.Set) && item->Id == property.Id) return item;
    }
    return nullptr;
}

NTSTATUS DispatchAutomation(PropertyCall& call, const PCAUTOMATION_TABLE* table, ULONG node, ULONG instanceOffset) {
    const PCPROPERTY_ITEM* item = FindAutomationItem(table, *call.property);
    if (item == nullptr) {
        return STATUS_NOT_FOUND;
    }
    if (call.verb == KSPROPERTY_TYPE_SETSUPPORT) {
        return STATUS_SUCCESS;
    }
    if (call.verb == KSPROPERTY_TYPE_BASICSUPPORT && (item->Flags & PCPROPERTY_ITEM_FLAG_BASICSUPPORT) == 0) {
        return DefaultBasicSupport(call, item->Flags);
    }
    if ((item->Flags & call.verb) == 0 || item->Handler == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PCPROPERTY_REQUEST request = {};
    request.MajorTarget = call.miniport;
    request.MinorTarget = call.pin != nullptr ? call.pin->stream : nullptr;
    request.Node = node;
    request.PropertyItem = item;
    request.Verb = call.verb;
    request.InstanceSize = call.propertyLength - instanceOffset;
    request.Instance = request.InstanceSize != 0 ? const_cast<UCHAR*>(reinterpret_cast<const UCHAR*>(call.property) +
                                                                       instanceOffset)
                                                 : nullptr;
    request.ValueSize = call.valueLength;
    request.Value = call.valueLength != 0 ? call.value : nullptr;
    request.Irp = call.irp;
    NTSTATUS status = item->Handler(&request);
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
        call.information = request.ValueSize;
    }
    return status;
}

NTSTATUS DispatchNode(PropertyCall& call) {
    if (call.propertyLength < sizeof(KSNODEPROPERTY)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    ULONG node = reinterpret_cast<const KSNODEPROPERTY*>(call.property)->NodeId;
    if (node >= call.descriptor->NodeCount) {
        return STATUS_INVALID_PARAMETER;
    }
    return DispatchAutomation(call, NodeDescriptorAt(*call.descriptor, node).AutomationTable, node,
                              sizeof(KSNODEPROPERTY));
}

NTSTATUS Dispatch(PropertyCall& call, bool topology) {
    if (!SingleVerb(call.verb)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (topology) {
        return DispatchNode(call);
    }
    bool setKnown = false;
    const PortClsPropertyItem* own =
        FindOwnItem(call.pin != nullptr ? PinPropertyTable() : FilterPropertyTable(), *call.property, &setKnown);
    if (own != nullptr) {
        return DispatchOwn(call, *own);
    }
    const PCAUTOMATION_TABLE* table = call.pin != nullptr
                                          ? PinDescriptorAt(*call.descriptor, call.pin->id).AutomationTable
                                          : call.descriptor->AutomationTable;
    return DispatchAutomation(call, table, PCFILTER_NODE, sizeof(KSPROPERTY));
}

// The request and value in PortCls's memory, freed when the call ends.
struct Captured {
    PVOID property = nullptr;
    PVOID value = nullptr;
    ~Captured() {
        if (property != nullptr) ExFreePoolWithTag(property, kPortClsTag);
        if (value != nullptr) ExFreePoolWithTag(value, kPortClsTag);
    }
};

NTSTATUS Capture(PIO_STACK_LOCATION stack, PIRP irp, Captured& captured) {
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const void* input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    if (inputLength < sizeof(KSPROPERTY) || input == nullptr) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (outputLength != 0 && irp->UserBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    captured.property = ExAllocatePoolWithTag(NonPagedPoolNx, inputLength, kPortClsTag);
    if (captured.property == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(captured.property, input, inputLength);
    if (outputLength != 0) {
        captured.value = ExAllocatePoolWithTag(NonPagedPoolNx, outputLength, kPortClsTag);
        if (captured.value == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memcpy(captured.value, irp->UserBuffer, outputLength);  // a SET's value, or what a GET overwrites
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS AnswerBytes(PropertyCall& call, const void* answer, ULONG needed) {
    if (call.valueLength == 0) {
        call.information = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (call.valueLength < needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(call.value, answer, needed);
    call.information = needed;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL.
NTSTATUS HandleProperty(KsObject& object, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    Captured captured;
    NTSTATUS status = Capture(stack, irp, captured);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PropertyCall call = {};
    call.property = static_cast<const KSPROPERTY*>(captured.property);
    call.propertyLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    call.value = captured.value;
    call.valueLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    call.verb = call.property->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
    call.irp = irp;
    bool topology = (call.property->Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0;
    if (object.kind == KsObject::Kind::Pin) {
        call.pin = static_cast<Pin*>(&object);
        call.filter = call.pin->filter;
        call.miniport = call.pin->miniport;
        call.miniport->AddRef();
        call.descriptor = call.pin->descriptor;
        KeWaitForSingleObject(&call.pin->lock, Executive, KernelMode, FALSE, nullptr);
        status = Dispatch(call, topology);
        KeReleaseMutex(&call.pin->lock, FALSE);
    } else {
        call.filter = static_cast<Filter*>(&object);
        if (!call.filter->port->ReferenceMiniport(&call.miniport, &call.descriptor)) {
            return STATUS_DEVICE_NOT_CONNECTED;  // the subdevice went while the filter stayed open
        }
        status = Dispatch(call, topology);
    }
    call.miniport->Release();
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
        irp->IoStatus.Information = call.information;
        ULONG back = call.information < call.valueLength ? static_cast<ULONG>(call.information) : call.valueLength;
        if (back != 0) memcpy(irp->UserBuffer, call.value, back);
    }
    return status;
}

}  // namespace pc
