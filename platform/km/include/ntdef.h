// Stand-in for the Windows kernel's <ntdef.h>: the basic types with their
// LLP64 sizes (LONG is 32 bits even though the host is LP64), strings, lists,
// LARGE_INTEGER and the small helper macros.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <guiddef.h>

#ifndef __cplusplus
#error "The stand-in headers are C++ only."
#endif

// The annotations the real headers take from <sal.h> and <driverspecs.h>.
// They carry meaning for the code analysis tools only.
#define IN
#define OUT
#define OPTIONAL
#define UNALIGNED
#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define FASTCALL
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_ALIGN(x) alignas(x)
#define DECLSPEC_CACHEALIGN alignas(64)
#define FORCEINLINE inline __attribute__((always_inline))
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_(n)
#define _In_reads_bytes_(n)
#define _Out_writes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Outptr_
#define _Outptr_result_maybenull_
#define _Must_inspect_result_
#define _Use_decl_annotations_
#define _When_(c, a)
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(kind, param)
#define _IRQL_restores_global_(kind, param)
#define _IRQL_always_function_min_(irql)
#define _IRQL_always_function_max_(irql)
#define _Requires_lock_held_(lock)
#define _Requires_lock_not_held_(lock)
#define _Acquires_lock_(lock)
#define _Releases_lock_(lock)
#define _Function_class_(name)
#define _Dispatch_type_(type)
#define _Kernel_float_saved_
#define _Kernel_float_restored_

#define UNREFERENCED_PARAMETER(P) ((void)(P))

typedef void VOID;
typedef void* PVOID;
typedef const void* PCVOID;
typedef char CHAR;
typedef signed char SCHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef int64_t LONG_PTR;
typedef uint64_t ULONG_PTR;
typedef int64_t INT_PTR;
typedef uint64_t UINT_PTR;
typedef uint64_t SIZE_T;
typedef int64_t SSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef UCHAR BOOLEAN;
typedef UCHAR BYTE;
typedef USHORT WORD;
typedef ULONG DWORD;
typedef INT BOOL;  // as <minwindef.h> gives it, for the structures that use it
typedef ULONGLONG DWORD64;
typedef ULONG_PTR DWORD_PTR;
typedef wchar_t WCHAR;  // 16 bits: the Windows-facing code is built with -fshort-wchar
typedef LONG NTSTATUS;
typedef PVOID HANDLE;
typedef ULONG LOGICAL;
typedef ULONG ACCESS_MASK;
typedef ULONG CLONG;
typedef LONG KPRIORITY;
typedef UCHAR KIRQL;
typedef char CCHAR;
typedef CCHAR KPROCESSOR_MODE;

typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCSZ;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* PCWCH;
typedef HANDLE* PHANDLE;
typedef NTSTATUS* PNTSTATUS;
typedef KIRQL* PKIRQL;
typedef ACCESS_MASK* PACCESS_MASK;

static_assert(sizeof(WCHAR) == 2, "WCHAR must be 16 bits: build with -fshort-wchar");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LLP64 LONG");
static_assert(sizeof(PVOID) == 8, "x64 only");

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define ARGUMENT_PRESENT(ArgumentPointer) ((CHAR*)((ULONG_PTR)(ArgumentPointer)) != (CHAR*)NULL)

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment) - 1))
#define ALIGN_UP_BY(length, alignment) (ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment) - 1), alignment))

#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffu
#define MAXLONG 0x7fffffff
#define MINLONG (-MAXLONG - 1)
#define MAXLONGLONG (0x7fffffffffffffffLL)

#define LOBYTE(w) ((UCHAR)(((ULONG_PTR)(w)) & 0xff))
#define HIBYTE(w) ((UCHAR)((((ULONG_PTR)(w)) >> 8) & 0xff))
#define LOWORD(l) ((USHORT)(((ULONG_PTR)(l)) & 0xffff))
#define HIWORD(l) ((USHORT)((((ULONG_PTR)(l)) >> 16) & 0xffff))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

#define RTL_CONSTANT_STRING(s) \
    { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWCH)(s) }

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;

static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY layout");
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING layout");
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER layout");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES layout");
