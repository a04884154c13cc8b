// RtlQueryRegistryValues and RtlWriteRegistryValue: a key named relative to
// one of the standard roots, and a query table served value by value, either
// straight into the caller's variables (RTL_QUERY_REGISTRY_DIRECT) or through
// the caller's routine.

#include "kernel_state.h"
#include "registry_keys.h"
#include "verifier.h"
#include "wide_text.h"

namespace {

constexpr ULONG kStringTag = 0x69727453;  // 'Stri', as the other Rtl string allocations
constexpr ULONG kUnsupportedFlags = RTL_QUERY_REGISTRY_NOVALUE;

// The full path a RelativeTo value and a path name.
std::u16string FullPath(ULONG relativeTo, PCWSTR path) {
    static const char16_t* const kRoots[RTL_REGISTRY_MAXIMUM] = {
        u"",
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\",
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\",
        u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\",
        u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\",
        u"\\Registry\\User\\.DEFAULT\\",
    };
    return std::u16string(kRoots[relativeTo]) + std::u16string(km::View(path));
}

// Finds (or, for writing, creates) the key the caller names.
NTSTATUS KeyFor(ULONG relativeTo, PCWSTR path, bool create, km::RegKeyRef* key) {
    ULONG root = relativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE);
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        km::KeyReference handle;
        NTSTATUS status = handle.Take(const_cast<PWSTR>(path), create ? KEY_SET_VALUE : KEY_QUERY_VALUE);
        if (NT_SUCCESS(status)) {
            *key = handle->key;
        }
        return status;
    }
    if (root >= RTL_REGISTRY_MAXIMUM || path == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    km::RegistryStore& store = km::Registry();
    auto lock = store.Lock();
    std::u16string full = FullPath(root, path);
    if (!full.empty() && full.back() == u'\\') {
        full.pop_back();
    }
    bool created;
    return create ? store.CreateLocked(nullptr, full, false, key, &created) : store.ResolveLocked(nullptr, full, key);
}

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// A string value into the caller's UNICODE_STRING, allocating the buffer
// when the caller left it null.
NTSTATUS StoreString(PUNICODE_STRING target, const uint8_t* data, ULONG length) {
    ULONG text = length >= sizeof(WCHAR) && data[length - 1] == 0 && data[length - 2] == 0 ? length - sizeof(WCHAR)
                                                                                          : length;
    if (text > 0xFFFC) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (target->Buffer == nullptr) {
        auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, text + sizeof(WCHAR), kStringTag));
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        target->Buffer = buffer;
        target->MaximumLength = static_cast<USHORT>(text + sizeof(WCHAR));
    } else if (target->MaximumLength < text + sizeof(WCHAR)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(target->Buffer, data, text);
    target->Buffer[text / sizeof(WCHAR)] = 0;
    target->Length = static_cast<USHORT>(text);
    return STATUS_SUCCESS;
}

