// Isochronous transfers: the rules a host controller enforces at
// submission, the placement of packets on (micro)frames, their delivery to
// the device frame by frame, and completion.

#include <algorithm>

#include "host_state.h"

namespace simusbhost {

namespace {

// Bus units between two packets of the endpoint: 2^(bInterval - 1)
// microframes at high speed, frames at full speed.
ULONG PacketPeriod(const Pipe& pipe) {
    UCHAR interval = pipe.interval == 0 ? 1 : (pipe.interval > 16 ? 16 : pipe.interval);
    return 1u << (interval - 1);
}

UCHAR* TransferData(_URB_ISOCH_TRANSFER* urb) {
    if (urb->TransferBuffer != nullptr) {
        return static_cast<UCHAR*>(urb->TransferBuffer);
    }
    if (urb->TransferBufferMDL != nullptr) {
        return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(urb->TransferBufferMDL, NormalPagePriority));
    }
    return nullptr;
}

// The bytes packet i may carry: up to the next packet's offset, or the end.
ULONG PacketSpan(const _URB_ISOCH_TRANSFER* urb, ULONG i) {
    ULONG end = i + 1 < urb->NumberOfPackets ? urb->IsoPacket[i + 1].Offset : urb->TransferBufferLength;
    return end - urb->IsoPacket[i].Offset;
}

USBD_STATUS CheckTransfer(const Slot& slot, const Pipe* pipe, _URB_ISOCH_TRANSFER* urb) {
    ULONG n = urb->NumberOfPackets;
    if (urb->Hdr.Length < FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket) + n * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (pipe == nullptr) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    if (pipe->type != UsbdPipeTypeIsochronous) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (n == 0 || n > (slot.highSpeed ? kMaximumPacketsHighSpeed : kMaximumPacketsFullSpeed)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    ULONG period = PacketPeriod(*pipe);
    if (slot.highSpeed && period < 8 && n % (8 / period) != 0) {
        return USBD_STATUS_INVALID_PARAMETER;  // a high-speed transfer covers whole frames
    }
    if (urb->TransferBufferLength != 0 && TransferData(urb) == nullptr) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < n; ++i) {
        ULONG offset = urb->IsoPacket[i].Offset;
        if (offset > urb->TransferBufferLength || (i > 0 && offset < urb->IsoPacket[i - 1].Offset)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
    }
    if (!pipe->In()) {
        for (ULONG i = 0; i < n; ++i) {
            if (PacketSpan(urb, i) > pipe->maximumPacket) {
                return USBD_STATUS_INVALID_PARAMETER;
            }
        }
    }
    return USBD_STATUS_SUCCESS;
}

simusb::BusTime TimeOfUnit(const Slot& slot, uint64_t unit) {
    ULONG perFrame = slot.UnitsPerFrame();
    return simusb::BusTime{unit / perFrame, static_cast<uint32_t>(unit % perFrame),
                           static_cast<int64_t>(unit) * slot.UnitDuration_ns()};
}

void DeliverPacket(Slot& slot, Pipe& pipe, IsoTransfer& transfer, ULONG i) {
    USBD_ISO_PACKET_DESCRIPTOR& packet = transfer.urb->IsoPacket[i];
    if (transfer.forcedStatus != USBD_STATUS_SUCCESS) {
        packet.Status = transfer.forcedStatus;
        packet.Length = 0;
        return;
    }
    simusb::BusTime at = TimeOfUnit(slot, transfer.UnitOf(i));
    UCHAR* data = TransferData(transfer.urb) + packet.Offset;
    ULONG span = PacketSpan(transfer.urb, i);
    EndpointCounters& counters = slot.counters[pipe.address];
    if (pipe.In()) {
        ULONG capacity = std::min<ULONG>(span, pipe.maximumPacket);
        size_t sent = slot.device->isoIn(pipe.address, at, std::span<uint8_t>(data, capacity));
        if (sent > capacity) {
            packet.Status = USBD_STATUS_DATA_OVERRUN;  // the device babbled past the packet
            packet.Length = capacity;
        } else {
            packet.Status = USBD_STATUS_SUCCESS;
            packet.Length = static_cast<ULONG>(sent);
        }
        counters.bytes += packet.Length;
    } else {
        slot.device->isoOut(pipe.address, at, std::span<const uint8_t>(data, span));
        packet.Status = USBD_STATUS_SUCCESS;
        counters.bytes += span;
    }
    counters.packetsDelivered += 1;
}

Completion Finish(Slot& slot, Pipe& pipe, IsoTransfer& transfer) {
    _URB_ISOCH_TRANSFER* urb = transfer.urb;
    ULONG errors = 0;
    for (ULONG i = 0; i < urb->NumberOfPackets; ++i) {
        errors += USBD_ERROR(urb->IsoPacket[i].Status) ? 1 : 0;
    }
    urb->ErrorCount = errors;
    urb->StartFrame = static_cast<ULONG>(transfer.first / slot.UnitsPerFrame());
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (errors == urb->NumberOfPackets) {
        status = transfer.forcedStatus != USBD_STATUS_SUCCESS ? transfer.forcedStatus : USBD_STATUS_ISOCH_REQUEST_FAILED;
    }
    urb->Hdr.Status = status;
    slot.counters[pipe.address].transfersCompleted += 1;
    return Completion{transfer.irp, StatusForUsbd(status)};
}

}  // namespace

NTSTATUS SubmitIsoLocked(Slot& slot, PIRP irp, _URB_ISOCH_TRANSFER* urb, int64_t now_ns) {
    Pipe* pipe = slot.FindPipe(urb->PipeHandle);
    USBD_STATUS check = CheckTransfer(slot, pipe, urb);
    if (check != USBD_STATUS_SUCCESS) {
        urb->Hdr.Status = check;
        return StatusForUsbd(check);
    }
    if (slot.stalled.count(pipe->address) != 0) {
        urb->Hdr.Status = USBD_STATUS_STALL_PID;
        return StatusForUsbd(USBD_STATUS_STALL_PID);
    }
    ULONG perFrame = slot.UnitsPerFrame();
    int64_t unit_ns = slot.UnitDuration_ns();
    IsoTransfer transfer{irp, urb, 0, PacketPeriod(*pipe)};
    if (urb->TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
        // A stream continues where the last transfer ended as long as that
        // point has not passed; otherwise it starts again a little ahead.
        bool streaming = pipe->started && (!pipe->queue.empty() || static_cast<int64_t>(pipe->nextUnit) * unit_ns >= now_ns);
        transfer.first = streaming ? pipe->nextUnit : (FrameAt(now_ns) + kAsapLatencyFrames) * perFrame;
    } else {
        uint64_t current = FrameAt(now_ns);
        if (urb->StartFrame <= current || urb->StartFrame >= current + USBD_ISO_START_FRAME_RANGE) {
            urb->Hdr.Status = USBD_STATUS_BAD_START_FRAME;
            return StatusForUsbd(USBD_STATUS_BAD_START_FRAME);
        }
        transfer.first = static_cast<uint64_t>(urb->StartFrame) * perFrame;
    }
    EndpointCounters& counters = slot.counters[pipe->address];
    counters.transfersSubmitted += 1;
    // Packets whose (micro)frame has already gone by are never sent.
    while (transfer.done < urb->NumberOfPackets &&
           static_cast<int64_t>(transfer.UnitOf(transfer.done)) * unit_ns < now_ns) {
        urb->IsoPacket[transfer.done].Status = USBD_STATUS_ISO_NA_LATE_USBPORT;
        urb->IsoPacket[transfer.done].Length = 0;
        transfer.done += 1;
        counters.packetsLate += 1;
    }
    auto failing = slot.failing.find(pipe->address);
    if (failing != slot.failing.end() && failing->second.first > 0) {
        transfer.forcedStatus = failing->second.second;
        failing->second.first -= 1;
    }
    pipe->nextUnit = transfer.LastUnit() + transfer.period;
    pipe->started = true;
    urb->Hdr.Status = USBD_STATUS_PENDING;
    pipe->queue.push_back(transfer);
    return STATUS_PENDING;
}

void RunFrameLocked(Slot& slot, uint64_t frame, std::vector<Completion>& done) {
    uint64_t end = (frame + 1) * slot.UnitsPerFrame();
    // OUT first: a device that loops its output back sees the frame's OUT
    // packets before it is asked for the frame's IN packets.
    for (bool in : {false, true}) {
        for (auto& pipe : slot.pipes) {
            if (pipe->In() != in) {
                continue;
            }
            for (IsoTransfer& transfer : pipe->queue) {
                while (transfer.done < transfer.urb->NumberOfPackets && transfer.UnitOf(transfer.done) < end) {
                    DeliverPacket(slot, *pipe, transfer, transfer.done);
                    transfer.done += 1;
                }
                if (transfer.done < transfer.urb->NumberOfPackets) {
                    break;  // later transfers lie later still
                }
            }
        }
    }
    for (auto& pipe : slot.pipes) {
        while (!pipe->queue.empty() && pipe->queue.front().done == pipe->queue.front().urb->NumberOfPackets &&
               pipe->queue.front().LastUnit() < end) {
            done.push_back(Finish(slot, *pipe, pipe->queue.front()));
            pipe->queue.pop_front();
        }
    }
}

void CancelPipeLocked(Slot& slot, Pipe& pipe, USBD_STATUS status, std::vector<Completion>& done) {
    for (IsoTransfer& transfer : pipe.queue) {
        for (ULONG i = transfer.done; i < transfer.urb->NumberOfPackets; ++i) {
            transfer.urb->IsoPacket[i].Status = status;
            transfer.urb->IsoPacket[i].Length = 0;
        }
        transfer.urb->ErrorCount = transfer.urb->NumberOfPackets;
        transfer.urb->StartFrame = static_cast<ULONG>(transfer.first / slot.UnitsPerFrame());
        transfer.urb->Hdr.Status = status;
        slot.counters[pipe.address].transfersCompleted += 1;
        done.push_back(Completion{transfer.irp, StatusForUsbd(status)});
    }
    pipe.queue.clear();
    pipe.started = false;
}

void FailEverythingLocked(Slot& slot, USBD_STATUS status, std::vector<Completion>& done) {
    for (auto& pipe : slot.pipes) {
        CancelPipeLocked(slot, *pipe, status, done);
    }
}

}  // namespace simusbhost
