// The adapter's power face and its PCM/DSD mode face.

#include "adapter/adapter.h"

#include "common/locks.h"
#include "common/trace.h"

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::QueryPowerChangeState(POWER_STATE NewStateQuery) {
    UNREFERENCED_PARAMETER(NewStateQuery);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) {
    PowerDeviceCaps->SurpriseRemovalOK = TRUE;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Coming back to D0 the device has forgotten its interface
// settings and its vendor mode: both directions return to the
// zero-bandwidth setting and a DSD-capable device gets its mode again.
STDMETHODIMP_(void) CUSBAudioAdapter::PowerChangeState(POWER_STATE NewState) {
    PAGED_CODE();
    ULONG state = static_cast<ULONG>(NewState.DeviceState);
    if (state == powerState_) {
        return;
    }
    powerState_ = state;
    VQ7_TRACE(TRACE_LEVEL_INFORMATION, vq7::kTraceAdapter, "device power D%lu", state - PowerDeviceD0);
    if (state != PowerDeviceD0) {
        return;
    }
    {
        vq7::MutexLock guard(engine_.streamStateMutex);
        engine_.CloseDirection(classLayer_, false);
        engine_.CloseDirection(classLayer_, true);
    }
    if (dsdSupported_) {
        NTSTATUS status = classLayer_.RestoreVendorMode();
        if (!NT_SUCCESS(status)) {
            VQ7_TRACE(TRACE_LEVEL_WARNING, vq7::kTraceAdapter, "vendor mode not restored: 0x%08lx",
                      static_cast<ULONG>(status));
        }
    }
}

// PASSIVE_LEVEL.
STDMETHODIMP_(NTSTATUS) CUSBAudioAdapter::SetDsdMode(USHORT Mode) {
    PAGED_CODE();
    if (!dsdSupported_) {
        return Mode != 0 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    }
    if (Mode == classLayer_.GetVendorMode()) {
        return STATUS_SUCCESS;
    }
    vq7::MutexLock guard(engine_.streamStateMutex);
    if (engine_.AnyDirectionInUse()) {
        return STATUS_DEVICE_BUSY;
    }
    NTSTATUS status = classLayer_.SetVendorMode(Mode);
    if (NT_SUCCESS(status)) {
        currentDsdMode_ = Mode;
    }
    return status;
}

STDMETHODIMP_(ULONG) CUSBAudioAdapter::IsDsdSupported() { return dsdSupported_ ? 1 : 0; }
