// A minimal PortCls adapter driver for the platform's tests: it does what a
// real adapter driver asks of Plug and Play, PortCls, the registry and the
// I/O manager, and records every callback it gets, in order.
//
// It registers one WaveRT subdevice "Wave" (audio and render categories),
// answers its own file name "\something" (case-insensitive) and sends every
// other request to PortCls. On its file objects: device control with
// METHOD_BUFFERED returns the input reversed; a read stays pending until a
// timer DPC completes it with ReadPattern bytes; a write is taken whole.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace testdriver {

constexpr ULONG kIoctlReverse = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr LONGLONG kReadDelay_ms = 10;  // a pending read completes this long after it arrived
constexpr UCHAR kReadPattern = 0x5A;
constexpr char kHardwareValue[] = "SampleRate";  // read from the hardware key at start

DRIVER_INITIALIZE DriverEntry;

// What the driver saw, in order ("DriverEntry", "AddDevice", "PnP START_DEVICE", ...).
std::vector<std::string> Calls();
void ResetCalls();

// Makes the next query-remove fail (the driver vetoes it).
void VetoNextQueryRemove();

}  // namespace testdriver
