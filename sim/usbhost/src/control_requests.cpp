// Requests on the default pipe and pipe management, run by the controller at
// the end of the frame in which they were submitted: descriptor, status,
// class and vendor requests, configuration and interface selection, pipe
// abort and reset.

#include <algorithm>

#include "host_state.h"

namespace simusbhost {

namespace {

UCHAR* BufferOf(PVOID buffer, PMDL mdl) {
    if (buffer != nullptr) {
        return static_cast<UCHAR*>(buffer);
    }
    if (mdl != nullptr) {
        return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    }
    return nullptr;
}

// One control transfer on the default pipe. `length` is the data stage's
// size; on return it holds the bytes moved.
USBD_STATUS ControlTransfer(Slot& slot, const simusb::Setup& setup, UCHAR* data, ULONG* length, int64_t now_ns) {
    if (slot.stalled.count(0) != 0) {
        *length = 0;
        return USBD_STATUS_STALL_PID;
    }
    if (*length != 0 && data == nullptr) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    std::span<const uint8_t> out = setup.In() ? std::span<const uint8_t>() : std::span<const uint8_t>(data, *length);
    simusb::ControlReply reply = slot.device->control(setup, out, now_ns);
    if (reply.stall) {
        *length = 0;
        return USBD_STATUS_STALL_PID;
    }
    if (setup.In()) {
        ULONG moved = static_cast<ULONG>(std::min<size_t>(reply.data.size(), *length));
        std::copy(reply.data.begin(), reply.data.begin() + moved, data);
        *length = moved;
    }
    return USBD_STATUS_SUCCESS;
}

simusb::Setup MakeSetup(UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex, ULONG length) {
    return simusb::Setup{bmRequestType, bRequest, wValue, wIndex, static_cast<uint16_t>(std::min<ULONG>(length, 0xFFFF))};
}

UCHAR RecipientOf(USHORT function) {
    switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_CLASS_INTERFACE:
            return 1;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_CLASS_ENDPOINT:
            return 2;
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_OTHER:
            return 3;
        default:
            return 0;
    }
}

bool IsVendor(USHORT function) {
    return function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
           function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
}

USBD_STATUS RunTransferRequest(Slot& slot, PURB urb, int64_t now_ns) {
    USHORT function = urb->UrbHeader.Function;
    switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
            auto& request = urb->UrbControlDescriptorRequest;
            simusb::Setup setup =
                MakeSetup(static_cast<UCHAR>(0x80 | RecipientOf(function)), 6 /* GET_DESCRIPTOR */,
                          static_cast<USHORT>(request.DescriptorType << 8 | request.Index), request.LanguageId,
                          request.TransferBufferLength);
            return ControlTransfer(slot, setup, BufferOf(request.TransferBuffer, request.TransferBufferMDL),
                                   &request.TransferBufferLength, now_ns);
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
            auto& request = urb->UrbControlGetStatusRequest;
            simusb::Setup setup = MakeSetup(static_cast<UCHAR>(0x80 | RecipientOf(function)), 0 /* GET_STATUS */, 0,
                                            request.Index, request.TransferBufferLength);
            return ControlTransfer(slot, setup, BufferOf(request.TransferBuffer, request.TransferBufferMDL),
                                   &request.TransferBufferLength, now_ns);
        }
        case URB_FUNCTION_GET_CONFIGURATION: {
            auto& request = urb->UrbControlGetConfigurationRequest;
            simusb::Setup setup = MakeSetup(0x80, 8 /* GET_CONFIGURATION */, 0, 0, request.TransferBufferLength);
            return ControlTransfer(slot, setup, BufferOf(request.TransferBuffer, request.TransferBufferMDL),
                                   &request.TransferBufferLength, now_ns);
        }
        case URB_FUNCTION_GET_INTERFACE: {
            auto& request = urb->UrbControlGetInterfaceRequest;
            simusb::Setup setup = MakeSetup(0x81, 10 /* GET_INTERFACE */, 0, request.Interface,
                                            request.TransferBufferLength);
            return ControlTransfer(slot, setup, BufferOf(request.TransferBuffer, request.TransferBufferMDL),
                                   &request.TransferBufferLength, now_ns);
        }
        case URB_FUNCTION_CONTROL_TRANSFER:
        case URB_FUNCTION_CONTROL_TRANSFER_EX: {
            // The two layouts agree up to the MDL and in the setup packet.
            auto& request = urb->UrbControlTransfer;
            const UCHAR* packet = function == URB_FUNCTION_CONTROL_TRANSFER ? request.SetupPacket
                                                                            : urb->UrbControlTransferEx.SetupPacket;
            simusb::Setup setup = MakeSetup(packet[0], packet[1], static_cast<USHORT>(packet[2] | packet[3] << 8),
                                            static_cast<USHORT>(packet[4] | packet[5] << 8), request.TransferBufferLength);
            return ControlTransfer(slot, setup, BufferOf(request.TransferBuffer, request.TransferBufferMDL),
                                   &request.TransferBufferLength, now_ns);
        }
        default: {  // class and vendor requests
            auto& request = urb->UrbControlVendorClassRequest;
            UCHAR direction = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0x00;
            UCHAR type = IsVendor(function) ? 0x40 : 0x20;
            UCHAR bmRequestType = static_cast<UCHAR>(direction | type | RecipientOf(function) |
                                                     (request.RequestTypeReservedBits & 0x1F & ~0x03));
            simusb::Setup setup =
                MakeSetup(bmRequestType, request.Request, request.Value, request.Index, request.TransferBufferLength);
            return ControlTransfer(slot, setup, BufferOf(request.TransferBuffer, request.TransferBufferMDL),
                                   &request.TransferBufferLength, now_ns);
        }
    }
}

