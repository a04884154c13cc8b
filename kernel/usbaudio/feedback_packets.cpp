#include "feedback_packets.h"

namespace vq7 {

namespace {

constexpr ULONG kFullSpeedValueBytes = 3;  // 10.14
constexpr ULONG kHighSpeedValueBytes = 4;  // 16.16
constexpr ULONG kTenFourteenToSixteenSixteen = 2;

ULONG ReadLe(const UCHAR* at, ULONG bytes) {
    ULONG value = 0;
    for (ULONG b = 0; b < bytes; ++b) {
        value |= static_cast<ULONG>(at[b]) << (8 * b);
    }
    return value;
}

}  // namespace

ULONG AverageFeedbackPackets(const _URB_ISOCH_TRANSFER& urb, const UCHAR* data, LONG* last) {
    ULONG value = static_cast<ULONG>(*last);
    ULONG64 sum = 0;
    ULONG counted = 0;
    for (ULONG i = 0; i < urb.NumberOfPackets; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR& packet = urb.IsoPacket[i];
        const ULONG length = packet.Length;
        const bool inside =
            packet.Offset <= urb.TransferBufferLength && length <= urb.TransferBufferLength - packet.Offset;
        if (USBD_ERROR(packet.Status) || !inside) {
            continue;
        }
        if (length == kFullSpeedValueBytes) {
            value = ReadLe(data + packet.Offset, kFullSpeedValueBytes) << kTenFourteenToSixteenSixteen;
        } else if (length == kHighSpeedValueBytes) {
            value = ReadLe(data + packet.Offset, kHighSpeedValueBytes);
        } else if (length != 0) {
            continue;
        }
        sum += value;
        counted += 1;
    }
    if (value != 0) {
        *last = static_cast<LONG>(value);
    }
    return counted != 0 ? static_cast<ULONG>(sum / counted) : 0;
}

}  // namespace vq7
