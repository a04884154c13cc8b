#include "audioengine/ks_requests.h"

namespace audioengine {

KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags) {
    KSPROPERTY property = {};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

KSP_PIN PinProperty(const GUID& set, ULONG id, ULONG pin, ULONG flags) {
    KSP_PIN request = {};
    request.Property = Property(set, id, flags);
    request.PinId = pin;
    return request;
}

KSNODEPROPERTY NodeProperty(const GUID& set, ULONG id, ULONG node, ULONG flags) {
    KSNODEPROPERTY request = {};
    request.Property = Property(set, id, flags | KSPROPERTY_TYPE_TOPOLOGY);
    request.NodeId = node;
    return request;
}

NTSTATUS KsHandle::Send(const void* request, ULONG requestBytes, void* value, ULONG valueBytes,
                        ULONG* returned) const {
    ULONG transferred = 0;
    const NTSTATUS status = client_.DeviceIoControl(handle_, IOCTL_KS_PROPERTY, request, requestBytes, value,
                                                    valueBytes, &transferred);
    if (returned != nullptr) {
        *returned = transferred;
    }
    return status;
}

NTSTATUS KsHandle::GetVariable(const void* request, ULONG requestBytes, std::vector<uint8_t>* value) const {
    ULONG needed = 0;
    NTSTATUS status = Send(request, requestBytes, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;  // a variable answer never fits in nothing
    }
    value->assign(needed, 0);
    ULONG returned = 0;
    status = Send(request, requestBytes, value->data(), needed, &returned);
    if (NT_SUCCESS(status)) {
        value->resize(returned);
    }
    return status;
}

}  // namespace audioengine