USBD_STATUS RunPipeRequest(Slot& slot, PURB urb, std::vector<Completion>& done) {
    if (urb->UrbHeader.Length < sizeof(_URB_PIPE_REQUEST)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    Pipe* pipe = slot.FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        CancelPipeLocked(slot, *pipe, USBD_STATUS_CANCELED, done);
    } else {
        slot.stalled.erase(pipe->address);
    }
    return USBD_STATUS_SUCCESS;
}

ULONG MinimumLength(USHORT function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION: return FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface);
        case URB_FUNCTION_SELECT_INTERFACE: return FIELD_OFFSET(_URB_SELECT_INTERFACE, Interface.Pipes);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL: return sizeof(_URB_PIPE_REQUEST);
        default: return sizeof(_URB_CONTROL_TRANSFER);  // every transfer request on the default pipe is this size
    }
}

}  // namespace

void RunRequestLocked(Slot& slot, const PendingRequest& request, int64_t now_ns, std::vector<Completion>& done) {
    PURB urb = request.urb;
    USHORT function = urb->UrbHeader.Function;
    USBD_STATUS status;
    if (slot.gone) {
        status = USBD_STATUS_DEVICE_GONE;
    } else if (urb->UrbHeader.Length < MinimumLength(function)) {
        status = USBD_STATUS_INVALID_PARAMETER;
    } else if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
        status = SelectConfigurationLocked(slot, &urb->UrbSelectConfiguration, now_ns, done);
    } else if (function == URB_FUNCTION_SELECT_INTERFACE) {
        status = SelectInterfaceLocked(slot, &urb->UrbSelectInterface, now_ns, done);
    } else if (function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
               function == URB_FUNCTION_SYNC_RESET_PIPE || function == URB_FUNCTION_SYNC_CLEAR_STALL) {
        status = RunPipeRequest(slot, urb, done);
    } else {
        status = RunTransferRequest(slot, urb, now_ns);
    }
    urb->UrbHeader.Status = status;
    done.push_back(Completion{request.irp, StatusForUsbd(status)});
}

}  // namespace simusbhost
