// IMiniportEngineSink: the WaveRT miniport's face for the streaming engine.
// The engine calls it from its transfer paths (IRQL <= DISPATCH_LEVEL,
// except StopAllStreams and RemoveSubdevice: PASSIVE_LEVEL) to move bytes
// between a stream's cyclic buffer and the USB transfers. Directions are
// booleans: TRUE capture, FALSE render.
#pragma once

#include <ntddk.h>
#include <ksmedia.h>
#include <portcls.h>

// {C0D9664A-4BD5-4B47-8BD7-BA041D3BA61C}
DEFINE_GUID(IID_IMiniportEngineSink, 0xc0d9664a, 0x4bd5, 0x4b47, 0x8b, 0xd7, 0xba, 0x04, 0x1d, 0x3b, 0xa6, 0x1c);

DECLARE_INTERFACE_(IMiniportEngineSink, IUnknown) {
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, FillSilence)(THIS_ BOOLEAN Capture, PVOID Address, ULONG Length) PURE;
    STDMETHOD_(void, AdvancePosition)(THIS_ BOOLEAN Capture, ULONG Bytes) PURE;
    // TRUE keeps the direction's gate and the stream's run gate entered
    // until LeaveRunningStream.
    STDMETHOD_(BOOLEAN, TryEnterRunningStream)(THIS_ BOOLEAN Capture) PURE;
    STDMETHOD_(void, LeaveRunningStream)(THIS_ BOOLEAN Capture) PURE;
    STDMETHOD_(void, StopAllStreams)(THIS) PURE;
    STDMETHOD_(void, TransferData)(THIS_ BOOLEAN Capture, ULONG Bytes) PURE;
    STDMETHOD_(NTSTATUS, RemoveSubdevice)(THIS_ PDEVICE_OBJECT DeviceObject) PURE;
    STDMETHOD_(NTSTATUS, GetStreamPosition)(THIS_ BOOLEAN Capture, PKSAUDIO_POSITION Position) PURE;
    STDMETHOD_(const PCFILTER_DESCRIPTOR*, GetFilterDescription)(THIS) PURE;

protected:
    ~IMiniportEngineSink() = default;  // never deleted through an interface
};
typedef IMiniportEngineSink* PMINIPORTENGINESINK;
