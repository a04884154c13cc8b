// Registry key objects inside the stand-in: what a key handle refers to, and
// the helpers the Zw, Rtl and Io registry routines share.
#pragma once

#include "registry_store.h"

namespace km {

// The object a key handle refers to, registered with the object manager as
// a "Key" object so that ZwClose and the teardown check see it.
struct KeyObject {
    RegKeyRef key;
    ACCESS_MASK access;
};

// A referenced key object taken from a handle, checked for the access
// needed; dropped when it goes out of scope.
class KeyReference {
public:
    KeyReference() = default;
    ~KeyReference();
    KeyReference(const KeyReference&) = delete;
    KeyReference& operator=(const KeyReference&) = delete;

    NTSTATUS Take(HANDLE handle, ACCESS_MASK needed);
    explicit operator bool() const { return object_ != nullptr; }
    KeyObject* operator->() const { return object_; }

private:
    KeyObject* object_ = nullptr;
};

// A new kernel handle to the key.
HANDLE OpenKeyHandle(const RegKeyRef& key, ACCESS_MASK access);
NTSTATUS OpenOrCreateKey(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, bool create,
                         PULONG disposition);

}  // namespace km
