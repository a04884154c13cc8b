#include "audioengine/endpoint_controls.h"

#include <cstring>
#include <deque>
#include <set>

namespace audioengine {

namespace {

// The items of a KSMULTIPLE_ITEM answer.
template <typename Item>
std::vector<Item> Items(const std::vector<uint8_t>& answer) {
    std::vector<Item> items;
    if (answer.size() < sizeof(KSMULTIPLE_ITEM)) return items;
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, answer.data(), sizeof header);
    for (ULONG i = 0; i < header.Count && sizeof header + (i + 1) * sizeof(Item) <= answer.size(); ++i) {
        Item item;
        std::memcpy(&item, answer.data() + sizeof header + i * sizeof(Item), sizeof item);
        items.push_back(item);
    }
    return items;
}

NodeChannelProperty ChannelRequest(ULONG id, ULONG node, LONG channel, ULONG verb) {
    NodeChannelProperty request = {};
    request.node = NodeProperty(KSPROPSETID_Audio, id, node, verb);
    request.channel = channel;
    return request;
}

// The answer to a volume node's basic support: the description, the
// members' header and the stepped range.
struct VolumeSupport {
    KSPROPERTY_DESCRIPTION description;
    KSPROPERTY_MEMBERSHEADER members;
    KSPROPERTY_STEPPING_LONG stepping;
};
static_assert(sizeof(VolumeSupport) == 72, "volume basic support layout");

}  // namespace

NTSTATUS EndpointControls::ReadTopology() {
    std::vector<uint8_t> answer;
    KSPROPERTY request = Property(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES);
    NTSTATUS status = filter_.GetVariable(&request, sizeof request, &answer);
    if (!NT_SUCCESS(status)) return status;
    nodes_ = Items<GUID>(answer);
    request = Property(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS);
    status = filter_.GetVariable(&request, sizeof request, &answer);
    if (NT_SUCCESS(status)) connections_ = Items<KSTOPOLOGY_CONNECTION>(answer);
    return status;
}

// Walks the connections from the streaming pin towards the device: forward
// from a render pin, backward into a capture pin; the nearest nodes win.
PathControls EndpointControls::PathOf(const PinInfo& pin) const {
    const bool forward = pin.dataFlow == KSPIN_DATAFLOW_IN;
    PathControls controls;
    std::deque<std::pair<ULONG, ULONG>> frontier{{KSFILTER_NODE, pin.id}};  // (node, pin of that node)
    std::set<ULONG> seen;
    while (!frontier.empty()) {
        const auto [node, nodePin] = frontier.front();
        frontier.pop_front();
        for (const KSTOPOLOGY_CONNECTION& c : connections_) {
            const bool from = forward ? c.FromNode == node : c.ToNode == node;
            const ULONG fromPin = forward ? c.FromNodePin : c.ToNodePin;
            if (!from || (node == KSFILTER_NODE && fromPin != nodePin)) continue;
            const ULONG next = forward ? c.ToNode : c.FromNode;
            if (next == KSFILTER_NODE || next >= nodes_.size() || !seen.insert(next).second) continue;
            if (controls.volumeNode == kNoNode && IsEqualGUID(nodes_[next], KSNODETYPE_VOLUME)) {
                controls.volumeNode = next;
            }
            if (controls.muteNode == kNoNode && IsEqualGUID(nodes_[next], KSNODETYPE_MUTE)) {
                controls.muteNode = next;
            }
            frontier.emplace_back(next, 0);
        }
    }
    return controls;
}

NTSTATUS EndpointControls::GetVolume(ULONG node, LONG channel, LONG* level) const {
    return filter_.Get(ChannelRequest(KSPROPERTY_AUDIO_VOLUMELEVEL, node, channel, KSPROPERTY_TYPE_GET), level);
}

NTSTATUS EndpointControls::SetVolume(ULONG node, LONG channel, LONG level) const {
    return filter_.Set(ChannelRequest(KSPROPERTY_AUDIO_VOLUMELEVEL, node, channel, KSPROPERTY_TYPE_SET), level);
}

NTSTATUS EndpointControls::GetVolumeRange(ULONG node, VolumeRange* range) const {
    VolumeSupport support = {};
    const NTSTATUS status = filter_.Get(
        ChannelRequest(KSPROPERTY_AUDIO_VOLUMELEVEL, node, -1, KSPROPERTY_TYPE_BASICSUPPORT), &support);
    if (NT_SUCCESS(status)) {
        range->minimum = support.stepping.Bounds.SignedMinimum;
        range->maximum = support.stepping.Bounds.SignedMaximum;
        range->step = support.stepping.SteppingDelta;
    }
    return status;
}

NTSTATUS EndpointControls::GetMute(ULONG node, LONG channel, bool* muted) const {
    ULONG value = 0;
    const NTSTATUS status = filter_.Get(ChannelRequest(KSPROPERTY_AUDIO_MUTE, node, channel, KSPROPERTY_TYPE_GET), &value);
    *muted = value != 0;
    return status;
}

NTSTATUS EndpointControls::SetMute(ULONG node, LONG channel, bool muted) const {
    const ULONG value = muted ? 1 : 0;
    return filter_.Set(ChannelRequest(KSPROPERTY_AUDIO_MUTE, node, channel, KSPROPERTY_TYPE_SET), value);
}

NTSTATUS EndpointControls::ReadJacks(const std::vector<PinInfo>& pins, std::vector<JackInfo>* jacks) const {
    jacks->clear();
    for (const PinInfo& pin : pins) {
        if (pin.communication != KSPIN_COMMUNICATION_BRIDGE && pin.communication != KSPIN_COMMUNICATION_NONE) continue;
        const KSP_PIN request = PinProperty(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, pin.id);
        std::vector<uint8_t> answer;
        const NTSTATUS status = filter_.GetVariable(&request, sizeof request, &answer);
        if (!NT_SUCCESS(status)) continue;  // a pin without jacks
        jacks->push_back({pin.id, Items<KSJACK_DESCRIPTION>(answer)});
    }
    return jacks->empty() ? STATUS_NOT_FOUND : STATUS_SUCCESS;
}

NTSTATUS EndpointControls::ReadComponentId(KSCOMPONENTID* id) const {
    return filter_.Get(Property(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID), id);
}

}  // namespace audioengine
