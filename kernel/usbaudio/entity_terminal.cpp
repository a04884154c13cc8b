// Input and output terminals.

#include "entity_terminal.h"

#include "descriptor_walk.h"
#include "usbaudiocl.h"

namespace {

// Where the fields sit (class 2.0 / class 1.0).
constexpr ULONG kTerminalTypeOffset = 4;
constexpr ULONG kInputClockOffset = 7;    // class 2.0 bCSourceID
constexpr ULONG kInputControlsOffset = 14;
constexpr ULONG kOutputSourceOffset = 7;  // bSourceID, both classes
constexpr ULONG kOutputClockOffset = 8;   // class 2.0 bCSourceID
constexpr ULONG kOutputControlsOffset = 9;

constexpr UCHAR kConnectorControl = 0x02;
constexpr USHORT kConnectorFieldShift = 2;  // the 2-bit connector field, bits 3..2 of bmControls
constexpr USHORT kFieldPresent = 0x1;
constexpr USHORT kFieldProgrammable = 0x3;
constexpr USHORT kConnectorReplyBytes = 6;

struct TerminalName {
    USHORT type;
    const char* name;
};

constexpr TerminalName kTerminalNames[] = {
    {0x0101, "USB streaming"},
    {0x0201, "MICROPHONE"},
    {0x0202, "DESKTOP_MICROPHONE"},
    {0x0203, "PERSONAL_MICROPHONE"},
    {0x0204, "OMNI_DIRECTIONAL_MICROPHONE"},
    {0x0205, "MICROPHONE_ARRAY"},
    {0x0206, "PROCESSING_MICROPHONE_ARRAY "},
    {0x0301, "SPEAKER"},
    {0x0302, "HEADPHONES"},
    {0x0303, "HEAD_MOUNTED_DISPLAY_AUDIO"},
    {0x0304, "DESKTOP_SPEAKER"},
    {0x0305, "ROOM_SPEAKER"},
    {0x0306, "COMMUNICATION_SPEAKER"},
    {0x0307, "LOW_FREQUENCY_EFFECTS_SPEAKER "},
    {0x0401, "HANDSET"},
    {0x0402, "HEADSET"},
    {0x0403, "SPEAKERPHONE_NO_ECHO_REDUCTION"},
    {0x0404, "ECHO_SUPPRESSING_SPEAKERPHONE"},
    {0x0405, "ECHO_CANCELING_SPEAKERPHONE"},
    {0x0501, "PHONE_LINE"},
    {0x0502, "TELEPHONE"},
    {0x0503, "DOWN_LINE_PHONE "},
    {0x0601, "ANALOG_CONNECTOR"},
    {0x0602, "DIGITAL_AUDIO_INTERFACE"},
    {0x0603, "LINE_CONNECTOR"},
    {0x0604, "LEGACY_AUDIO_CONNECTOR"},
    {0x0605, "SPDIF_INTERFACE"},
    {0x0606, "1394_DA_STREAM"},
    {0x0607, "1394_DV_STREAM_SOUNDTRACK "},
    {0x0701, "LEVEL_CALIBRATION_NOISE_SOURCE"},
    {0x0702, "EQUALIZATION_NOISE"},
    {0x0703, "CD_PLAYER"},
    {0x0704, "DAT_IO_DIGITAL_AUDIO_TAPE"},
    {0x0705, "DCC_IO_DIGITAL_COMPACT_CASSETTE"},
    {0x0706, "MINIDISK"},
    {0x0707, "ANALOG_TAPE"},
    {0x0708, "PHONOGRAPH"},
    {0x0709, "VCR_AUDIO"},
    {0x070A, "VIDEO_DISC_AUDIO"},
    {0x070B, "DVD_AUDIO"},
    {0x070C, "TV_TUNER_AUDIO"},
    {0x070D, "SATELLITE_RECEIVER_AUDIO"},
    {0x070E, "CABLE_TUNER_AUDIO"},
    {0x070F, "DSS_AUDIO"},
    {0x0710, "RADIO_RECEIVER"},
    {0x0711, "RADIO_TRANSMITTER"},
    {0x0712, "MULTITRACK_RECORDER"},
    {0x0713, "SYNTHESIZER"},
};

constexpr bool SortedByType() {
    for (size_t i = 1; i < RTL_NUMBER_OF(kTerminalNames); ++i) {
        if (kTerminalNames[i - 1].type >= kTerminalNames[i].type) return false;
    }
    return true;
}
static_assert(SortedByType(), "one row per terminal type, in order");

}  // namespace

const char* TerminalTypeName(USHORT terminalType) {
    for (const TerminalName& entry : kTerminalNames) {
        if (entry.type == terminalType) {
            return entry.name;
        }
    }
    return "Unknown";
}

USHORT CUSBAudioTerminal::TerminalType() const { return vq7::Field16(descriptor_, kTerminalTypeOffset); }

bool CUSBAudioTerminal::HasConnectorControl() const {
    // 01 present, 11 host programmable; 10 is invalid and counts as absent.
    USHORT field = (GetControls() >> kConnectorFieldShift) & 0x3;
    return field == kFieldPresent || field == kFieldProgrammable;
}

ULONG CUSBAudioTerminal::GetConnectorState() const {
    if (!HasConnectorControl()) {
        return kNone;
    }
    UCHAR reply[kConnectorReplyBytes] = {};
    NTSTATUS status = GetBlock(kRequestCur, kConnectorControl, 0, sizeof reply, reply);
    if (!NT_SUCCESS(status)) {
        return kNone;
    }
    return reply[0] != 0 ? 1 : 0;  // bNrChannels: something is plugged in
}

NTSTATUS CUSBAudioInputTerminal::Link() {
    if (!ClassTwo()) {
        clock_ = nullptr;
        return STATUS_SUCCESS;
    }
    clock_ = EntityNamedAt(kInputClockOffset);
    return clock_ != nullptr ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

ULONG CUSBAudioInputTerminal::GetClockSourceID() const {
    return ClassTwo() && kInputClockOffset < vq7::DescriptorLength(descriptor_) ? descriptor_[kInputClockOffset] : kNone;
}

USHORT CUSBAudioInputTerminal::GetControls() const {
    return ClassTwo() ? vq7::Field16(descriptor_, kInputControlsOffset) : 0;
}

// Both links are made whatever the other finds: a terminal whose source is
// missing still runs from its clock (a capture stream's terminal is such
// an output terminal). A missing source is still reported.
NTSTATUS CUSBAudioOutputTerminal::Link() {
    source_ = EntityNamedAt(kOutputSourceOffset);
    clock_ = ClassTwo() ? EntityNamedAt(kOutputClockOffset) : nullptr;
    if (source_ == nullptr || (ClassTwo() && clock_ == nullptr)) {
        return STATUS_NOT_SUPPORTED;
    }
    return STATUS_SUCCESS;
}

ULONG CUSBAudioOutputTerminal::GetSourceID(ULONG) const {
    return kOutputSourceOffset < vq7::DescriptorLength(descriptor_) ? descriptor_[kOutputSourceOffset] : kNone;
}

ULONG CUSBAudioOutputTerminal::GetClockSourceID() const {
    return ClassTwo() && kOutputClockOffset < vq7::DescriptorLength(descriptor_) ? descriptor_[kOutputClockOffset]
                                                                                  : kNone;
}

USHORT CUSBAudioOutputTerminal::GetControls() const {
    return ClassTwo() ? vq7::Field16(descriptor_, kOutputControlsOffset) : 0;
}
