// Event tracing (Etw) part of <wdm.h>: provider registration and string
// events. A trace controller enables a provider at a level and keywords.
#pragma once

typedef ULONGLONG REGHANDLE, *PREGHANDLE;

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

typedef struct _EVENT_FILTER_DESCRIPTOR {
    ULONGLONG Ptr;
    ULONG Size;
    ULONG Type;
} EVENT_FILTER_DESCRIPTOR, *PEVENT_FILTER_DESCRIPTOR;

typedef VOID ETWENABLECALLBACK(LPCGUID SourceId, ULONG ControlCode, UCHAR Level, ULONGLONG MatchAnyKeyword,
                               ULONGLONG MatchAllKeyword, PEVENT_FILTER_DESCRIPTOR FilterData,
                               PVOID CallbackContext);
typedef ETWENABLECALLBACK* PETWENABLECALLBACK;

NTKERNELAPI NTSTATUS NTAPI EtwRegister(LPCGUID ProviderId, PETWENABLECALLBACK EnableCallback, PVOID CallbackContext,
                                       PREGHANDLE RegHandle);
NTKERNELAPI NTSTATUS NTAPI EtwUnregister(REGHANDLE RegHandle);
NTKERNELAPI BOOLEAN NTAPI EtwProviderEnabled(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword);
NTKERNELAPI NTSTATUS NTAPI EtwWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, LPCGUID ActivityId,
                                          PCWSTR String);
