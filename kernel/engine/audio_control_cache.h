// The volume and mute state behind the WaveRT filter's feature-unit nodes.
// A node of the filter description is mapped to the feature unit behind it,
// and property values (1/65536 dB, 0x80000000 silence) to the unit's
// requests (1/256 dB, 0x8000 silence), for the master channel 0 only. The
// filter's first volume node is the master volume: its range and value are
// cached, reads come from the cache, and writes are stored and sent to the
// device by a worker thread, so that a volume change never waits for a USB
// control transfer. Every other node goes to the device in the caller's
// thread.
#pragma once

#include <ntddk.h>

#include "common/system_thread.h"
#include "filter_description.h"

class CUSBAudioFeatureUnit;

namespace vq7 {

class AudioControlCache final : private SystemThreadOwner {
public:
    AudioControlCache();
    ~AudioControlCache();
    AudioControlCache(const AudioControlCache&) = delete;
    AudioControlCache& operator=(const AudioControlCache&) = delete;

    // Maps the nodes of a built description (which must stay until Unbind),
    // reads the master volume's range and value and starts the worker.
    // PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS Bind(const FilterDescriptionBlock* nodeTable);
    // Stops the worker and forgets the description. PASSIVE_LEVEL.
    void Unbind();

    // Property-side operations (PASSIVE_LEVEL).
    [[nodiscard]] NTSTATUS GetMute(ULONG nodeId, ULONG channel, PULONG value);
    [[nodiscard]] NTSTATUS SetMute(ULONG nodeId, ULONG channel, ULONG value);
    [[nodiscard]] NTSTATUS GetVolume(ULONG nodeId, ULONG channel, PLONG value);
    [[nodiscard]] NTSTATUS SetVolume(ULONG nodeId, ULONG channel, LONG value);
    [[nodiscard]] NTSTATUS GetVolumeRange(ULONG nodeId, ULONG channel, PLONG minimum, PLONG maximum, PULONG step);

    // Unit conversions between the device's 1/256 dB and the properties'
    // 1/65536 dB.
    static LONG ToPropertyVolume(SHORT deviceVolume);
    static SHORT ToDeviceVolume(LONG propertyVolume);

private:
    // Whether the worker keeps going, read under the lock. PASSIVE_LEVEL.
    bool Running();
    void Run() override;
    // The feature unit behind a volume or mute node, or null.
    CUSBAudioFeatureUnit* ResolveNode(ULONG nodeId) const;
    bool IsMaster(ULONG nodeId) const { return masterNodeId_ >= 0 && nodeId == static_cast<ULONG>(masterNodeId_); }
    NTSTATUS WriteCachedVolume();
    void ClearMaster();

    const FilterDescriptionBlock* nodeTable_ = nullptr;
    SystemThread worker_;
    volatile UCHAR running_ = 0;
    KGUARDED_MUTEX lock_;  // the cached master volume
    KEVENT workEvent_;     // notification: the cached master volume must be written
    LONG masterNodeId_ = -1;
    CUSBAudioFeatureUnit* masterUnit_ = nullptr;
    LONG masterMinimum_ = 0;
    LONG masterMaximum_ = 0;
    ULONG masterStep_ = 0;
    LONG masterVolume_ = 0;
    UCHAR dirty_ = 0;
};

}  // namespace vq7
