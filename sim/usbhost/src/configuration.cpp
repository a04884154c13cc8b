// Selecting a configuration and alternate settings: the standard requests to
// the device, and the pipes the host opens from the endpoint descriptors,
// reported back in the interface information as the platform does.

#include "host_state.h"

namespace simusbhost {

namespace {

constexpr UCHAR kInterfaceDescriptor = 4;
constexpr UCHAR kEndpointDescriptor = 5;

struct InterfaceFound {
    const UCHAR* descriptor = nullptr;       // the interface descriptor
    std::vector<const UCHAR*> endpoints;     // its endpoint descriptors, at most bNumEndpoints
};

// Walks the configuration set safely: a descriptor whose bLength is below 2
// or runs past the end ends the walk.
InterfaceFound FindInterface(const std::vector<UCHAR>& configuration, UCHAR number, UCHAR alternate) {
    InterfaceFound found;
    size_t at = 0;
    while (at + 2 <= configuration.size()) {
        UCHAR length = configuration[at];
        if (length < 2 || at + length > configuration.size()) {
            break;
        }
        const UCHAR* descriptor = &configuration[at];
        UCHAR type = descriptor[1];
        if (type == kInterfaceDescriptor && length >= 9) {
            if (found.descriptor != nullptr) {
                break;  // the next interface ends this one's endpoints
            }
            if (descriptor[2] == number && descriptor[3] == alternate) {
                found.descriptor = descriptor;
            }
        } else if (type == kEndpointDescriptor && length >= 7 && found.descriptor != nullptr &&
                   found.endpoints.size() < found.descriptor[4]) {
            found.endpoints.push_back(descriptor);
        }
        at += length;
    }
    return found;
}

USHORT EffectivePacketSize(const UCHAR* endpoint, bool highSpeed) {
    USHORT raw = static_cast<USHORT>(endpoint[4] | endpoint[5] << 8);
    USHORT bytes = raw & 0x7FF;
    UCHAR type = endpoint[3] & 3;
    if (highSpeed && (type == 1 || type == 3)) {
        bytes = static_cast<USHORT>(bytes * (((raw >> 11) & 3) + 1));  // additional transactions per microframe
    }
    return bytes;
}

bool SendStandard(Slot& slot, UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex, int64_t now_ns) {
    simusb::Setup setup{bmRequestType, bRequest, wValue, wIndex, 0};
    return !slot.device->control(setup, {}, now_ns).stall;
}

void ClosePipes(Slot& slot, int interfaceNumber, std::vector<Completion>& done) {
    auto& pipes = slot.pipes;
    for (auto it = pipes.begin(); it != pipes.end();) {
        if (interfaceNumber < 0 || (*it)->interfaceNumber == interfaceNumber) {
            CancelPipeLocked(slot, **it, USBD_STATUS_CANCELED, done);
            it = pipes.erase(it);
        } else {
            ++it;
        }
    }
}

// Opens the pipes of one interface setting and reports them; fails when the
// caller's interface information has no room for them.
USBD_STATUS OpenInterface(Slot& slot, PUSBD_INTERFACE_INFORMATION info, std::vector<Completion>& done) {
    InterfaceFound found = FindInterface(slot.configuration, info->InterfaceNumber, info->AlternateSetting);
    if (found.descriptor == nullptr) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    ULONG pipes = static_cast<ULONG>(found.endpoints.size());
    if (info->Length < GET_USBD_INTERFACE_SIZE(pipes)) {
        return USBD_STATUS_BUFFER_TOO_SMALL;
    }
    ClosePipes(slot, info->InterfaceNumber, done);
    info->Class = found.descriptor[5];
    info->SubClass = found.descriptor[6];
    info->Protocol = found.descriptor[7];
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
        static_cast<ULONG_PTR>(0x1000 + info->InterfaceNumber * 0x100 + info->AlternateSetting));
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
        const UCHAR* endpoint = found.endpoints[i];
        auto pipe = std::make_unique<Pipe>();
        pipe->interfaceNumber = info->InterfaceNumber;
        pipe->address = endpoint[2];
        pipe->attributes = endpoint[3];
        pipe->interval = endpoint[6];
        pipe->maximumPacket = EffectivePacketSize(endpoint, slot.highSpeed);
        pipe->type = static_cast<USBD_PIPE_TYPE>(endpoint[3] & 3);
        USBD_PIPE_INFORMATION& out = info->Pipes[i];
        out.MaximumPacketSize = pipe->maximumPacket;
        out.EndpointAddress = pipe->address;
        out.Interval = pipe->interval;
        out.PipeType = pipe->type;
        out.PipeHandle = pipe.get();
        if (out.MaximumTransferSize == 0) {
            out.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        slot.pipes.push_back(std::move(pipe));
    }
    slot.alternates[info->InterfaceNumber] = info->AlternateSetting;
    return USBD_STATUS_SUCCESS;
}

USBD_CONFIGURATION_HANDLE HandleOf(Slot& slot) { return &slot; }

}  // namespace

