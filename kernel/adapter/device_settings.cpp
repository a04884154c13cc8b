#include "adapter/device_settings.h"

#include "wavert/performance_parameters.h"
#include "common/trace.h"

namespace vq7 {

LONG DumpCaptureSetting = 0;

namespace {

constexpr ULONG kAmdVendorIds[] = {0x1002, 0x1022};
constexpr ULONG kQuirkPlaybackFrames = 1;
constexpr ULONG kQuirkPlaybackTransfers = 8;
constexpr ULONG kPlaybackOnlyMaximumFrames = 4;

bool IsAmdController(const USB_CONTROLLER_INFO_0& info) {
    bool amd = false;
    for (ULONG vendor : kAmdVendorIds) amd = amd || info.PciVendorId == vendor;
    return amd && (info.ControllerFlavor == OHCI_Generic || info.ControllerFlavor == EHCI_Generic);
}

bool HasBothDirections(const CUSBAudioCL& classLayer) {
    return classLayer.RenderStream() != nullptr && classLayer.CaptureStream() != nullptr;
}

}  // namespace

NTSTATUS ReadDeviceDword(HANDLE key, PCWSTR name, ULONG* value) {
    PAGED_CODE();
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    // Room for the record, the longest name the driver reads and a ULONG.
    union {
        KEY_VALUE_FULL_INFORMATION record;
        UCHAR bytes[sizeof(KEY_VALUE_FULL_INFORMATION) + 64 * sizeof(WCHAR) + 2 * sizeof(ULONG)];
    } buffer;
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, &buffer, sizeof buffer, &length);
    if (status == STATUS_BUFFER_OVERFLOW) {
        return STATUS_NO_MATCH;  // larger than a ULONG
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const KEY_VALUE_FULL_INFORMATION& info = buffer.record;
    if (info.Type != REG_DWORD || info.DataLength != sizeof(ULONG) ||
        info.DataOffset + sizeof(ULONG) > sizeof buffer) {
        return STATUS_NO_MATCH;
    }
    RtlCopyMemory(value, buffer.bytes + info.DataOffset, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS WriteDeviceDword(HANDLE key, PCWSTR name, ULONG value) {
    PAGED_CODE();
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    return ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value);
}

bool DecideAmdQuirk(CUSBAudioCL& classLayer, HANDLE key) {
    USB_CONTROLLER_INFO_0 info = {};
    NTSTATUS status = classLayer.GetControllerInfo(&info);
    if (!NT_SUCCESS(status)) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceAdapter, "host controller not known: 0x%08lx", static_cast<ULONG>(status));
        return false;
    }
    ULONG forced = 0;
    (void)ReadDeviceDword(key, L"ForceAMDChipset", &forced);
    bool on = (forced != 0 || IsAmdController(info)) && HasBothDirections(classLayer);
    VQ7_TRACE(TRACE_LEVEL_INFORMATION, kTraceAdapter, "controller %04lx:%04lx flavour %lu, AMD quirk %lu",
              info.PciVendorId, info.PciDeviceId, static_cast<ULONG>(info.ControllerFlavor), on ? 1UL : 0UL);
    return on;
}

bool DecideDsdSupport(CUSBAudioCL& classLayer, HANDLE key) {
    ULONG stored = 0;
    if (NT_SUCCESS(ReadDeviceDword(key, L"DSDNativeModeSupported", &stored))) {
        return stored != 0;
    }
    return NT_SUCCESS(classLayer.SetVendorMode(0));
}

void ReadDumpSetting(HANDLE key) {
    ULONG value = static_cast<ULONG>(DumpCaptureSetting);
    if (NT_SUCCESS(ReadDeviceDword(key, L"gDumpCapture", &value))) {
        DumpCaptureSetting = static_cast<LONG>(value);
    }
}

bool AdjustPerformanceValues(const CUSBAudioCL& classLayer, bool amdQuirk) {
    bool playbackOnly = false;
    if (HasBothDirections(classLayer)) {
        if (amdQuirk) {
            PlaybackFramesPerTransfer = kQuirkPlaybackFrames;
            PlaybackTransfersInFlight = kQuirkPlaybackTransfers;
        }
    } else if (classLayer.RenderStream() != nullptr) {
        if (PlaybackFramesPerTransfer > kPlaybackOnlyMaximumFrames) {
            PlaybackFramesPerTransfer = kPlaybackOnlyMaximumFrames;
        }
        playbackOnly = true;
    }
    ReadPerformanceParameters(kPlaybackParameters, &PlaybackFramesPerTransfer, &PlaybackTransfersInFlight);
    ReadPerformanceParameters(kCaptureParameters, &CaptureFramesPerTransfer, &CaptureTransfersInFlight);
    return playbackOnly;
}

NTSTATUS DeviceRateRange(CUSBAudioCL& classLayer, ULONG* minimum, ULONG* maximum) {
    if (minimum == nullptr || maximum == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR direction = classLayer.RenderStream() != nullptr ? 0 : 1;
    if (classLayer.Stream(direction) == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG channels = 0;
    ULONG minBits = 0;
    ULONG maxBits = 0;
    return classLayer.GetFormatCapabilities(direction, &channels, &minBits, &maxBits, minimum, maximum);
}

NTSTATUS DecideDeviceSampleRate(CUSBAudioCL& classLayer, HANDLE key, ULONG* rate) {
    ULONG chosen = 0;
    NTSTATUS status = ReadDeviceDword(key, L"SampleRate", &chosen);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        chosen = kFirstStartSampleRate;
        status = WriteDeviceDword(key, L"SampleRate", chosen);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = classLayer.IsRateSupported(chosen);
    if (status == STATUS_INVALID_PARAMETER) {
        ULONG lowest = 0;
        ULONG highest = 0;
        chosen = NT_SUCCESS(DeviceRateRange(classLayer, &lowest, &highest)) ? lowest : kFirstStartSampleRate;
        NTSTATUS written = WriteDeviceDword(key, L"SampleRate", chosen);
        if (!NT_SUCCESS(written)) {
            VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceAdapter, "SampleRate not corrected: 0x%08lx",
                      static_cast<ULONG>(written));
        }
    } else if (!NT_SUCCESS(status)) {
        return status;
    }
    *rate = chosen;
    NTSTATUS set = classLayer.SetSampleRate(chosen);
    if (!NT_SUCCESS(set)) {
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceAdapter, "clock not set to %lu: 0x%08lx", chosen,
                  static_cast<ULONG>(set));
    }
    return STATUS_SUCCESS;
}

}  // namespace vq7
