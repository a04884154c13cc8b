// The PnP manager's sequences: plug-in and start, disable, surprise removal
// with the removal after the last handle, stop and restart, sleep and wake,
// and the driver's load and unload around its devices.

#include "simpnp/pnp_manager.h"

#include "kmsim/device_nodes.h"
#include "kmsim/registry.h"
#include "pnp_state.h"

namespace simpnp {

namespace {

// The setup class of audio devices (MEDIA).
constexpr GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

UNICODE_STRING Counted(std::u16string& text) {
    auto bytes = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    return UNICODE_STRING{bytes, bytes, reinterpret_cast<PWCH>(text.data())};
}

NTSTATUS LoadDriver(PnpManager::State& state) {
    if (state.driver != nullptr) {
        return STATUS_SUCCESS;
    }
    kmsim::RegistryCreateKey(std::string(state.registryPath.begin(), state.registryPath.end()));
    state.driver = std::make_unique<kmsim::DriverObject>(reinterpret_cast<const wchar_t*>(state.driverName.c_str()));
    UNICODE_STRING path = Counted(state.registryPath);
    NTSTATUS status = state.image.entry(state.driver->get(), &path);
    if (!NT_SUCCESS(status)) {
        state.driver.reset();
    }
    return status;
}

// The driver goes when its last device has.
void UnloadIfUnused(PnpManager::State& state) {
    for (auto& [pdo, record] : state.devices) {
        if (record->state != DeviceState::Removed) {
            return;
        }
    }
    if (state.driver != nullptr) {
        PDRIVER_OBJECT driver = state.driver->get();
        if (driver->DriverUnload != nullptr) {
            driver->DriverUnload(driver);
        }
        state.driver.reset();
    }
}

// IRP_MN_REMOVE_DEVICE, then the node and the physical device object go.
void Remove(PnpManager::State& state, DeviceRecord& record) {
    SendPnp(record.pdo, IRP_MN_REMOVE_DEVICE);
    record.state = DeviceState::Removed;
    kmsim::UnregisterDeviceNode(record.pdo);
    state.bus->Detach(record.pdo);
    UnloadIfUnused(state);
    KeSetEvent(&record.removed, IO_NO_INCREMENT, FALSE);
}

NTSTATUS StartStack(DeviceRecord& record) {
    NTSTATUS status = SendPnp(record.pdo, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    record.state = DeviceState::Started;
    record.capabilities = {};
    record.capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    record.capabilities.Version = 1;
    record.capabilities.Address = MAXULONG;
    record.capabilities.UINumber = MAXULONG;
    SendPnp(record.pdo, IRP_MN_QUERY_CAPABILITIES, &record.capabilities);
    return STATUS_SUCCESS;
}

}  // namespace

PnpManager::PnpManager(simusbhost::Bus& bus, DriverImage driver) : state_(std::make_unique<State>()) {
    state_->bus = &bus;
    state_->image = std::move(driver);
    state_->driverName = u"\\Driver\\" + Wide(state_->image.service);
    state_->registryPath = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + Wide(state_->image.service);
}

PnpManager::~PnpManager() {
    for (auto& [pdo, record] : state_->devices) {
        if (record->removal != nullptr) {
            record->removal->Join();
            continue;
        }
        if (record->state != DeviceState::Removed) {
            Remove(*state_, *record);
        }
    }
    UnloadIfUnused(*state_);
}

NTSTATUS PnpManager::Plug(std::shared_ptr<simusb::Device> device, PDEVICE_OBJECT* pdo) {
    auto known = state_->ordinals.find(device);
    ULONG ordinal = known != state_->ordinals.end() ? known->second : state_->instances++;
    state_->ordinals.emplace(device, ordinal);
    auto record = std::make_unique<DeviceRecord>();
    record->pdo = state_->bus->Attach(std::move(device));
    KeInitializeEvent(&record->noFiles, NotificationEvent, FALSE);
    KeInitializeEvent(&record->removed, NotificationEvent, FALSE);
    record->instancePath = AudioFunctionInstancePath(*state_->bus, record->pdo, ordinal);
    kmsim::RegisterDeviceNode(record->pdo, {record->instancePath, kMediaClass, state_->image.service});
    *pdo = record->pdo;
    DeviceRecord& added = *record;
    state_->devices[record->pdo] = std::move(record);

    NTSTATUS status = LoadDriver(*state_);
    if (NT_SUCCESS(status)) {
        PDRIVER_OBJECT driver = state_->driver->get();
        status = driver->DriverExtension->AddDevice(driver, added.pdo);
        if (!NT_SUCCESS(status)) {
            UnloadIfUnused(*state_);
        }
    }
    if (!NT_SUCCESS(status)) {
        added.state = DeviceState::Removed;
        kmsim::UnregisterDeviceNode(added.pdo);
        UnloadIfUnused(*state_);
        return status;
    }
    status = StartStack(added);
    if (!NT_SUCCESS(status)) {
        // A stack that fails to start is torn down again.
        SendPnp(added.pdo, IRP_MN_REMOVE_DEVICE);
        added.state = DeviceState::Removed;
        kmsim::UnregisterDeviceNode(added.pdo);
        UnloadIfUnused(*state_);
    }
    return status;
}

NTSTATUS PnpManager::Disable(PDEVICE_OBJECT pdo) {
    DeviceRecord& record = *state_->devices.at(pdo);
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(status) && kmsim::OpenFileObjects(pdo) != 0) {
        status = STATUS_DEVICE_BUSY;  // an application keeps a handle open and vetoes
    }
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    Remove(*state_, record);
    return STATUS_SUCCESS;
}

void PnpManager::Unplug(PDEVICE_OBJECT pdo) {
    DeviceRecord& record = *state_->devices.at(pdo);
    state_->bus->Unplug(pdo);
    SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
    record.state = DeviceState::SurpriseRemoved;
    kmsim::DisableDeviceInterfaces(pdo);
    kmsim::SignalWhenNoFileObjects(pdo, &record.noFiles);
    State* state = state_.get();
    DeviceRecord* removing = &record;
    record.removal = std::make_unique<kmsim::Thread>("PnP removal", [state, removing] {
        KeWaitForSingleObject(&removing->noFiles, Executive, KernelMode, FALSE, nullptr);
        Remove(*state, *removing);
    });
}

void PnpManager::WaitForRemoval(PDEVICE_OBJECT pdo) {
    DeviceRecord& record = *state_->devices.at(pdo);
    KeWaitForSingleObject(&record.removed, Executive, KernelMode, FALSE, nullptr);
    if (record.removal != nullptr) {
        record.removal->Join();
        record.removal.reset();
    }
}

NTSTATUS PnpManager::Restart(PDEVICE_OBJECT pdo) {
    DeviceRecord& record = *state_->devices.at(pdo);
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    SendPnp(pdo, IRP_MN_STOP_DEVICE);
    record.state = DeviceState::Stopped;
    return StartStack(record);
}

void PnpManager::Sleep() {
    for (auto& [pdo, record] : state_->devices) {
        if (record->state == DeviceState::Started) SendDevicePower(pdo, PowerDeviceD3);
    }
}

void PnpManager::Wake() {
    for (auto& [pdo, record] : state_->devices) {
        if (record->state == DeviceState::Started) SendDevicePower(pdo, PowerDeviceD0);
    }
}

bool PnpManager::DriverLoaded() const { return state_->driver != nullptr; }

std::string PnpManager::InstancePath(PDEVICE_OBJECT pdo) const { return state_->devices.at(pdo)->instancePath; }

DEVICE_CAPABILITIES PnpManager::Capabilities(PDEVICE_OBJECT pdo) const { return state_->devices.at(pdo)->capabilities; }

}  // namespace simpnp
