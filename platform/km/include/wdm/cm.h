// Configuration manager (registry) part of <wdm.h>: value types, key access
// rights, the Zw key and value routines, the Rtl registry helpers and the
// device's registry keys.
#pragma once

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_FULL_RESOURCE_DESCRIPTOR 9
#define REG_RESOURCE_REQUIREMENTS_LIST 10
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_EXECUTE ((KEY_READ) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                                   \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | \
      KEY_NOTIFY | KEY_CREATE_LINK) &                                                                    \
     (~SYNCHRONIZE))

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;  // bytes
    WCHAR Name[1];     // not terminated
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;  // from the start of the record
    ULONG DataLength;
    ULONG NameLength;  // bytes
    WCHAR Name[1];     // not terminated; the data follows at DataOffset
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

static_assert(sizeof(KEY_VALUE_BASIC_INFORMATION) == 16, "KEY_VALUE_BASIC_INFORMATION layout");
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12, "KEY_VALUE_BASIC_INFORMATION layout");
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24, "KEY_VALUE_FULL_INFORMATION layout");
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20, "KEY_VALUE_FULL_INFORMATION layout");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "KEY_VALUE_PARTIAL_INFORMATION layout");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "KEY_VALUE_PARTIAL_INFORMATION layout");

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation,
    KeyValueFullInformationAlign64,
    KeyValuePartialInformationAlign64,
    KeyValueLayerInformation,
    MaxKeyValueInfoClass
} KEY_VALUE_INFORMATION_CLASS;

NTSYSAPI NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSYSAPI NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                      PVOID Data, ULONG DataSize);
NTSYSAPI NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);

// ---------------------------------------------------------------- Rtl registry helpers

#define RTL_REGISTRY_ABSOLUTE 0     // Path is a full key path
#define RTL_REGISTRY_SERVICES 1     // \Registry\Machine\System\CurrentControlSet\Services
#define RTL_REGISTRY_CONTROL 2      // \Registry\Machine\System\CurrentControlSet\Control
#define RTL_REGISTRY_WINDOWS_NT 3   // \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
#define RTL_REGISTRY_DEVICEMAP 4    // \Registry\Machine\Hardware\DeviceMap
#define RTL_REGISTRY_USER 5         // the current user's key
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_HANDLE 0x40000000    // Path is an open key handle
#define RTL_REGISTRY_OPTIONAL 0x80000000  // a missing key is no error

#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040
#define RTL_QUERY_REGISTRY_NOSTRING 0x00000080
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
// With RTL_QUERY_REGISTRY_TYPECHECK the expected value type sits in the top
// byte of DefaultType.
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#define RTL_QUERY_REGISTRY_TYPECHECK_MASK (0xff << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)

typedef NTSTATUS(NTAPI* PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                     ULONG ValueLength, PVOID Context, PVOID EntryContext);

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PCWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 56, "RTL_QUERY_REGISTRY_TABLE layout");
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, EntryContext) == 24, "RTL_QUERY_REGISTRY_TABLE layout");
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultData) == 40, "RTL_QUERY_REGISTRY_TABLE layout");

NTSYSAPI NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                               PVOID Context, PVOID Environment);
NTSYSAPI NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                              PVOID ValueData, ULONG ValueLength);

// ---------------------------------------------------------------- a device's keys

#define PLUGPLAY_REGKEY_DEVICE 1             // the hardware key: ...\Enum\<instance>\Device Parameters
#define PLUGPLAY_REGKEY_DRIVER 2             // the software key under the device class
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

NTKERNELAPI NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                                   ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey);
