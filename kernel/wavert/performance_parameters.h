// The driver's process-wide transfer sizing: how many USB frames each
// transfer carries and how many transfers are kept in flight, per direction.
// The adapter's start may lower the playback defaults for the host
// controller or the device, then reads the machine-wide performance key
// over them.
#pragma once

#include <ntddk.h>

namespace vq7 {

extern ULONG PlaybackFramesPerTransfer;  // "param1", default 8, at most 8
extern ULONG PlaybackTransfersInFlight;  // "param2", default 8, at most 8
extern ULONG CaptureFramesPerTransfer;   // "param3", default 1, at most 1
extern ULONG CaptureTransfersInFlight;   // "param4", default 16, at most 16

enum PerformanceSet : ULONG {
    kPlaybackParameters = 0,  // param1, param2
    kCaptureParameters = 1,   // param3, param4
};

// Reads one pair from "\Registry\Machine\SOFTWARE\VEXO\Q7 ASIO Performance"
// over the incoming values. A default of 0 or above its limit leaves both
// untouched; a missing key or a value that is not a REG_DWORD keeps the
// defaults; a stored 0 means the default, a value above the limit the limit.
// PASSIVE_LEVEL.
void ReadPerformanceParameters(ULONG set, ULONG* first, ULONG* second);

}  // namespace vq7
