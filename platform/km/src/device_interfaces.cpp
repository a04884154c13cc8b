// Device interfaces: registration by a driver for its physical device
// object, enabling and disabling, the symbolic links a client opens them
// through, and the enumeration and watches the test control offers.
//
// A symbolic link is made of the device's instance path (backslashes become
// '#'), the class GUID and, after a backslash, the reference string:
// "\??\USB#VID_1234&PID_5678&MI_00#7&1a2b&0&0000#{6994ad04-...}\name". The
// link itself ends before the reference string and names the physical device
// object; what follows it reaches the driver as the file object's name. So
// the link exists while any interface of that class on that device is enabled.

#include <map>
#include <mutex>

#include "device_interfaces_internal.h"
#include "device_nodes_internal.h"
#include "kernel_state.h"
#include "kmsim/device_interfaces.h"
#include "kmsim/device_nodes.h"
#include "verifier.h"
#include "wide_text.h"

namespace {

struct Registered {
    PDEVICE_OBJECT pdo;
    std::u16string link;       // "\??\...#{guid}": the part before the reference string
    std::u16string reference;  // without its backslash
    kmsim::DeviceInterface info;
};

std::mutex g_lock;
std::vector<Registered> g_interfaces;  // in registration order
std::vector<kmsim::DeviceInterfaceWatch::State*> g_watches;

std::u16string SymbolicLink(const Registered& entry) {
    return entry.reference.empty() ? entry.link : entry.link + u"\\" + entry.reference;
}

Registered* FindLocked(std::u16string_view symbolicLink) {
    std::u16string key = km::Upcase(symbolicLink);
    for (Registered& entry : g_interfaces) {
        if (km::Upcase(SymbolicLink(entry)) == key) {
            return &entry;
        }
    }
    return nullptr;
}

std::u16string LinkFor(const std::u16string& instancePath, const GUID& guid) {
    std::u16string link = u"\\??\\";
    for (char16_t c : instancePath) {
        link += c == u'\\' ? u'#' : c;
    }
    return link + u"#" + km::Utf16(km::GuidString(guid));
}

}  // namespace

struct kmsim::DeviceInterfaceWatch::State {
    GUID classGuid;
    std::function<void(const DeviceInterfaceEvent&)> notify;
    std::vector<DeviceInterfaceEvent> events;
};

namespace {

void Announce(const kmsim::DeviceInterface& info, bool arrival) {
    std::vector<std::function<void(const kmsim::DeviceInterfaceEvent&)>> calls;
    kmsim::DeviceInterfaceEvent event{arrival, info};
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (kmsim::DeviceInterfaceWatch::State* watch : g_watches) {
            if (IsEqualGUID(watch->classGuid, info.classGuid)) {
                watch->events.push_back(event);
                if (watch->notify) calls.push_back(watch->notify);
            }
        }
    }
    for (auto& call : calls) {
        call(event);
    }
}

NTSTATUS SetState(std::u16string_view symbolicLink, bool enable) {
    kmsim::DeviceInterface info;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        Registered* entry = FindLocked(symbolicLink);
        if (entry == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (entry->info.enabled == enable) {
            return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
        }
        entry->info.enabled = enable;
        info = entry->info;
    }
    Announce(info, enable);
    return STATUS_SUCCESS;
}

}  // namespace

namespace km {

void DeviceInterfacesReset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_interfaces.clear();
}

PDEVICE_OBJECT ResolveDeviceLink(std::u16string_view path, std::u16string* rest) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::u16string key = Upcase(path);
    for (const Registered& entry : g_interfaces) {
        std::u16string link = Upcase(entry.link);
        if (!entry.info.enabled || key.size() < link.size() || key.compare(0, link.size(), link) != 0) {
            continue;
        }
        if (key.size() == link.size() || key[link.size()] == u'\\') {
            *rest = std::u16string(path.substr(link.size()));
            return entry.pdo;
        }
    }
    return nullptr;
}

void DisableDeviceInterfacesOf(PDEVICE_OBJECT pdo) {
    std::vector<std::u16string> links;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        for (const Registered& entry : g_interfaces) {
            if (entry.pdo == pdo && entry.info.enabled) links.push_back(SymbolicLink(entry));
        }
    }
    for (const std::u16string& link : links) {
        SetState(link, false);
    }
}

}  // namespace km

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IoRegisterDeviceInterface");
    kmsim::DeviceNode node;
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr ||
        !kmsim::FindDeviceNode(PhysicalDeviceObject, &node)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string reference(km::View(ReferenceString));
    if (reference.find(u'\\') != std::u16string::npos) {
        return STATUS_INVALID_DEVICE_REQUEST;  // a reference string is one path component
    }
    Registered made{PhysicalDeviceObject, LinkFor(km::Utf16(node.instancePath), *InterfaceClassGuid), reference, {}};
    std::u16string symbolicLink = SymbolicLink(made);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        Registered* known = FindLocked(symbolicLink);
        if (known == nullptr) {
            made.info = {"\\\\?\\" + km::Utf8(symbolicLink.substr(4)), *InterfaceClassGuid, km::Utf8(reference),
                         node.instancePath, node.service, false};
            g_interfaces.push_back(made);
        } else {
            // The interface belongs to the device instance: a device plugged
            // in again gets a new physical device object, and the link names
            // that one from now on, never the deleted one.
            known->pdo = PhysicalDeviceObject;
        }
    }
    // Registering again returns the same link, as the platform does.
    size_t bytes = symbolicLink.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 0x69727453 /* 'Stri' */));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memcpy(buffer, symbolicLink.data(), bytes);
    buffer[symbolicLink.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IoSetDeviceInterfaceState");
    if (SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return SetState(km::View(SymbolicLinkName), Enable != FALSE);
}

namespace kmsim {

std::vector<DeviceInterface> EnabledDeviceInterfaces(const GUID& classGuid) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<DeviceInterface> found;
    for (const Registered& entry : g_interfaces) {
        if (entry.info.enabled && IsEqualGUID(entry.info.classGuid, classGuid)) found.push_back(entry.info);
    }
    return found;
}

DeviceInterfaceWatch::DeviceInterfaceWatch(const GUID& classGuid,
                                           std::function<void(const DeviceInterfaceEvent&)> notify)
    : state_(new State{classGuid, std::move(notify), {}}) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_watches.push_back(state_);
}

DeviceInterfaceWatch::~DeviceInterfaceWatch() {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        std::erase(g_watches, state_);
    }
    delete state_;
}

std::vector<DeviceInterfaceEvent> DeviceInterfaceWatch::Events() const {
    std::lock_guard<std::mutex> guard(g_lock);
    return state_->events;
}

}  // namespace kmsim
