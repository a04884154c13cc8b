// Fills the gaps of mingw-w64's DDK headers where they differ from the
// platform's own kit, so that the kernel sources compile unchanged in the
// Windows build. Only that build force-includes it (cmake/windows-ddk.cmake);
// each gap names what the platform's header has. Nothing here is ours to
// define: a gap filled in mingw-w64 one day makes its entry redundant.
#pragma once

#ifndef __MINGW32__
#error "ddk_compat.h is for the mingw-w64 Windows build only."
#endif

// The platform's wdm.h takes InterlockedBitTestAndSet/Reset as compiler
// intrinsics; mingw's defines them inline after its intrin.h already did,
// which C++ refuses as a redefinition. Keep wdm.h's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// The platform's wdm.h declares RtlIsNtDdiVersionAvailable, an ntoskrnl
// export; mingw's renames it to WdmlibRtlIsNtDdiVersionAvailable, which no
// library provides. Defining the name to itself keeps the rename out.
#define RtlIsNtDdiVersionAvailable RtlIsNtDdiVersionAvailable

#include <ntddk.h>

extern "C" NTSYSAPI BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version);

// Allocation and mapping flags of the platform's wdm.h (Windows 8 kit on).
#ifndef POOL_NX_ALLOCATION
#define POOL_NX_ALLOCATION 512
#endif
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

// The platform's wdm.h (Windows 8 kit on) takes the mapping priority as a
// ULONG, an MM_PAGE_PRIORITY ORed with MdlMapping* flags; mingw's keeps the
// older MM_PAGE_PRIORITY parameter, which refuses the flags.
inline PVOID MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                          PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority) {
    return MmMapLockedPagesSpecifyCache(Mdl, AccessMode, CacheType, RequestedAddress, BugCheckOnFailure,
                                        static_cast<MM_PAGE_PRIORITY>(Priority));
}

// Trace levels of the platform's wdm.h (from evntrace.h's values); mingw's
// wdm.h has none.
#ifndef TRACE_LEVEL_NONE
#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5
#endif

// The platform's ntdef.h has these; mingw's has them only in winnt.h, which
// kernel code does not include, so its punknown.h (and drmk.h) fail.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif

// The platform's drmk.h stands on its own; mingw's uses DWORD, BOOL and
// PUNKNOWN without including where they come from (its portcls.h includes
// these first).
#include <windef.h>
#include <punknown.h>
#include <drmk.h>
// Being force-included, mingw's drmk.h comes before any unit's initguid.h,
// so its one GUID would only ever be declared; the platform's kit links it
// from a library. Defined here as the kit's headers define GUIDs under
// INITGUID.
extern "C" const GUID DECLSPEC_SELECTANY IID_IDrmAudioStream = {
    0x1915C967, 0x3299, 0x48CB, {0xA3, 0xE4, 0x69, 0xFD, 0x1D, 0x1B, 0x30, 0x6E}};
// mingw's drmk.h leaves INTERFACE defined as its last interface's name,
// which hides wdm.h's INTERFACE structure from ks.h; the platform's COM
// headers leave no such macro behind.
#undef INTERFACE

// The platform's ksmedia.h uses TCHAR (char in kernel code, which is not
// compiled for UNICODE); mingw's has it only from winnt.h.
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef char TCHAR, *PTCHAR;
typedef unsigned char TBYTE, *PTBYTE;
#endif

// mingw's ksmedia.h names the WAVE_FORMAT_* tags of mmreg.h in its GUIDs
// without including it (its portcls.h includes it first, as here).
#define NOBITMAP
#include <mmreg.h>
#undef NOBITMAP

// GUID initialisers of the platform's ksmedia.h that mingw's lacks (Windows
// 8.1 kit on) or names differently.
#define STATIC_KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE \
    0xE1F89EB5L, 0x5F46, 0x419B, 0x96, 0x7B, 0xFF, 0x67, 0x70, 0xB9, 0x84, 0x01
#define STATIC_KSNODETYPE_SURROUND_ENCODER STATIC_KSNODETYPE_PROLOGIC_ENCODER

// The WaveRT records of the platform's ksmedia.h that mingw's portcls.h
// uses but mingw's ksmedia.h lacks.
typedef struct {
    ULONG FifoSize;
    ULONG ChipsetDelay;
    ULONG CodecDelay;
} KSRTAUDIO_HWLATENCY, *PKSRTAUDIO_HWLATENCY;
typedef struct {
    PVOID Register;
    ULONG Width;
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;
static_assert(sizeof(KSRTAUDIO_HWLATENCY) == 12, "KSRTAUDIO_HWLATENCY layout");
static_assert(sizeof(KSRTAUDIO_HWREGISTER) == 40, "KSRTAUDIO_HWREGISTER layout");

// The platform's usbdlib.h declares the USBD_* functions extern "C"; mingw's
// does not, so C++ would look for mangled names usbd does not export.
#include <usb.h>
extern "C" {
#include <usbdlib.h>
}

// Published PortCls and KS names mingw's portcls.h and ksmedia.h lack. The
// GUIDs are selectany definitions, as the platform's headers make them
// under INITGUID, so every unit may see them and the image keeps one copy.
extern "C" __declspec(dllimport) NTSTATUS NTAPI PcGetPhysicalDeviceObject(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT* PhysicalDeviceObject);

extern "C" const GUID DECLSPEC_SELECTANY IID_IMiniportAudioSignalProcessing = {
    0xB532678C, 0xBE50, 0x472D, {0x99, 0x73, 0x8A, 0x6F, 0x16, 0x59, 0x49, 0x89}};
DECLARE_INTERFACE_(IMiniportAudioSignalProcessing, IUnknown) {
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID, PVOID*) PURE;
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;
    STDMETHOD_(ULONG, Release)(THIS) PURE;
    STDMETHOD_(NTSTATUS, GetModes)(THIS_ ULONG Pin, GUID * SignalProcessingModes, ULONG * NumSignalProcessingModes)
        PURE;
};
typedef IMiniportAudioSignalProcessing* PMINIPORTAUDIOSIGNALPROCESSING;

extern "C" const GUID DECLSPEC_SELECTANY AUDIO_SIGNALPROCESSINGMODE_RAW = {
    0x9E90EA20, 0xB493, 0x4FD1, {0xA1, 0xA8, 0x7E, 0x13, 0x61, 0xA9, 0x56, 0xCF}};

extern "C" const GUID DECLSPEC_SELECTANY KSPROPSETID_Jack = {
    0x4509F757, 0x2D46, 0x4637, {0x8E, 0x62, 0xCE, 0x7D, 0xB9, 0x44, 0xF5, 0x7B}};
typedef enum {
    KSPROPERTY_JACK_DESCRIPTION = 1,
    KSPROPERTY_JACK_DESCRIPTION2 = 2,
    KSPROPERTY_JACK_SINK_INFO = 3,
    KSPROPERTY_JACK_CONTAINERID
} KSPROPERTY_JACK;
#define JACKDESC2_PRESENCE_DETECT_CAPABILITY 0x00000001
#define JACKDESC2_DYNAMIC_FORMAT_CHANGE_CAPABILITY 0x00000002

// The platform's wdm.h has the type check of RtlQueryRegistryValues's direct
// entries; mingw's lacks it.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#define RTL_QUERY_REGISTRY_TYPECHECK_MASK (0xff << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)
#endif
