#include "audio_control_cache.h"

#include "common/trace.h"
#include "entity_feature_unit.h"

namespace vq7 {

namespace {

constexpr LONG kPropertySilence = static_cast<LONG>(0x80000000);
constexpr SHORT kDeviceSilence = static_cast<SHORT>(0x8000);
constexpr ULONG kMasterChannel = 0;
// Consecutive failed writes of the master volume after which the worker gives up.
constexpr ULONG kWriteAttempts = 10;

bool IsNodeType(const PCNODE_DESCRIPTOR& node, const GUID& type) {
    return node.Type != nullptr && IsEqualGUID(*node.Type, type);
}

// The guarded mutex held for the guard's scope. PASSIVE_LEVEL or APC_LEVEL.
class GuardedMutexLock {
public:
    explicit GuardedMutexLock(KGUARDED_MUTEX& mutex) : mutex_(mutex) { KeAcquireGuardedMutex(&mutex_); }
    ~GuardedMutexLock() { KeReleaseGuardedMutex(&mutex_); }
    GuardedMutexLock(const GuardedMutexLock&) = delete;
    GuardedMutexLock& operator=(const GuardedMutexLock&) = delete;

private:
    KGUARDED_MUTEX& mutex_;
};

}  // namespace

AudioControlCache::AudioControlCache() {
    KeInitializeGuardedMutex(&lock_);
    KeInitializeEvent(&workEvent_, NotificationEvent, FALSE);
}

AudioControlCache::~AudioControlCache() { Unbind(); }

LONG AudioControlCache::ToPropertyVolume(SHORT deviceVolume) {
    return deviceVolume == kDeviceSilence ? kPropertySilence : static_cast<LONG>(deviceVolume) * 256;
}

SHORT AudioControlCache::ToDeviceVolume(LONG propertyVolume) {
    return propertyVolume == kPropertySilence ? kDeviceSilence : static_cast<SHORT>(propertyVolume / 256);
}

// PASSIVE_LEVEL.
CUSBAudioFeatureUnit* AudioControlCache::ResolveNode(ULONG nodeId) const {
    if (nodeTable_ == nullptr || nodeId >= nodeTable_->descriptor.NodeCount) {
        return nullptr;
    }
    const FilterElement& node = FilterNodes(*nodeTable_)[nodeId];
    if (!IsNodeType(node.node, KSNODETYPE_VOLUME) && !IsNodeType(node.node, KSNODETYPE_MUTE)) {
        return nullptr;
    }
    return node.entity != nullptr ? node.entity->AsFeatureUnit() : nullptr;
}

// PASSIVE_LEVEL.
NTSTATUS AudioControlCache::Bind(const FilterDescriptionBlock* nodeTable) {
    PAGED_CODE();
    if (nodeTable == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Unbind();
    nodeTable_ = nodeTable;
    for (ULONG id = 0; id < nodeTable->descriptor.NodeCount; ++id) {
        CUSBAudioFeatureUnit* unit = ResolveNode(id);
        if (unit == nullptr || !IsNodeType(FilterNodes(*nodeTable)[id].node, KSNODETYPE_VOLUME)) {
            continue;
        }
        SHORT minimum = 0;
        SHORT maximum = 0;
        USHORT resolution = 0;
        SHORT volume = 0;
        NTSTATUS status = unit->GetVolumeRange(kMasterChannel, &minimum, &maximum, &resolution);
        if (NT_SUCCESS(status)) {
            status = unit->GetVolume(kMasterChannel, &volume);
        }
        if (status == STATUS_NOT_SUPPORTED) {
            // The unit has volume on its channels but none on the master
            // channel, which is all the cache serves: the node's requests go
            // to the device, and a later node may be the master.
            continue;
        }
        if (!NT_SUCCESS(status)) {
            VQ7_TRACE(TRACE_LEVEL_ERROR, kTraceEngine, "master volume of node %lu unreadable: 0x%08lX", id,
                      static_cast<ULONG>(status));
            Unbind();
            return status;
        }
        GuardedMutexLock guard(lock_);
        masterNodeId_ = static_cast<LONG>(id);
        masterUnit_ = unit;
        masterMinimum_ = ToPropertyVolume(minimum);
        masterMaximum_ = ToPropertyVolume(maximum);
        masterStep_ = static_cast<ULONG>(resolution) * 256;
        masterVolume_ = ToPropertyVolume(volume);
        dirty_ = 0;
        break;
    }
    running_ = 1;
    KeClearEvent(&workEvent_);
    NTSTATUS status = worker_.Start(this);
    if (!NT_SUCCESS(status)) {
        Unbind();
    }
    return status;
}

// PASSIVE_LEVEL.
void AudioControlCache::Unbind() {
    PAGED_CODE();
    {
        GuardedMutexLock guard(lock_);  // the worker reads the flag under the lock
        running_ = 0;
    }
    KeSetEvent(&workEvent_, IO_NO_INCREMENT, FALSE);
    worker_.Stop();
    KeClearEvent(&workEvent_);
    GuardedMutexLock guard(lock_);
    ClearMaster();
    nodeTable_ = nullptr;
}

void AudioControlCache::ClearMaster() {
    masterNodeId_ = -1;
    masterUnit_ = nullptr;
    masterMinimum_ = 0;
    masterMaximum_ = 0;
    masterStep_ = 0;
    masterVolume_ = 0;
    dirty_ = 0;
}

// PASSIVE_LEVEL.
NTSTATUS AudioControlCache::GetMute(ULONG nodeId, ULONG channel, PULONG value) {
    PAGED_CODE();
    CUSBAudioFeatureUnit* unit = ResolveNode(nodeId);
    if (unit == nullptr || value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (channel != kMasterChannel) {
        return STATUS_NOT_SUPPORTED;
    }
    UCHAR mute = 0;
    NTSTATUS status = unit->GetMute(kMasterChannel, &mute);
    if (NT_SUCCESS(status)) {
        *value = mute;
    }
    return status;
}

// PASSIVE_LEVEL.
NTSTATUS AudioControlCache::SetMute(ULONG nodeId, ULONG channel, ULONG value) {
    PAGED_CODE();
    CUSBAudioFeatureUnit* unit = ResolveNode(nodeId);
    if (unit == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (channel != kMasterChannel) {
        return STATUS_NOT_SUPPORTED;
    }
    return unit->SetMute(kMasterChannel, static_cast<UCHAR>(value != 0 ? 1 : 0));
}

// PASSIVE_LEVEL.
NTSTATUS AudioControlCache::GetVolume(ULONG nodeId, ULONG channel, PLONG value) {
    PAGED_CODE();
    if (IsMaster(nodeId)) {
        if (channel != kMasterChannel) {
            return STATUS_NOT_SUPPORTED;
        }
        if (value == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        GuardedMutexLock guard(lock_);
        *value = masterVolume_;
        return STATUS_SUCCESS;
    }
    CUSBAudioFeatureUnit* unit = ResolveNode(nodeId);
    if (unit == nullptr || value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (channel != kMasterChannel) {
        return STATUS_NOT_SUPPORTED;
    }
    SHORT volume = 0;
    NTSTATUS status = unit->GetVolume(kMasterChannel, &volume);
    if (NT_SUCCESS(status)) {
        *value = ToPropertyVolume(volume);
    }
    return status;
}

// PASSIVE_LEVEL.
NTSTATUS AudioControlCache::SetVolume(ULONG nodeId, ULONG channel, LONG value) {
    PAGED_CODE();
    if (IsMaster(nodeId)) {
        if (channel != kMasterChannel) {
            return STATUS_NOT_SUPPORTED;
        }
        GuardedMutexLock guard(lock_);
        if (value != masterVolume_) {
            masterVolume_ = value;
            dirty_ = 1;
            KeSetEvent(&workEvent_, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_SUCCESS;
    }
    CUSBAudioFeatureUnit* unit = ResolveNode(nodeId);
    if (unit == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (channel != kMasterChannel) {
        return STATUS_NOT_SUPPORTED;
    }
    return unit->SetVolume(kMasterChannel, ToDeviceVolume(value));
}

// PASSIVE_LEVEL. Any channel: the range asked for is always the master's.
NTSTATUS AudioControlCache::GetVolumeRange(ULONG nodeId, ULONG, PLONG minimum, PLONG maximum, PULONG step) {
    PAGED_CODE();
    if (minimum == nullptr || maximum == nullptr || step == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsMaster(nodeId)) {
        GuardedMutexLock guard(lock_);
        *minimum = masterMinimum_;
        *maximum = masterMaximum_;
        *step = masterStep_;
        return STATUS_SUCCESS;
    }
    CUSBAudioFeatureUnit* unit = ResolveNode(nodeId);
    if (unit == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    SHORT low = 0;
    SHORT high = 0;
    USHORT resolution = 0;
    NTSTATUS status = unit->GetVolumeRange(kMasterChannel, &low, &high, &resolution);
    if (NT_SUCCESS(status)) {
        *minimum = ToPropertyVolume(low);
        *maximum = ToPropertyVolume(high);
        *step = static_cast<ULONG>(resolution) * 256;
    }
    return status;
}

// PASSIVE_LEVEL, in the worker. Takes the dirty value under the lock and
// sends it without holding it; a failed write marks the value dirty again
// unless a newer one has been stored meanwhile (that one is dirty already).
NTSTATUS AudioControlCache::WriteCachedVolume() {
    CUSBAudioFeatureUnit* unit = nullptr;
    LONG value = 0;
    {
        GuardedMutexLock guard(lock_);
        if (masterUnit_ == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (dirty_ == 0) {
            return STATUS_SUCCESS;
        }
        unit = masterUnit_;
        value = masterVolume_;
        dirty_ = 0;
    }
    NTSTATUS status = unit->SetVolume(kMasterChannel, ToDeviceVolume(value));
    if (!NT_SUCCESS(status)) {
        GuardedMutexLock guard(lock_);
        dirty_ = 1;
    }
    return status;
}

// PASSIVE_LEVEL.
bool AudioControlCache::Running() {
    GuardedMutexLock guard(lock_);
    return running_ != 0;
}

// PASSIVE_LEVEL, the worker thread.
void AudioControlCache::Run() {
    ULONG failures = 0;
    while (Running()) {
        KeWaitForSingleObject(&workEvent_, Executive, KernelMode, FALSE, nullptr);
        if (!Running()) {
            break;
        }
        {
            GuardedMutexLock guard(lock_);
            KeClearEvent(&workEvent_);
        }
        NTSTATUS status = WriteCachedVolume();
        if (NT_SUCCESS(status)) {
            failures = 0;
            continue;
        }
        failures += 1;
        VQ7_TRACE(TRACE_LEVEL_WARNING, kTraceEngine, "master volume write %lu failed: 0x%08lX", failures,
                  static_cast<ULONG>(status));
        if (failures >= kWriteAttempts) {
            VQ7_TRACE(TRACE_LEVEL_ERROR, kTraceEngine, "master volume writes given up");
            break;
        }
        KeSetEvent(&workEvent_, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace vq7