USBD_STATUS SelectConfigurationLocked(Slot& slot, _URB_SELECT_CONFIGURATION* urb, int64_t now_ns,
                                      std::vector<Completion>& done) {
    if (urb->Hdr.Length < FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = urb->ConfigurationDescriptor;
    if (descriptor == nullptr) {
        ClosePipes(slot, -1, done);
        slot.alternates.clear();
        slot.configurationValue = 0;
        SendStandard(slot, 0x00, 9 /* SET_CONFIGURATION */, 0, 0, now_ns);
        return USBD_STATUS_SUCCESS;
    }
    if (descriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        descriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    }
    // The host takes the pipes from the descriptor set the caller passes in,
    // which is as long as its wTotalLength says.
    const auto* bytes = reinterpret_cast<const UCHAR*>(descriptor);
    slot.configuration.assign(bytes, bytes + descriptor->wTotalLength);
    if (!SendStandard(slot, 0x00, 9 /* SET_CONFIGURATION */, descriptor->bConfigurationValue, 0, now_ns)) {
        return USBD_STATUS_STALL_PID;
    }
    ClosePipes(slot, -1, done);
    slot.alternates.clear();
    std::vector<UCHAR> interfaces;
    auto* at = reinterpret_cast<UCHAR*>(&urb->Interface);
    auto* end = reinterpret_cast<UCHAR*>(urb) + urb->Hdr.Length;
    while (at + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        if (info->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) || at + info->Length > end) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        USBD_STATUS status = OpenInterface(slot, info, done);
        if (status != USBD_STATUS_SUCCESS) {
            return status;
        }
        if (info->AlternateSetting != 0 &&
            !SendStandard(slot, 0x01, 11 /* SET_INTERFACE */, info->AlternateSetting, info->InterfaceNumber, now_ns)) {
            return USBD_STATUS_STALL_PID;
        }
        interfaces.push_back(info->InterfaceNumber);
        at += info->Length;
    }
    slot.configurationValue = descriptor->bConfigurationValue;
    urb->ConfigurationHandle = HandleOf(slot);
    slot.device->configured(descriptor->bConfigurationValue, interfaces, now_ns);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectInterfaceLocked(Slot& slot, _URB_SELECT_INTERFACE* urb, int64_t now_ns,
                                  std::vector<Completion>& done) {
    if (urb->Hdr.Length < FIELD_OFFSET(_URB_SELECT_INTERFACE, Interface.Pipes) ||
        urb->Hdr.Length < FIELD_OFFSET(_URB_SELECT_INTERFACE, Interface) + urb->Interface.Length) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (slot.configurationValue == 0 || urb->ConfigurationHandle != HandleOf(slot)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    PUSBD_INTERFACE_INFORMATION info = &urb->Interface;
    if (slot.alternates.count(info->InterfaceNumber) == 0) {
        return USBD_STATUS_INVALID_PARAMETER;  // not part of the selected configuration
    }
    InterfaceFound found = FindInterface(slot.configuration, info->InterfaceNumber, info->AlternateSetting);
    if (found.descriptor == nullptr) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (info->Length < GET_USBD_INTERFACE_SIZE(found.endpoints.size())) {
        return USBD_STATUS_BUFFER_TOO_SMALL;
    }
    if (!SendStandard(slot, 0x01, 11 /* SET_INTERFACE */, info->AlternateSetting, info->InterfaceNumber, now_ns)) {
        return USBD_STATUS_STALL_PID;
    }
    return OpenInterface(slot, info, done);
}

}  // namespace simusbhost
