// A pin's creation and close. A create relative to a filter's file object,
// named KSSTRING_Pin, a backslash and the connection request (a
// KSPIN_CONNECT followed by the data format), passes PortCls's checks in
// this order: the request's size, the pin id, the interface and medium, the
// pin's instance counts (on this filter, then across the subdevice), and
// the format against the pin's data ranges. Then the port makes the pin's
// port stream and the miniport's NewStream makes its stream. Close steps
// the stream down to KSSTATE_STOP, frees what the pin still holds and
// releases the stream, the miniport and the port.

#include <new>

#include "../verifier.h"
#include "../wide_text.h"
#include "data_ranges.h"
#include "ks_objects.h"
#include "port_wavert_stream.h"

namespace pc {

namespace {

// The request as KsCreatePin sends it, captured in PortCls's own memory.
struct ConnectRequest {
    KSPIN_CONNECT connect;
    KSDATAFORMAT format;  // FormatSize bytes, of which the header is this
};

// The request's bytes: what follows "<KSSTRING_Pin>\" in the file name.
// False when the name is not a pin's.
bool PinRequestBytes(PFILE_OBJECT file, const UCHAR** bytes, ULONG* length) {
    std::u16string_view name = km::View(&file->FileName);
    if (!name.empty() && name[0] == u'\\') {
        name.remove_prefix(1);
    }
    std::u16string_view pin = km::View(KSSTRING_Pin);
    if (name.size() <= pin.size() || km::Upcase(name.substr(0, pin.size())) != km::Upcase(pin) ||
        name[pin.size()] != u'\\') {
        return false;
    }
    const auto* start = reinterpret_cast<const UCHAR*>(name.data() + pin.size() + 1);
    const auto* end = reinterpret_cast<const UCHAR*>(file->FileName.Buffer) + file->FileName.Length;
    *bytes = start;
    *length = static_cast<ULONG>(end - start);
    return true;
}

bool SameIdentifier(const KSIDENTIFIER& a, const KSIDENTIFIER& b) {
    return IsEqualGUID(a.Set, b.Set) && a.Id == b.Id;
}

// A pin that lists no interfaces offers the standard streaming ones; one
// that lists no mediums, the standard medium.
bool InterfaceOffered(const KSPIN_DESCRIPTOR& pin, const KSPIN_INTERFACE& wanted) {
    if (pin.InterfacesCount == 0) {
        return IsEqualGUID(wanted.Set, KSINTERFACESETID_Standard) &&
               (wanted.Id == KSINTERFACE_STANDARD_STREAMING || wanted.Id == KSINTERFACE_STANDARD_LOOPED_STREAMING);
    }
    for (ULONG i = 0; i < pin.InterfacesCount; ++i) {
        if (SameIdentifier(pin.Interfaces[i], wanted)) return true;
    }
    return false;
}

bool MediumOffered(const KSPIN_DESCRIPTOR& pin, const KSPIN_MEDIUM& wanted) {
    if (pin.MediumsCount == 0) {
        return IsEqualGUID(wanted.Set, KSMEDIUMSETID_Standard) && wanted.Id == KSMEDIUM_TYPE_ANYINSTANCE;
    }
    for (ULONG i = 0; i < pin.MediumsCount; ++i) {
        if (SameIdentifier(pin.Mediums[i], wanted)) return true;
    }
    return false;
}

bool FormatAccepted(const KSPIN_DESCRIPTOR& pin, const KSDATAFORMAT& format) {
    for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
        if (!IsAttributeListEntry(pin, i) && pin.DataRanges[i] != nullptr && FormatInRange(format, *pin.DataRanges[i])) {
            return true;
        }
    }
    return false;
}

// The filter's count of pin `id`: takes one unless `limit` are open.
bool TakeFilterInstance(Filter& filter, ULONG id, ULONG limit) {
    std::lock_guard<std::mutex> guard(filter.lock);
    ULONG& count = filter.pinInstances[id];
    if (count >= limit) {
        return false;
    }
    count += 1;
    return true;
}

void GiveFilterInstance(Filter& filter, ULONG id) {
    std::lock_guard<std::mutex> guard(filter.lock);
    filter.pinInstances[id] -= 1;
}

NTSTATUS CheckRequest(const ConnectRequest& request, ULONG length, const PCFILTER_DESCRIPTOR& descriptor) {
    if (request.format.FormatSize < sizeof(KSDATAFORMAT) ||
        request.format.FormatSize > length - sizeof(KSPIN_CONNECT)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request.connect.PinId >= descriptor.PinCount) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request.connect.PinToHandle != nullptr) {
        return STATUS_NOT_SUPPORTED;  // pin-to-pin connections are not simulated
    }
    const KSPIN_DESCRIPTOR& pin = PinDescriptorAt(descriptor, request.connect.PinId).KsPinDescriptor;
    if (!InterfaceOffered(pin, request.connect.Interface) || !MediumOffered(pin, request.connect.Medium)) {
        return STATUS_NO_MATCH;
    }
    return STATUS_SUCCESS;
}