// A value straight into EntryContext: a UNICODE_STRING for strings, the
// bytes themselves up to a ULONG, else a buffer headed by its size (a
// negative LONG: the data only; positive: length, type, then the data).
NTSTATUS StoreDirect(PVOID entryContext, ULONG type, const uint8_t* data, ULONG length) {
    if (IsStringType(type)) {
        return StoreString(static_cast<PUNICODE_STRING>(entryContext), data, length);
    }
    if (length <= sizeof(ULONG)) {
        memcpy(entryContext, data, length);
        return STATUS_SUCCESS;
    }
    LONG size = *static_cast<PLONG>(entryContext);
    auto* bytes = static_cast<UCHAR*>(entryContext);
    if (size < 0) {
        if (static_cast<ULONG>(-static_cast<LONGLONG>(size)) < length) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(bytes, data, length);
        return STATUS_SUCCESS;
    }
    if (static_cast<ULONG>(size) < length + 2 * sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    static_cast<PULONG>(entryContext)[0] = length;
    static_cast<PULONG>(entryContext)[1] = type;
    memcpy(bytes + 2 * sizeof(ULONG), data, length);
    return STATUS_SUCCESS;
}

// Through the caller's routine. A REG_MULTI_SZ goes string by string unless
// the entry asks for RTL_QUERY_REGISTRY_NOEXPAND. REG_EXPAND_SZ is handed
// over unexpanded: the simulation has no environment to expand it from.
NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, PWSTR name, ULONG type, const uint8_t* data,
                     ULONG length, PVOID context) {
    if (type != REG_MULTI_SZ || (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        return entry.QueryRoutine(name, type, const_cast<uint8_t*>(data), length, context, entry.EntryContext);
    }
    const auto* text = reinterpret_cast<const WCHAR*>(data);
    ULONG chars = length / sizeof(WCHAR);
    for (ULONG start = 0; start < chars && text[start] != 0;) {
        ULONG end = start;
        while (end < chars && text[end] != 0) {
            ++end;
        }
        ULONG bytes = (end - start + (end < chars ? 1 : 0)) * sizeof(WCHAR);
        NTSTATUS status = entry.QueryRoutine(name, REG_SZ, const_cast<WCHAR*>(text + start), bytes, context,
                                             entry.EntryContext);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        start = end + 1;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, PWSTR name, ULONG type, const uint8_t* data, ULONG length,
                 PVOID context) {
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) {
        return StoreDirect(entry.EntryContext, type, data, length);
    }
    return CallRoutine(entry, name, type, data, length, context);
}

// The entry's default, used when the value is missing.
NTSTATUS DeliverDefault(const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context) {
    ULONG type = entry.DefaultType & ~RTL_QUERY_REGISTRY_TYPECHECK_MASK;
    if (type == REG_NONE || entry.DefaultData == nullptr) {
        return (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
    }
    ULONG length = entry.DefaultLength;
    if (length == 0 && IsStringType(type)) {
        length = static_cast<ULONG>((km::View(static_cast<PCWSTR>(entry.DefaultData)).size() + 1) * sizeof(WCHAR));
    }
    return Deliver(entry, const_cast<PWSTR>(entry.Name), type, static_cast<const uint8_t*>(entry.DefaultData), length,
                   context);
}

// One named value of the current key.
NTSTATUS QueryNamedValue(const km::RegKeyRef& key, const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context) {
    km::RegValue value;
    bool found;
    {
        auto lock = km::Registry().Lock();
        km::RegValue* stored = key->FindValue(km::View(entry.Name));
        found = stored != nullptr;
        if (found) {
            value = *stored;
        }
    }
    if (!found) {
        return DeliverDefault(entry, context);
    }
    if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) &&
        value.type != (entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    NTSTATUS status = Deliver(entry, const_cast<PWSTR>(entry.Name), value.type, value.data.data(),
                              static_cast<ULONG>(value.data.size()), context);
    if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE)) {
        auto lock = km::Registry().Lock();
        key->EraseValue(km::View(entry.Name));
    }
    return status;
}

// Every value of the current key, for an entry with a routine and no name.
NTSTATUS QueryEveryValue(const km::RegKeyRef& key, const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context) {
    std::vector<km::RegValue> values;
    {
        auto lock = km::Registry().Lock();
        values = key->values;
    }
    for (km::RegValue& value : values) {
        std::u16string name = value.name;  // terminated copy for the routine
        NTSTATUS status = CallRoutine(entry, reinterpret_cast<PWSTR>(name.data()), value.type, value.data.data(),
                                      static_cast<ULONG>(value.data.size()), context);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                      PVOID Context, PVOID) {
    const void* caller = KM_CALLER;
    km::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "RtlQueryRegistryValues");
    km::RegKeyRef top;
    NTSTATUS status = KeyFor(RelativeTo, Path, false, &top);
    if (!NT_SUCCESS(status)) {
        return status == STATUS_OBJECT_NAME_NOT_FOUND && (RelativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS
                                                                                             : status;
    }
    km::RegKeyRef current = top;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr || (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT));
         ++entry) {
        if (entry->Flags & kUnsupportedFlags) {
            km::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, caller,
                     "RtlQueryRegistryValues with RTL_QUERY_REGISTRY_NOVALUE, which the stand-in does not simulate");
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) {
            current = top;
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            auto lock = km::Registry().Lock();
            status = km::Registry().ResolveLocked(top, km::View(entry->Name), &current);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            continue;
        }
        if (entry->Name == nullptr && (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)) {
            return STATUS_INVALID_PARAMETER;
        }
        status = entry->Name != nullptr ? QueryNamedValue(current, *entry, Context)
                                        : QueryEveryValue(current, *entry, Context);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                     PVOID ValueData, ULONG ValueLength) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "RtlWriteRegistryValue");
    km::RegKeyRef key;
    NTSTATUS status = KeyFor(RelativeTo, Path, true, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ValueData == nullptr && ValueLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    auto lock = km::Registry().Lock();
    km::RegistryStore::SetValueLocked(*key, km::View(ValueName), ValueType, ValueData, ValueLength);
    return STATUS_SUCCESS;
}
