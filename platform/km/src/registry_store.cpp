// The registry's key tree: lookup by path, creation, deletion and values.

#include "registry_store.h"

#include "wide_text.h"

namespace km {

namespace {

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (RtlUpcaseUnicodeChar(static_cast<WCHAR>(a[i])) != RtlUpcaseUnicodeChar(static_cast<WCHAR>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Splits a path at its backslashes. A leading backslash marks a full path.
NTSTATUS Components(std::u16string_view path, std::vector<std::u16string_view>* parts) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) {
            end = path.size();
        }
        if (end == start) {
            // Only a single trailing backslash is tolerated, as the object manager does.
            if (end == path.size() && !parts->empty()) {
                break;
            }
            return STATUS_OBJECT_NAME_INVALID;
        }
        parts->push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return STATUS_SUCCESS;
}

constexpr char16_t kRootName[] = u"REGISTRY";

std::unique_ptr<RegistryStore> g_store;
std::mutex g_storeLock;

}  // namespace

RegKey* RegKey::FindSubkey(std::u16string_view childName) const {
    for (const RegKeyRef& child : subkeys) {
        if (SameName(child->name, childName)) {
            return child.get();
        }
    }
    return nullptr;
}

RegValue* RegKey::FindValue(std::u16string_view valueName) {
    for (RegValue& value : values) {
        if (SameName(value.name, valueName)) {
            return &value;
        }
    }
    return nullptr;
}

bool RegKey::EraseValue(std::u16string_view valueName) {
    RegValue* value = FindValue(valueName);
    if (value == nullptr) {
        return false;
    }
    values.erase(values.begin() + (value - values.data()));
    return true;
}

std::u16string RegKey::Path() const {
    if (parent == nullptr) {
        return u"\\" + name;
    }
    return parent->Path() + u"\\" + name;
}

RegistryStore::RegistryStore() : root_(std::make_shared<RegKey>()) {
    root_->name = u"REGISTRY";
    static const char16_t* const kStandardKeys[] = {
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum",
        u"\\Registry\\Machine\\SOFTWARE",
        u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",
        u"\\Registry\\User\\.DEFAULT",
    };
    for (const char16_t* path : kStandardKeys) {
        RegKeyRef key;
        bool created;
        CreateLocked(nullptr, path, true, &key, &created);
    }
}

RegKeyRef RegistryStore::ChildRef(const RegKey& parent, const RegKey* child) const {
    for (const RegKeyRef& candidate : parent.subkeys) {
        if (candidate.get() == child) {
            return candidate;
        }
    }
    return nullptr;
}

NTSTATUS RegistryStore::ResolveLocked(const RegKeyRef& from, std::u16string_view path, RegKeyRef* key) {
    return WalkLocked(from, path, Create::None, key, nullptr);
}

NTSTATUS RegistryStore::CreateLocked(const RegKeyRef& from, std::u16string_view path, bool parents, RegKeyRef* key,
                                     bool* created) {
    return WalkLocked(from, path, parents ? Create::Every : Create::Last, key, created);
}

NTSTATUS RegistryStore::WalkLocked(const RegKeyRef& from, std::u16string_view path, Create create, RegKeyRef* key,
                                   bool* created) {
    if (created != nullptr) {
        *created = false;
    }
    RegKeyRef current = from;
    if (from == nullptr) {
        // A full path: "\Registry" is the only root the registry answers for.
        if (path.empty() || path[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        path.remove_prefix(1);
    } else if (from->deleted) {
        return STATUS_KEY_DELETED;
    }
    std::vector<std::u16string_view> parts;
    if (!path.empty()) {
        NTSTATUS status = Components(path, &parts);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    size_t first = 0;
    if (from == nullptr) {
        if (parts.empty() || !SameName(parts[0], kRootName)) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        current = root_;
        first = 1;
    }
    for (size_t i = first; i < parts.size(); ++i) {
        RegKey* child = current->FindSubkey(parts[i]);
        if (child != nullptr) {
            current = ChildRef(*current, child);
            continue;
        }
        bool last = i + 1 == parts.size();
        if (create == Create::None || (create == Create::Last && !last)) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        auto made = std::make_shared<RegKey>();
        made->name = std::u16string(parts[i]);
        made->parent = current.get();
        current->subkeys.push_back(made);
        current = made;
        if (last && created != nullptr) {
            *created = true;
        }
    }
    *key = current;
    return STATUS_SUCCESS;
}

void RegistryStore::DeleteLocked(const RegKeyRef& key) {
    ForEachUnder(*key, [](RegKey& each) { each.deleted = true; });
    if (key->parent != nullptr) {
        auto& siblings = key->parent->subkeys;
        for (auto it = siblings.begin(); it != siblings.end(); ++it) {
            if (it->get() == key.get()) {
                siblings.erase(it);
                break;
            }
        }
        key->parent = nullptr;
    }
}

void RegistryStore::SetValueLocked(RegKey& key, std::u16string_view name, ULONG type, const void* data,
                                   size_t size) {
    RegValue* value = key.FindValue(name);
    if (value == nullptr) {
        key.values.push_back(RegValue{std::u16string(name), type, {}});
        value = &key.values.back();
    }
    value->type = type;
    const auto* bytes = static_cast<const uint8_t*>(data);
    value->data.assign(bytes, bytes + size);
}

RegistryStore& Registry() {
    std::lock_guard<std::mutex> guard(g_storeLock);
    if (g_store == nullptr) {
        g_store = std::make_unique<RegistryStore>();
    }
    return *g_store;
}

void RegistryReset() {
    std::lock_guard<std::mutex> guard(g_storeLock);
    g_store = std::make_unique<RegistryStore>();
}

}  // namespace km
