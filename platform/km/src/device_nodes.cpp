// The device nodes the Plug and Play manager enumerated, and the registry
// keys of a device (IoOpenDeviceRegistryKey).

#include <map>
#include <mutex>

#include "kernel_state.h"
#include "kmsim/device_nodes.h"
#include "kmsim/registry.h"
#include "device_interfaces_internal.h"
#include "device_nodes_internal.h"
#include "registry_keys.h"
#include "verifier.h"
#include "wide_text.h"

namespace {

struct NodeRecord {
    kmsim::DeviceNode node;
    ULONG classIndex;  // the software key's number under its class
};

std::mutex g_nodesLock;
std::map<PDEVICE_OBJECT, NodeRecord> g_nodes;
std::map<std::string, ULONG> g_classInstances;  // per class GUID text: software keys handed out

std::string GuidText(const GUID& guid) {
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string HardwareKey(const NodeRecord& record) {
    return "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + record.node.instancePath + "\\Device Parameters";
}

std::string SoftwareKey(const NodeRecord& record) {
    char index[8];
    snprintf(index, sizeof index, "%04u", static_cast<unsigned>(record.classIndex % 10000));
    return "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + GuidText(record.node.classGuid) + "\\" +
           index;
}

bool Find(PDEVICE_OBJECT pdo, NodeRecord* record) {
    std::lock_guard<std::mutex> guard(g_nodesLock);
    auto found = g_nodes.find(pdo);
    if (found == g_nodes.end()) {
        return false;
    }
    *record = found->second;
    return true;
}

}  // namespace

namespace km {

void DeviceNodesReset() {
    std::lock_guard<std::mutex> guard(g_nodesLock);
    g_nodes.clear();
    g_classInstances.clear();
}

std::u16string InstancePathOf(PDEVICE_OBJECT pdo) {
    NodeRecord record;
    return Find(pdo, &record) ? Utf16(record.node.instancePath) : std::u16string();
}

std::string GuidString(const GUID& guid) { return GuidText(guid); }

}  // namespace km

namespace kmsim {

void RegisterDeviceNode(PDEVICE_OBJECT pdo, const DeviceNode& node) {
    NodeRecord record{node, 0};
    {
        std::lock_guard<std::mutex> guard(g_nodesLock);
        record.classIndex = g_classInstances[GuidText(node.classGuid)]++;
        g_nodes[pdo] = record;
    }
    RegistryCreateKey(HardwareKey(record));
    RegistryCreateKey(SoftwareKey(record));
    std::string enumKey = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + node.instancePath;
    RegistrySetString(enumKey, "Service", node.service);
    RegistrySetString(enumKey, "ClassGUID", GuidText(node.classGuid));
}

void UnregisterDeviceNode(PDEVICE_OBJECT pdo) {
    km::DisableDeviceInterfacesOf(pdo);
    std::lock_guard<std::mutex> guard(g_nodesLock);
    g_nodes.erase(pdo);
}

void DisableDeviceInterfaces(PDEVICE_OBJECT pdo) { km::DisableDeviceInterfacesOf(pdo); }

bool FindDeviceNode(PDEVICE_OBJECT pdo, DeviceNode* node) {
    NodeRecord record;
    if (!Find(pdo, &record)) {
        return false;
    }
    *node = record.node;
    return true;
}

std::string DeviceHardwareKeyPath(PDEVICE_OBJECT pdo) {
    NodeRecord record;
    return Find(pdo, &record) ? HardwareKey(record) : std::string();
}

std::string DeviceSoftwareKeyPath(PDEVICE_OBJECT pdo) {
    NodeRecord record;
    return Find(pdo, &record) ? SoftwareKey(record) : std::string();
}

}  // namespace kmsim

// The device's keys exist from enumeration on; the call opens one. Only a
// physical device object the PnP manager enumerated has them: anything else
// is a driver passing its own device object, which the platform refuses.
NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey) {
    km::RequireIrqlAtMost(PASSIVE_LEVEL, KM_CALLER, "IoOpenDeviceRegistryKey");
    NodeRecord record;
    if (DevInstRegKey == nullptr || !Find(DeviceObject, &record)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string path;
    switch (DevInstKeyType) {
        case PLUGPLAY_REGKEY_DEVICE:
            path = HardwareKey(record);
            break;
        case PLUGPLAY_REGKEY_DRIVER:
            path = SoftwareKey(record);
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    km::RegistryStore& store = km::Registry();
    km::RegKeyRef key;
    bool created;
    {
        auto lock = store.Lock();
        NTSTATUS status = store.CreateLocked(nullptr, km::Utf16(path), true, &key, &created);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    *DevInstRegKey = km::OpenKeyHandle(key, DesiredAccess);
    return STATUS_SUCCESS;
}
