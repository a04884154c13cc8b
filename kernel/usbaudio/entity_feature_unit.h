// Feature units: per-channel control bitmaps, and the mute and volume
// requests (volume in the class's 1/256 dB units; 0x8000 is silence).
#pragma once

#include "entity.h"

// Feature-unit controls, in the class's order.
enum FeatureControl : ULONG {
    kControlMute = 0,
    kControlVolume = 1,
    kControlBass = 2,
    kControlMid = 3,
    kControlTreble = 4,
    kControlGraphicEqualizer = 5,
    kControlAutomaticGain = 6,
    kControlDelay = 7,
    kControlBassBoost = 8,
    kControlLoudness = 9,
    kControlInputGain = 10,  // class 2.0 from here on
    kControlInputGainPad = 11,
    kControlPhaseInverter = 12,
    kControlUnderflow = 13,
    kControlOverflow = 14,
};

// What HasControlOnChannel asks (class 2.0 bits).
constexpr ULONG kControlPresent = 1;
constexpr ULONG kControlProgrammable = 2;

class CUSBAudioFeatureUnit : public CUSBAudioEntity {
public:
    CUSBAudioFeatureUnit(const UCHAR* descriptor, CUSBAudioCL* owner)
        : CUSBAudioEntity(descriptor, owner, EntityKind::FeatureUnit) {}
    NTSTATUS Link() override;
    void GetName(PCHAR buffer, size_t size) const override { FormatName(buffer, size, "Feature"); }
    ULONG GetSourceID(ULONG pin) const override;
    CUSBAudioEntity* Source() const { return source_; }

    // Control bitmaps, the master channel 0 included.
    ULONG GetChannelCount() const;
    bool HasControlOnChannel(ULONG channel, ULONG control, ULONG access) const;
    bool HasControl(ULONG control) const;

    NTSTATUS GetMute(ULONG channel, PUCHAR mute);
    NTSTATUS SetMute(ULONG channel, UCHAR mute);
    NTSTATUS GetVolume(ULONG channel, SHORT* volume);
    NTSTATUS SetVolume(ULONG channel, SHORT volume);
    NTSTATUS GetVolumeRange(ULONG channel, SHORT* minimum, SHORT* maximum, USHORT* resolution);

    // The one path of every feature-unit request: refused with
    // STATUS_NOT_SUPPORTED, without a transfer, unless the class defines the
    // combination (mute: CUR of 1 byte; volume: CUR of 2 bytes, class 2.0
    // RANGE of 8, class 1.0 CUR/MIN/MAX/RES of 2) and the channel has the
    // control (present for a GET, host programmable for a SET).
    NTSTATUS ControlRequest(bool get, UCHAR request, ULONG control, ULONG channel, USHORT length, PVOID buffer,
                            PULONG returned = nullptr);

private:
    ULONG ControlSize() const;  // class 1.0 bControlSize
    // A GET through ControlRequest whose reply must fill `length` bytes;
    // a shorter one is STATUS_UNSUCCESSFUL.
    NTSTATUS GetControlBlock(UCHAR request, ULONG control, ULONG channel, USHORT length, PVOID buffer);

    CUSBAudioEntity* source_ = nullptr;
};