// Frees what a pin holds, in the reverse order of its creation; for a pin
// that is being closed and for one whose creation failed half way.
void DestroyPin(Pin* pin) {
    if (pin->notification != nullptr) pin->notification->Release();
    if (pin->stream != nullptr) pin->stream->Release();
    if (pin->portStream != nullptr) pin->portStream->Release();
    if (pin->miniport != nullptr) pin->miniport->Release();
    if (pin->format != nullptr) {
        ExFreePoolWithTag(CONTAINING_RECORD(pin->format, ConnectRequest, format), kPortClsTag);
    }
    pin->port->Release();
    pin->~Pin();
    ExFreePoolWithTag(pin, kPortClsTag);
}

NTSTATUS MakeStream(Pin& pin) {
    NTSTATUS status = NewPortWaveRTStream(&pin.portStream);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = pin.miniport->NewStream(&pin.stream, pin.portStream, pin.id, pin.capture, pin.format);
    if (!NT_SUCCESS(status)) {
        pin.stream = nullptr;
        return status;
    }
    if (pin.stream == nullptr) {
        km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, nullptr, "IMiniportWaveRT::NewStream succeeded with no stream");
    }
    if (!NT_SUCCESS(pin.stream->QueryInterface(IID_IMiniportWaveRTStreamNotification,
                                               reinterpret_cast<PVOID*>(&pin.notification)))) {
        pin.notification = nullptr;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CreatePin(Filter& filter, PFILE_OBJECT file) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "a pin's creation");
    const UCHAR* bytes;
    ULONG length;
    if (!PinRequestBytes(file, &bytes, &length)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;  // no other object class is created under a filter
    }
    if (length < sizeof(ConnectRequest)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* pin = static_cast<Pin*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Pin), kPortClsTag));
    if (pin == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    new (pin) Pin{};
    pin->kind = KsObject::Kind::Pin;
    pin->filter = &filter;
    pin->port = filter.port;
    pin->port->AddRef();
    pin->state = KSSTATE_STOP;
    KeInitializeMutex(&pin->lock, 0);
    if (!pin->port->ReferenceMiniport(&pin->miniport, &pin->descriptor)) {
        pin->miniport = nullptr;
        DestroyPin(pin);
        return STATUS_DEVICE_NOT_CONNECTED;  // the subdevice went while the filter stayed open
    }
    auto* request = static_cast<ConnectRequest*>(ExAllocatePoolWithTag(NonPagedPoolNx, length, kPortClsTag));
    if (request == nullptr) {
        DestroyPin(pin);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(request, bytes, length);
    pin->format = &request->format;
    NTSTATUS status = CheckRequest(*request, length, *pin->descriptor);
    if (!NT_SUCCESS(status)) {
        DestroyPin(pin);
        return status;
    }
    pin->id = request->connect.PinId;
    const PCPIN_DESCRIPTOR& descriptor = PinDescriptorAt(*pin->descriptor, pin->id);
    pin->capture = descriptor.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;
    if (!TakeFilterInstance(filter, pin->id, descriptor.MaxFilterInstanceCount)) {
        DestroyPin(pin);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!pin->port->TakePinInstance(pin->id, descriptor.MaxGlobalInstanceCount)) {
        GiveFilterInstance(filter, pin->id);
        DestroyPin(pin);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = FormatAccepted(descriptor.KsPinDescriptor, request->format) ? MakeStream(*pin) : STATUS_NO_MATCH;
    if (!NT_SUCCESS(status)) {
        pin->port->GivePinInstance(pin->id);
        GiveFilterInstance(filter, pin->id);
        DestroyPin(pin);
        return status;
    }
    RememberObject(pin);
    file->FsContext = pin;
    return STATUS_SUCCESS;
}

void ClosePin(Pin* pin) {
    KeWaitForSingleObject(&pin->lock, Executive, KernelMode, FALSE, nullptr);
    (void)StepPinState(*pin, KSSTATE_STOP);  // a refusal on the way down changes nothing: the pin goes
    for (PKEVENT event : pin->events) {
        (void)pin->notification->UnregisterNotificationEvent(event);
        ObDereferenceObject(event);
    }
    pin->events.clear();
    FreePinBuffer(*pin);
    KeReleaseMutex(&pin->lock, FALSE);
    pin->port->GivePinInstance(pin->id);
    GiveFilterInstance(*pin->filter, pin->id);
    DestroyPin(pin);
}

}  // namespace pc
