// Run-time library part of <wdm.h>: memory helpers, doubly linked lists
// with the platform's fail-fast link checks, counted Unicode strings, the
// OS version query, fail-fast and bug checks.
#pragma once

#include <string.h>

// ---------------------------------------------------------------- memory

#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---------------------------------------------------------------- fail fast and bug checks

#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
#define FAST_FAIL_INVALID_ARG 5

// Ends the program at once, as the processor's fail-fast trap does.
[[noreturn]] NTSYSAPI VOID NTAPI RtlFailFast(ULONG Code);

[[noreturn]] NTKERNELAPI VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                                  ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                                                  ULONG_PTR BugCheckParameter4);

#define IRQL_NOT_LESS_OR_EQUAL 0x0000000A
#define NO_MORE_IRP_STACK_LOCATIONS 0x00000035
#define MAXIMUM_WAIT_OBJECTS_EXCEEDED 0x0000000C
#define IRQL_NOT_GREATER_OR_EQUAL 0x00000009
#define MUTEX_LEVEL_NUMBER_VIOLATION 0x0000000D
#define THREAD_NOT_MUTEX_OWNER 0x00000011
#define SPIN_LOCK_ALREADY_OWNED 0x0000000F
#define SPIN_LOCK_NOT_OWNED 0x00000010
#define BAD_POOL_CALLER 0x000000C2
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4
#define DRIVER_CORRUPTED_EXPOOL 0x000000C5
#define IRQL_UNEXPECTED_VALUE 0x000000C8
#define MULTIPLE_IRP_COMPLETE_REQUESTS 0x00000044
#define KERNEL_SECURITY_CHECK_FAILURE 0x00000139

// ---------------------------------------------------------------- doubly linked lists

FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead) { ListHead->Flink = ListHead->Blink = ListHead; }

FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) { return (BOOLEAN)(ListHead->Flink == ListHead); }

FORCEINLINE VOID RtlpCheckListEntry(PLIST_ENTRY Entry) {
    if (Entry->Flink->Blink != Entry || Entry->Blink->Flink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
}

FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = Entry->Flink;
    PLIST_ENTRY Blink = Entry->Blink;
    if (Flink->Blink != Entry || Blink->Flink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}

FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY Flink = Entry->Flink;
    if (Entry->Blink != ListHead || Flink->Blink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    ListHead->Flink = Flink;
    Flink->Blink = ListHead;
    return Entry;
}

FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Blink;
    PLIST_ENTRY Blink = Entry->Blink;
    if (Entry->Flink != ListHead || Blink->Flink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    ListHead->Blink = Blink;
    Blink->Flink = ListHead;
    return Entry;
}

FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Blink = ListHead->Blink;
    if (Blink->Flink != ListHead) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}

FORCEINLINE VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = ListHead->Flink;
    if (Flink->Blink != ListHead) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}

FORCEINLINE VOID PushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY Entry) {
    Entry->Next = ListHead->Next;
    ListHead->Next = Entry;
}

FORCEINLINE PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY ListHead) {
    PSINGLE_LIST_ENTRY FirstEntry = ListHead->Next;
    if (FirstEntry != NULL) {
        ListHead->Next = FirstEntry->Next;
    }
    return FirstEntry;
}

// ---------------------------------------------------------------- Unicode strings

NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);

// Frees a string buffer that the Rtl or Io routines allocated.
NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

NTSYSAPI NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);
NTSYSAPI NTSTATUS NTAPI RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid);

// ---------------------------------------------------------------- OS version

#define NTDDI_WIN7 0x06010000
#define NTDDI_WIN8 0x06020000
#define NTDDI_WINBLUE 0x06030000
#define NTDDI_WIN10 0x0A000000
#define NTDDI_WIN10_VB 0x0A000008
#define NTDDI_WIN10_NI 0x0A00000C
#define OSVER(Version) ((Version)&0xFFFF0000)

NTSYSAPI BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version);
