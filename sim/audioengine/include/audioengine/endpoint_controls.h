// What the platform's endpoint builder and volume control read and write on
// a filter: the topology (node types and connections), the master volume
// and mute on a streaming pin's path (the first volume and the first mute
// node between the streaming pin and the device), the jack descriptions
// of the bridge pins and the filter's component id.
#pragma once

#include <ksmedia.h>

#include <vector>

#include "audioengine/filter_pins.h"
#include "audioengine/ks_requests.h"

namespace audioengine {

constexpr ULONG kNoNode = 0xFFFFFFFF;

struct PathControls {
    ULONG volumeNode = kNoNode;
    ULONG muteNode = kNoNode;
};

struct VolumeRange {
    LONG minimum = 0;  // 1/65536 dB
    LONG maximum = 0;
    ULONG step = 0;
};

struct JackInfo {
    ULONG pin = 0;
    std::vector<KSJACK_DESCRIPTION> jacks;
};

class EndpointControls {
public:
    explicit EndpointControls(const KsHandle& filter) : filter_(filter) {}

    // The topology, read once; the path of the streaming pin `pin`.
    NTSTATUS ReadTopology();
    PathControls PathOf(const PinInfo& pin) const;
    const std::vector<GUID>& NodeTypes() const { return nodes_; }

    NTSTATUS GetVolume(ULONG node, LONG channel, LONG* level) const;
    NTSTATUS SetVolume(ULONG node, LONG channel, LONG level) const;
    NTSTATUS GetVolumeRange(ULONG node, VolumeRange* range) const;
    NTSTATUS GetMute(ULONG node, LONG channel, bool* muted) const;
    NTSTATUS SetMute(ULONG node, LONG channel, bool muted) const;

    // The jack descriptions of every bridge pin that answers them.
    NTSTATUS ReadJacks(const std::vector<PinInfo>& pins, std::vector<JackInfo>* jacks) const;
    NTSTATUS ReadComponentId(KSCOMPONENTID* id) const;

private:
    const KsHandle& filter_;
    std::vector<GUID> nodes_;
    std::vector<KSTOPOLOGY_CONNECTION> connections_;
};

}  // namespace audioengine
