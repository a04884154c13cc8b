// The adapter's private interfaces: IUsbAudioAdapter, through which the
// WaveRT miniport and stream drive the device, and IUsbAudioDsdControl,
// the adapter's face for the PCM/DSD mode on devices that support it.
// Direction arguments are booleans: TRUE selects capture, FALSE render.
#pragma once

#include <ntddk.h>
#include <drmk.h>
#include <portcls.h>

struct IMiniportEngineSink;
struct FilterDescriptionBlock;

// {5A18439D-9F64-4636-BDBC-00FD60F852DF}
DEFINE_GUID(IID_IUsbAudioAdapter, 0x5a18439d, 0x9f64, 0x4636, 0xbd, 0xbc, 0x00, 0xfd, 0x60, 0xf8, 0x52, 0xdf);
// {947046C9-6C7C-4B03-B1EA-27139D3536AB}
DEFINE_GUID(IID_IUsbAudioDsdControl, 0x947046c9, 0x6c7c, 0x4b03, 0xb1, 0xea, 0x27, 0x13, 0x9d, 0x35, 0x36, 0xab);

DECLARE_INTERFACE_(IUsbAudioAdapter, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()                                                                       // 0-2
    STDMETHOD_(NTSTATUS, Init)(THIS_ PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT DeviceObject) PURE;  // 3
    STDMETHOD_(NTSTATUS, ReserveDirections)(THIS_ BOOLEAN Capture, BOOLEAN Render, BOOLEAN Exclusive) PURE;
    STDMETHOD_(NTSTATUS, ReleaseDirections)(THIS_ BOOLEAN Capture, BOOLEAN Render) PURE;
    STDMETHOD_(NTSTATUS, RegisterMiniport)(THIS_ IMiniportEngineSink * Sink) PURE;
    STDMETHOD_(NTSTATUS, UnregisterMiniport)(THIS_ IMiniportEngineSink * Sink) PURE;
    STDMETHOD_(NTSTATUS, SetFormat)(THIS_ BOOLEAN Capture, USHORT FormatTag, ULONG Channels, ULONG BitsPerSample,
                                    ULONG Rate) PURE;                                                 // 8
    STDMETHOD_(void, ClearFormat)(THIS_ BOOLEAN Capture) PURE;
    STDMETHOD_(void, QueueRenderSpan)(THIS_ PVOID Address, LONG Length) PURE;
    STDMETHOD_(void, QueueCaptureSpan)(THIS_ PVOID Address, LONG Length) PURE;
    STDMETHOD_(void, FlushRenderSpans)(THIS) PURE;
    STDMETHOD_(void, FlushCaptureSpans)(THIS) PURE;
    STDMETHOD_(void, PrepareForRemoval)(THIS) PURE;                                                  // 14
    STDMETHOD_(NTSTATUS, JackProperty)(THIS_ PPCPROPERTY_REQUEST Request) PURE;
    STDMETHOD_(NTSTATUS, GetSignalProcessingModes)(THIS_ ULONG PinId, GUID * Modes, ULONG * Count) PURE;
    STDMETHOD_(NTSTATUS, GetSampleRate)(THIS_ ULONG * Rate) PURE;
    STDMETHOD_(NTSTATUS, ChangeSampleRate)(THIS_ ULONG Rate) PURE;
    STDMETHOD_(NTSTATUS, GetRateRange)(THIS_ ULONG * Minimum, ULONG * Maximum) PURE;                  // 19
    STDMETHOD_(NTSTATUS, NarrowRateRange)(THIS_ BOOLEAN Capture, ULONG * Minimum, ULONG * Maximum) PURE;
    STDMETHOD_(NTSTATUS, BuildFilterDescription)(THIS_ FilterDescriptionBlock * Block) PURE;
    STDMETHOD_(void, FreeFilterDescription)(THIS_ FilterDescriptionBlock * Block) PURE;
    STDMETHOD_(NTSTATUS, Prepare)(THIS_ BOOLEAN Capture, ULONG BufferBytes) PURE;                   // 23
    STDMETHOD_(NTSTATUS, Unprepare)(THIS_ BOOLEAN Capture) PURE;
    STDMETHOD_(NTSTATUS, GetDrmForward)(THIS_ BOOLEAN Capture, PDRMFORWARD Forward) PURE;           // 25

protected:
    ~IUsbAudioAdapter() = default;  // never deleted through an interface
};
typedef IUsbAudioAdapter* PUSBAUDIOADAPTER;

DECLARE_INTERFACE_(IUsbAudioDsdControl, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    // 0 = PCM, 1 = DSD.
    STDMETHOD_(NTSTATUS, SetDsdMode)(THIS_ USHORT Mode) PURE;
    STDMETHOD_(ULONG, IsDsdSupported)(THIS) PURE;

protected:
    ~IUsbAudioDsdControl() = default;  // never deleted through an interface
};
typedef IUsbAudioDsdControl* PUSBAUDIODSDCONTROL;
