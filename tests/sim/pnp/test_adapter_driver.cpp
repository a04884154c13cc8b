// The minimal adapter driver: DriverEntry, AddDevice and StartDevice as an
// adapter driver writes them, an adapter and a WaveRT miniport built on
// CUnknown, and an IRP hook that keeps the file name "\something" for itself.

#include "test_adapter_driver.h"

#include <portcls.h>
#include <stdunk.h>

#include "test_miniport.h"


namespace testdriver {

namespace {

constexpr ULONG kTag = 0x74736554;  // 'Test'

KSPIN_LOCK g_callsLock;  // the log is written from DPCs too
std::vector<std::string>* g_calls = nullptr;
PDRIVER_UNLOAD g_portClsUnload = nullptr;
bool g_vetoQueryRemove = false;

void Record(const std::string& call) {
    KIRQL irql;
    KeAcquireSpinLock(&g_callsLock, &irql);
    if (g_calls == nullptr) g_calls = new std::vector<std::string>;
    g_calls->push_back(call);
    KeReleaseSpinLock(&g_callsLock, irql);
}

// ASCII text of a counted string, for the log.
std::string Narrow(PCUNICODE_STRING text) {
    std::string out;
    for (USHORT i = 0; i < text->Length / sizeof(WCHAR); ++i) out += static_cast<char>(text->Buffer[i]);
    return out;
}

const char* PnpName(UCHAR minor) {
    switch (minor) {
        case IRP_MN_START_DEVICE: return "START_DEVICE";
        case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE_DEVICE";
        case IRP_MN_REMOVE_DEVICE: return "REMOVE_DEVICE";
        case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE_DEVICE";
        case IRP_MN_STOP_DEVICE: return "STOP_DEVICE";
        case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP_DEVICE";
        case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP_DEVICE";
        case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
        case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
        default: return "other";
    }
}

// ---------------------------------------------------------------- the adapter

class CTestAdapter : public IAdapterPowerManagement, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    DEFINE_STD_CONSTRUCTOR(CTestAdapter);
    ~CTestAdapter() override { Record("Adapter released"); }
    IMP_IAdapterPowerManagement;
};

STDMETHODIMP_(NTSTATUS) CTestAdapter::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *object = PUNKNOWN(PADAPTERPOWERMANAGEMENT(this));
    } else if (IsEqualGUID(iid, IID_IAdapterPowerManagement)) {
        *object = PADAPTERPOWERMANAGEMENT(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    PUNKNOWN(*object)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CTestAdapter::PowerChangeState(POWER_STATE NewState) {
    Record("PowerChangeState D" + std::to_string(NewState.DeviceState - PowerDeviceD0));
}

STDMETHODIMP_(NTSTATUS) CTestAdapter::QueryPowerChangeState(POWER_STATE) { return STATUS_SUCCESS; }

STDMETHODIMP_(NTSTATUS) CTestAdapter::QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) {
    Record("QueryDeviceCapabilities");
    PowerDeviceCaps->SurpriseRemovalOK = TRUE;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- the miniport

const GUID kCategories[] = {STATICGUIDOF(KSCATEGORY_AUDIO), STATICGUIDOF(KSCATEGORY_RENDER)};

const PCFILTER_DESCRIPTOR kFilter = {
    0, nullptr, sizeof(PCPIN_DESCRIPTOR), 0, nullptr, sizeof(PCNODE_DESCRIPTOR), 0, nullptr, 0, nullptr,
    static_cast<ULONG>(RTL_NUMBER_OF(kCategories)), kCategories};

// ---------------------------------------------------------------- the device

// The driver's part of the device extension, after PortCls's.
struct Extension {
    KSPIN_LOCK lock;
    PIRP pendingRead;  // one at a time
    KTIMER readTimer;
    KDPC readDpc;
};

Extension* ExtensionOf(PDEVICE_OBJECT fdo) {
    return reinterpret_cast<Extension*>(static_cast<PUCHAR>(fdo->DeviceExtension) + PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

PVOID const kOwnFile = reinterpret_cast<PVOID>(0x7E57);  // FsContext2 of the driver's own file objects

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ReadSampleRate(PDEVICE_OBJECT fdo, ULONG* rate) {
    PDEVICE_OBJECT pdo;
    NTSTATUS status = PcGetPhysicalDeviceObject(fdo, &pdo);
    if (!NT_SUCCESS(status)) return status;
    HANDLE key;
    status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"SampleRate");
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    ULONG length;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length);
    auto* value = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (NT_SUCCESS(status) && (value->Type != REG_DWORD || value->DataLength != sizeof(ULONG))) {
        status = STATUS_NO_MATCH;
    }
    if (NT_SUCCESS(status)) memcpy(rate, value->Data, sizeof(ULONG));
    ZwClose(key);
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources) {
    Extension* extension = ExtensionOf(fdo);
    KeInitializeSpinLock(&extension->lock);
    extension->pendingRead = nullptr;
    KeInitializeTimer(&extension->readTimer);
    ULONG rate = 0;
    NTSTATUS status = ReadSampleRate(fdo, &rate);
    Record("StartDevice SampleRate=" + (NT_SUCCESS(status) ? std::to_string(rate) : std::string("none")));
    auto* adapter = new (NonPagedPool, kTag) CTestAdapter(nullptr);
    if (adapter == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    adapter->AddRef();
    status = PcRegisterAdapterPowerManagement(PUNKNOWN(PADAPTERPOWERMANAGEMENT(adapter)), fdo);
    PPORT port = nullptr;
    if (NT_SUCCESS(status)) status = PcNewPort(&port, CLSID_PortWaveRT);
    kmtest::TestMiniport* miniport = nullptr;
    if (NT_SUCCESS(status)) {
        miniport = new (NonPagedPool, kTag) kmtest::TestMiniport(nullptr);
        status = miniport != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (miniport != nullptr) {
        miniport->AddRef();
        miniport->description = &kFilter;
        miniport->report = Record;
    }
    if (NT_SUCCESS(status)) {
        status = port->Init(fdo, irp, PUNKNOWN(PMINIPORTWAVERT(miniport)), PUNKNOWN(PADAPTERPOWERMANAGEMENT(adapter)),
                            resources);
    }
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, const_cast<PWSTR>(L"Wave"), port);
    if (miniport != nullptr) miniport->Release();
    if (port != nullptr) port->Release();
    adapter->Release();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Record("AddDevice");
    return PcAddAdapterDevice(driver, pdo, StartDevice, 1, PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(Extension));
}

VOID CompletePendingRead(PKDPC, PVOID context, PVOID, PVOID) {
    Extension* extension = static_cast<Extension*>(context);
    KeAcquireSpinLockAtDpcLevel(&extension->lock);
    PIRP irp = extension->pendingRead;
    extension->pendingRead = nullptr;
    if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) == nullptr) {
        irp = nullptr;  // being cancelled: the cancel routine completes it
    }
    KeReleaseSpinLockFromDpcLevel(&extension->lock);
    if (irp == nullptr) return;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    auto* data = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    RtlFillMemory(data, length, kReadPattern);
    Record(std::string("Read completed at IRQL ") + (KeGetCurrentIrql() == DISPATCH_LEVEL ? "DISPATCH" : "other"));
    Complete(irp, STATUS_SUCCESS, length);
}

VOID CancelRead(PDEVICE_OBJECT fdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Extension* extension = ExtensionOf(fdo);
    KIRQL irql;
    KeAcquireSpinLock(&extension->lock, &irql);
    if (extension->pendingRead == irp) extension->pendingRead = nullptr;
    KeReleaseSpinLock(&extension->lock, irql);
    Record("Read cancelled");
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS PendRead(PDEVICE_OBJECT fdo, PIRP irp) {
    Extension* extension = ExtensionOf(fdo);
    KIRQL irql;
    KeAcquireSpinLock(&extension->lock, &irql);
    if (extension->pendingRead != nullptr) {
        KeReleaseSpinLock(&extension->lock, irql);
        return Complete(irp, STATUS_DEVICE_BUSY);
    }
    IoMarkIrpPending(irp);
    extension->pendingRead = irp;
    IoSetCancelRoutine(irp, CancelRead);
    KeReleaseSpinLock(&extension->lock, irql);
    Record(irp->MdlAddress != nullptr ? "Read pending (MDL)" : "Read pending (no MDL)");
    KeInitializeDpc(&extension->readDpc, CompletePendingRead, extension);
    LARGE_INTEGER due;
    due.QuadPart = -kReadDelay_ms * 10000;
    KeSetTimer(&extension->readTimer, due, &extension->readDpc);
    return STATUS_PENDING;
}

NTSTATUS OwnFileRequest(PDEVICE_OBJECT fdo, PIRP irp, PIO_STACK_LOCATION stack) {
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            Record("Create " + Narrow(&stack->FileObject->FileName));
            stack->FileObject->FsContext2 = kOwnFile;
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_CLEANUP:
            Record("Cleanup");
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_CLOSE:
            Record("Close");
            stack->FileObject->FsContext2 = nullptr;
            return Complete(irp, STATUS_SUCCESS);
        case IRP_MJ_DEVICE_CONTROL: {
            auto& parameters = stack->Parameters.DeviceIoControl;
            if (parameters.IoControlCode != kIoctlReverse || parameters.OutputBufferLength < parameters.InputBufferLength) {
                return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
            }
            auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
            for (ULONG i = 0; i < parameters.InputBufferLength / 2; ++i) {
                UCHAR swap = buffer[i];
                buffer[i] = buffer[parameters.InputBufferLength - 1 - i];
                buffer[parameters.InputBufferLength - 1 - i] = swap;
            }
            Record("DeviceControl in=" + std::to_string(parameters.InputBufferLength));
            return Complete(irp, STATUS_SUCCESS, parameters.InputBufferLength);
        }
        case IRP_MJ_READ:
            return PendRead(fdo, irp);
        case IRP_MJ_WRITE:
            Record("Write " + std::to_string(stack->Parameters.Write.Length));
            return Complete(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
        default:
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

bool IsOwnFile(PIO_STACK_LOCATION stack) {
    PFILE_OBJECT file = stack->FileObject;
    if (file == nullptr) return false;
    if (stack->MajorFunction != IRP_MJ_CREATE) return file->FsContext2 == kOwnFile;
    UNICODE_STRING own;
    RtlInitUnicodeString(&own, L"\\something");
    return RtlEqualUnicodeString(&file->FileName, &own, TRUE);
}

NTSTATUS Dispatch(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) {
        Record(std::string("PnP ") + PnpName(stack->MinorFunction));
        if (stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE && g_vetoQueryRemove) {
            g_vetoQueryRemove = false;
            return Complete(irp, STATUS_DEVICE_BUSY);
        }
        return PcDispatchIrp(fdo, irp);
    }
    if (IsOwnFile(stack)) {
        return OwnFileRequest(fdo, irp, stack);
    }
    return PcDispatchIrp(fdo, irp);
}

VOID DriverUnload(PDRIVER_OBJECT driver) {
    Record("DriverUnload");
    g_portClsUnload(driver);
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    Record("DriverEntry " + Narrow(RegistryPath));
    NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
    if (!NT_SUCCESS(status)) return status;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL,
                        IRP_MJ_PNP}) {
        DriverObject->MajorFunction[major] = Dispatch;
    }
    g_portClsUnload = DriverObject->DriverUnload;
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

std::vector<std::string> Calls() {
    KIRQL irql;
    KeAcquireSpinLock(&g_callsLock, &irql);
    std::vector<std::string> calls = g_calls != nullptr ? *g_calls : std::vector<std::string>{};
    KeReleaseSpinLock(&g_callsLock, irql);
    return calls;
}

void ResetCalls() {
    delete g_calls;
    g_calls = nullptr;
}

void VetoNextQueryRemove() { g_vetoQueryRemove = true; }

}  // namespace testdriver
