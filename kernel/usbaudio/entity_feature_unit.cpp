// Feature units.

#include "entity_feature_unit.h"

#include "descriptor_walk.h"
#include "usbaudiocl.h"

namespace {

constexpr ULONG kSourceOffset = 4;
// Class 2.0: bmaControls are 4 bytes per channel from byte 5, then iFeature.
constexpr ULONG kClassTwoControlsOffset = 5;
constexpr ULONG kClassTwoFixedBytes = 6;
constexpr ULONG kClassTwoBitmapBytes = 4;
// Class 1.0: bControlSize at byte 5, bmaControls from byte 6, then iFeature.
constexpr ULONG kControlSizeOffset = 5;
constexpr ULONG kClassOneControlsOffset = 6;
constexpr ULONG kClassOneFixedBytes = 7;
constexpr ULONG kClassOneMaximumBitmapBytes = 4;

constexpr ULONG kLastClassOneControl = kControlLoudness;
constexpr ULONG kLastClassTwoControl = kControlOverflow;
constexpr UCHAR kClassOneGet = 0x80;  // class 1.0 GET requests: 0x80 | CUR, MIN, MAX, RES
constexpr USHORT kVolumeRangeBytes = 8;

}  // namespace

NTSTATUS CUSBAudioFeatureUnit::Link() {
    source_ = EntityNamedAt(kSourceOffset);
    return source_ != nullptr ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

ULONG CUSBAudioFeatureUnit::GetSourceID(ULONG) const {
    return kSourceOffset < vq7::DescriptorLength(descriptor_) ? descriptor_[kSourceOffset] : kNone;
}

ULONG CUSBAudioFeatureUnit::ControlSize() const { return vq7::Field8(descriptor_, kControlSizeOffset); }

// Counted from bLength, so a bitmap never lies outside the descriptor; a
// class 1.0 bControlSize of 0 means no bitmaps at all.
ULONG CUSBAudioFeatureUnit::GetChannelCount() const {
    ULONG length = vq7::DescriptorLength(descriptor_);
    if (ClassTwo()) {
        return length >= kClassTwoFixedBytes ? (length - kClassTwoFixedBytes) / kClassTwoBitmapBytes : 0;
    }
    ULONG size = ControlSize();
    return size != 0 && length >= kClassOneFixedBytes ? (length - kClassOneFixedBytes) / size : 0;
}

bool CUSBAudioFeatureUnit::HasControlOnChannel(ULONG channel, ULONG control, ULONG access) const {
    if (channel >= GetChannelCount()) {
        return false;
    }
    if (ClassTwo()) {
        if (control > kLastClassTwoControl) {
            return false;
        }
        ULONG bitmap = vq7::Field32(descriptor_, kClassTwoControlsOffset + kClassTwoBitmapBytes * channel);
        ULONG mask = (access & 3) << (2 * control);
        return mask != 0 && (bitmap & mask) == mask;
    }
    ULONG size = ControlSize();
    ULONG read = size < kClassOneMaximumBitmapBytes ? size : kClassOneMaximumBitmapBytes;
    if (control > kLastClassOneControl || control >= 8 * read) {
        return false;
    }
    const UCHAR* at = descriptor_ + kClassOneControlsOffset + channel * size;
    ULONG bitmap = 0;
    for (ULONG i = 0; i < read; ++i) {
        bitmap |= static_cast<ULONG>(at[i]) << (8 * i);
    }
    return (bitmap & (1u << control)) != 0;
}

bool CUSBAudioFeatureUnit::HasControl(ULONG control) const {
    ULONG channels = GetChannelCount();
    if (channels > 255) {
        channels = 255;
    }
    for (ULONG channel = 0; channel < channels; ++channel) {
        if (HasControlOnChannel(channel, control, kControlPresent)) {
            return true;
        }
    }
    return false;
}

// Every feature-unit request: only the combinations the class defines for
// mute and volume, and only on a channel that has the control (present for
// a GET, host programmable for a SET).
NTSTATUS CUSBAudioFeatureUnit::ControlRequest(bool get, UCHAR request, ULONG control, ULONG channel, USHORT length,
                                              PVOID buffer, PULONG returned) {
    bool allowed = false;
    if (control == kControlMute) {
        allowed = request == kRequestCur && length == 1;
    } else if (control == kControlVolume) {
        allowed = (request == kRequestCur && length == 2) ||
                  (ClassTwo() && get && request == kRequestRange && length == kVolumeRangeBytes) ||
                  (!ClassTwo() && request >= kRequestCur && request <= kRequestRes && length == 2);
    }
    if (!allowed || !HasControlOnChannel(channel, control, get ? kControlPresent : kControlProgrammable)) {
        return STATUS_NOT_SUPPORTED;
    }
    UCHAR bRequest = (!ClassTwo() && get) ? static_cast<UCHAR>(kClassOneGet | request) : request;
    return EntityRequest(get ? kGetRequestType : kSetRequestType, bRequest, static_cast<UCHAR>(control + 1),
                         static_cast<UCHAR>(channel), length, buffer, returned);
}

NTSTATUS CUSBAudioFeatureUnit::GetControlBlock(UCHAR request, ULONG control, ULONG channel, USHORT length,
                                               PVOID buffer) {
    ULONG returned = 0;
    NTSTATUS status = ControlRequest(true, request, control, channel, length, buffer, &returned);
    return NT_SUCCESS(status) && returned < length ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS CUSBAudioFeatureUnit::GetMute(ULONG channel, PUCHAR mute) {
    UCHAR value = 0;
    NTSTATUS status = GetControlBlock(kRequestCur, kControlMute, channel, sizeof value, &value);
    if (NT_SUCCESS(status)) {
        *mute = value;
    }
    return status;
}

NTSTATUS CUSBAudioFeatureUnit::SetMute(ULONG channel, UCHAR mute) {
    return ControlRequest(false, kRequestCur, kControlMute, channel, sizeof mute, &mute);
}

NTSTATUS CUSBAudioFeatureUnit::GetVolume(ULONG channel, SHORT* volume) {
    UCHAR value[2] = {};
    NTSTATUS status = GetControlBlock(kRequestCur, kControlVolume, channel, sizeof value, value);
    if (NT_SUCCESS(status)) {
        *volume = static_cast<SHORT>(value[0] | value[1] << 8);
    }
    return status;
}

NTSTATUS CUSBAudioFeatureUnit::SetVolume(ULONG channel, SHORT volume) {
    UCHAR value[2] = {static_cast<UCHAR>(volume & 0xFF), static_cast<UCHAR>((volume >> 8) & 0xFF)};
    return ControlRequest(false, kRequestCur, kControlVolume, channel, sizeof value, value);
}

NTSTATUS CUSBAudioFeatureUnit::GetVolumeRange(ULONG channel, SHORT* minimum, SHORT* maximum, USHORT* resolution) {
    if (ClassTwo()) {
        UCHAR reply[kVolumeRangeBytes] = {};
        NTSTATUS status = GetControlBlock(kRequestRange, kControlVolume, channel, sizeof reply, reply);
        if (!NT_SUCCESS(status)) {
            return status;  // failed, or no whole first subrange came back
        }
        *minimum = static_cast<SHORT>(reply[2] | reply[3] << 8);
        *maximum = static_cast<SHORT>(reply[4] | reply[5] << 8);
        *resolution = static_cast<USHORT>(reply[6] | reply[7] << 8);
        return status;
    }
    const UCHAR requests[] = {kRequestMin, kRequestMax, kRequestRes};
    SHORT* const outputs[] = {minimum, maximum, reinterpret_cast<SHORT*>(resolution)};
    for (size_t i = 0; i < RTL_NUMBER_OF(requests); ++i) {
        UCHAR value[2] = {};
        NTSTATUS status = GetControlBlock(requests[i], kControlVolume, channel, sizeof value, value);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        *outputs[i] = static_cast<SHORT>(value[0] | value[1] << 8);
    }
    return STATUS_SUCCESS;
}
