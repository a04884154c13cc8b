// The kernel's registry routines: key handles (ZwOpenKey, ZwCreateKey,
// closed by ZwClose through the object manager) and values (ZwQueryValueKey,
// ZwSetValueKey, ZwDeleteValueKey), with the platform's statuses and buffer
// rules. All of them run at PASSIVE_LEVEL only, as on Windows.

#include <cstring>
#include <set>

#include "kernel_state.h"
#include "registry_keys.h"
#include "verifier.h"
#include "wide_text.h"

namespace km {

namespace {

_OBJECT_TYPE g_keyType{"Key"};
POBJECT_TYPE g_keyTypePointer = &g_keyType;

constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;

std::mutex g_openLock;
std::set<const KeyObject*> g_openKeys;

ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
    if (access & (GENERIC_ALL | kMaximumAllowed)) access |= KEY_ALL_ACCESS;
    if (access & GENERIC_READ) access |= KEY_READ;
    if (access & GENERIC_WRITE) access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) access |= KEY_EXECUTE;
    return access & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | kMaximumAllowed);
}

void DestroyKeyObject(PVOID object) {
    auto* key = static_cast<KeyObject*>(object);
    {
        std::lock_guard<std::mutex> guard(g_openLock);
        g_openKeys.erase(key);
    }
    delete key;
}

}  // namespace

KeyReference::~KeyReference() {
    if (object_ != nullptr) {
        ObDereferenceObject(object_);
    }
}

NTSTATUS KeyReference::Take(HANDLE handle, ACCESS_MASK needed) {
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(handle, needed, g_keyTypePointer, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    object_ = static_cast<KeyObject*>(object);
    if ((object_->access & needed) != needed) {
        return STATUS_ACCESS_DENIED;
    }
    return object_->key->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

HANDLE OpenKeyHandle(const RegKeyRef& key, ACCESS_MASK access) {
    auto* object = new KeyObject{key, MapGenericAccess(access)};
    {
        std::lock_guard<std::mutex> guard(g_openLock);
        g_openKeys.insert(object);
    }
    RegisterObject(object, g_keyTypePointer, DestroyKeyObject, 1);
    return CreateHandle(object);
}

NTSTATUS OpenOrCreateKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, bool create,
                         PULONG disposition) {
    if (handle == nullptr || attributes == nullptr || attributes->ObjectName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    KeyReference root;
    if (attributes->RootDirectory != nullptr) {
        NTSTATUS status = root.Take(attributes->RootDirectory, 0);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    RegKeyRef from = root ? root->key : nullptr;
    RegKeyRef key;
    bool created = false;
    NTSTATUS status;
    {
        RegistryStore& store = Registry();
        auto lock = store.Lock();
        status = create ? store.CreateLocked(from, View(attributes->ObjectName), false, &key, &created)
                        : store.ResolveLocked(from, View(attributes->ObjectName), &key);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *handle = OpenKeyHandle(key, access);
    return STATUS_SUCCESS;
}

void RegistryReportOpenKeys(std::string& report) {
    std::lock_guard<std::mutex> guard(g_openLock);
    for (const KeyObject* key : g_openKeys) {
        report += "  registry key " + Utf8(key->key->Path()) + " is still open\n";
    }
}

}  // namespace km

namespace {

// What a value record of the given class holds: its fixed part, where the
// name and the data go, and the whole size.
struct ValueLayout {
    ULONG fixed;       // bytes before the variable part
    ULONG nameOffset;  // 0: no name
    ULONG dataOffset;  // 0: no data
    ULONG total;
};

bool LayoutFor(KEY_VALUE_INFORMATION_CLASS infoClass, const km::RegValue& value, ValueLayout* layout) {
    auto nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    auto dataBytes = static_cast<ULONG>(value.data.size());
    switch (infoClass) {
        case KeyValueBasicInformation:
            *layout = {FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name), FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name),
                       0, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name) + nameBytes};
            return true;
        case KeyValuePartialInformation:
            *layout = {FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data), 0,
                       FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data),
                       FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + dataBytes};
            return true;
        case KeyValueFullInformation: {
            // The data follows the name, aligned to a ULONG.
            auto dataOffset =
                static_cast<ULONG>(ALIGN_UP_BY(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + nameBytes, sizeof(ULONG)));
            *layout = {FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name), FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name),
                       dataOffset, dataOffset + dataBytes};
            return true;
        }
        default:
            return false;
    }
}

