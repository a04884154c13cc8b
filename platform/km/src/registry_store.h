// The registry's store: a tree of keys with typed values, one per
// simulation, shared by the kernel's Zw and Rtl routines, the test control
// and (later) the user-mode stand-in. Names keep the case they were created
// with and compare without regard to it.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace km {

struct RegValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct RegKey {
    std::u16string name;
    RegKey* parent = nullptr;
    bool deleted = false;  // removed from the tree; open handles keep it alive
    std::vector<std::shared_ptr<RegKey>> subkeys;  // in creation order
    std::vector<RegValue> values;                  // in creation order

    RegKey* FindSubkey(std::u16string_view childName) const;
    RegValue* FindValue(std::u16string_view valueName);
    bool EraseValue(std::u16string_view valueName);
    std::u16string Path() const;
};

using RegKeyRef = std::shared_ptr<RegKey>;

// The store's lock guards every key and value; take it through Lock().
class RegistryStore {
public:
    RegistryStore();

    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(lock_); }

    // Under the lock. Paths are full ("\Registry\...") or, with `from`,
    // relative to it. Resolve reports STATUS_OBJECT_NAME_NOT_FOUND for a
    // missing key and STATUS_OBJECT_NAME_INVALID for an empty component.
    NTSTATUS ResolveLocked(const RegKeyRef& from, std::u16string_view path, RegKeyRef* key);
    // Creates the last component if it is missing (its parent must exist),
    // or every missing component with `parents`.
    NTSTATUS CreateLocked(const RegKeyRef& from, std::u16string_view path, bool parents, RegKeyRef* key,
                          bool* created);
    void DeleteLocked(const RegKeyRef& key);
    static void SetValueLocked(RegKey& key, std::u16string_view name, ULONG type, const void* data, size_t size);

    // Every key of the tree (or under `key`, itself included), depth first in creation order.
    template <typename Fn>
    void ForEachKeyLocked(Fn&& fn) {
        ForEachUnder(*root_, fn);
    }

    template <typename Fn>
    static void ForEachUnder(RegKey& key, Fn&& fn) {
        fn(key);
        for (const RegKeyRef& child : key.subkeys) {
            ForEachUnder(*child, fn);
        }
    }

private:
    enum class Create { None, Last, Every };
    NTSTATUS WalkLocked(const RegKeyRef& from, std::u16string_view path, Create create, RegKeyRef* key,
                        bool* created);
    RegKeyRef ChildRef(const RegKey& parent, const RegKey* child) const;

    std::mutex lock_;
    RegKeyRef root_;  // "\Registry"
};

// The store of the running simulation.
RegistryStore& Registry();
void RegistryReset();
void RegistryReportOpenKeys(std::string& report);

}  // namespace km
