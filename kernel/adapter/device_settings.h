// The device's settings: the values kept in its hardware key and the
// decisions the adapter's Init makes from them and from the hardware (the
// host-controller quirk, DSD support, the render packet dump, the transfer
// sizing and the sample rate the device starts at).
#pragma once

#include <ntddk.h>

#include "usbaudiocl.h"

namespace vq7 {

// -2: every render packet is written to the trace before it is submitted.
constexpr LONG kDumpRenderPackets = -2;
// The process-wide dump setting, read from "gDumpCapture" at each start.
extern LONG DumpCaptureSetting;

constexpr ULONG kFirstStartSampleRate = 44100;

// A REG_DWORD of exactly 4 bytes, queried with full information:
// STATUS_OBJECT_NAME_NOT_FOUND when missing, STATUS_NO_MATCH for another
// type or size. A failed read leaves *value as it was. PASSIVE_LEVEL.
NTSTATUS ReadDeviceDword(HANDLE key, PCWSTR name, ULONG* value);
NTSTATUS WriteDeviceDword(HANDLE key, PCWSTR name, ULONG value);

// The host-controller quirk: one frame per render transfer and completions
// that size the next packet, on the older AMD controllers or when
// "ForceAMDChipset" asks for it, and only for devices with both directions.
bool DecideAmdQuirk(CUSBAudioCL& classLayer, HANDLE key);

// DSD from "DSDNativeModeSupported", or, when it cannot be read, from
// whether the device accepts the PCM mode request.
bool DecideDsdSupport(CUSBAudioCL& classLayer, HANDLE key);

void ReadDumpSetting(HANDLE key);

// Lowers the playback defaults for the quirk and for playback-only
// devices, then reads the performance key over them. Returns whether the
// device is playback-only.
bool AdjustPerformanceValues(const CUSBAudioCL& classLayer, bool amdQuirk);

// The lowest and highest rate of the render direction (capture when the
// device has no render interface); STATUS_INVALID_DEVICE_REQUEST without
// streaming interfaces.
NTSTATUS DeviceRateRange(CUSBAudioCL& classLayer, ULONG* minimum, ULONG* maximum);

// The sample rate a device with a fixed rate starts at: "SampleRate", created
// with 44100 on a first start, replaced by the lowest supported rate when the
// device does not offer it; then set on the device's clocks.
NTSTATUS DecideDeviceSampleRate(CUSBAudioCL& classLayer, HANDLE key, ULONG* rate);

}  // namespace vq7