// Writes only the record's fixed fields: the buffer may end right after them.
void WriteFixedPart(KEY_VALUE_INFORMATION_CLASS infoClass, const km::RegValue& value, const ValueLayout& layout,
                    PVOID buffer) {
    auto nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    auto dataBytes = static_cast<ULONG>(value.data.size());
    union {
        KEY_VALUE_BASIC_INFORMATION basic;
        KEY_VALUE_PARTIAL_INFORMATION partial;
        KEY_VALUE_FULL_INFORMATION full;
    } record{};
    if (infoClass == KeyValueBasicInformation) {
        record.basic = {0, value.type, nameBytes, {0}};
    } else if (infoClass == KeyValuePartialInformation) {
        record.partial = {0, value.type, dataBytes, {0}};
    } else {
        record.full = {0, value.type, layout.dataOffset, dataBytes, nameBytes, {0}};
    }
    memcpy(buffer, &record, layout.fixed);
}

// Copies what fits of [offset, offset + size) of the record into a buffer of `length` bytes.
void CopyPart(PVOID buffer, ULONG length, ULONG offset, const void* source, size_t size) {
    if (offset >= length || size == 0) {
        return;
    }
    size_t room = length - offset;
    memcpy(static_cast<UCHAR*>(buffer) + offset, source, size < room ? size : room);
}

}  // namespace

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "ZwOpenKey");
    return km::OpenOrCreateKey(KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr);
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG,
                           PUNICODE_STRING, ULONG, PULONG Disposition) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "ZwCreateKey");
    return km::OpenOrCreateKey(KeyHandle, DesiredAccess, ObjectAttributes, true, Disposition);
}

// The buffer rules as published: a buffer smaller than the record's fixed
// part gets nothing (STATUS_BUFFER_TOO_SMALL); one that holds the fixed part
// but not all of the name and data gets the fixed part and what fits of the
// rest (STATUS_BUFFER_OVERFLOW). ResultLength is always the size needed.
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "ZwQueryValueKey");
    km::KeyReference key;
    NTSTATUS status = key.Take(KeyHandle, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ResultLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto lock = km::Registry().Lock();
    km::RegValue* value = key->key->FindValue(km::View(ValueName));
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    ValueLayout layout;
    if (!LayoutFor(KeyValueInformationClass, *value, &layout)) {
        return STATUS_INVALID_PARAMETER;
    }
    *ResultLength = layout.total;
    if (KeyValueInformation == nullptr || Length < layout.fixed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    WriteFixedPart(KeyValueInformationClass, *value, layout, KeyValueInformation);
    if (layout.nameOffset != 0) {
        CopyPart(KeyValueInformation, Length, layout.nameOffset, value->name.data(), value->name.size() * sizeof(WCHAR));
    }
    if (layout.dataOffset != 0) {
        CopyPart(KeyValueInformation, Length, layout.dataOffset, value->data.data(), value->data.size());
    }
    return Length < layout.total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data,
                             ULONG DataSize) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "ZwSetValueKey");
    km::KeyReference key;
    NTSTATUS status = key.Take(KeyHandle, KEY_SET_VALUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Data == nullptr && DataSize != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    auto lock = km::Registry().Lock();
    km::RegistryStore::SetValueLocked(*key->key, km::View(ValueName), Type, Data, DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "ZwDeleteValueKey");
    km::KeyReference key;
    NTSTATUS status = key.Take(KeyHandle, KEY_SET_VALUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto lock = km::Registry().Lock();
    return key->key->EraseValue(km::View(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
