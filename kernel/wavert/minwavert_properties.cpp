// The WaveRT filter's properties: its component identity, its jack
// descriptions (answered by the adapter), and the volume and mute of its
// feature-unit nodes (through the audio control cache). PortCls has
// negotiated the buffers' sizes by the time a handler runs; the handlers
// still check what they read and write. PASSIVE_LEVEL, no lock of their own.

#include "wavert/filter_property_handlers.h"

#include <ksmedia.h>

#include "entity_feature_unit.h"
#include "wavert/minwavert.h"

namespace vq7 {
namespace {

const PCPROPERTY_ITEM kFilterProperties[] = {
    {&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, PropertyHandlerComponentId},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     PropertyHandlerJack},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     PropertyHandlerJack},
};
DEFINE_PCAUTOMATION_TABLE_PROP(kFilterAutomation, kFilterProperties);

// Who made the filter.
const KSCOMPONENTID kComponentId = {
    {0xD5A47FA8, 0x6D98, 0x11D1, {0xA2, 0x1A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}},  // manufacturer
    {0xF112C59D, 0x2E77, 0x461F, {0xAB, 0x67, 0xEB, 0x40, 0xF6, 0x9F, 0xDB, 0x01}},  // product
    {},                                                                             // component: none
    {0x6EEEF56F, 0xB185, 0x4825, {0x91, 0x83, 0x38, 0x2D, 0x34, 0x88, 0x62, 0x36}},  // name
    1,                                                                              // version
    0,                                                                              // revision
};

constexpr ULONG kGetBasic = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG kGetSetBasic = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr LONG kMinusInfinity = static_cast<LONG>(0x80000000);  // silence, in 1/65536 dB
constexpr ULONG kAllChannels = 0xFFFFFFFF;

// A node's basic-support answer: the description, one members header and
// one stepped range.
struct NodeBasicSupport {
    KSPROPERTY_DESCRIPTION description;
    KSPROPERTY_MEMBERSHEADER members;
    KSPROPERTY_STEPPING_LONG range;
};
static_assert(sizeof(NodeBasicSupport) == 72, "a node's basic-support answer is 72 bytes");

CMiniportWaveRT* MiniportOf(PPCPROPERTY_REQUEST request) {
    return static_cast<CMiniportWaveRT*>(static_cast<IMiniportWaveRT*>(request->MajorTarget));
}

KSPROPERTY_DESCRIPTION Description(ULONG accessFlags, ULONG descriptionSize, ULONG type, ULONG membersLists) {
    KSPROPERTY_DESCRIPTION description = {};
    description.AccessFlags = accessFlags;
    description.DescriptionSize = descriptionSize;
    if (type != 0) description.PropTypeSet.Set = KSPROPTYPESETID_General;
    description.PropTypeSet.Id = type;
    description.MembersListCount = membersLists;
    return description;
}

// Writes as much of a basic-support answer as the buffer holds: all of it,
// the description alone, or the access flags alone. Only the answer's
// first `filledBytes` carry values; the buffer keeps what it had beyond.
NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST request, const void* answer, ULONG answerBytes, ULONG filledBytes) {
    ULONG bytes = 0;
    if (request->ValueSize >= answerBytes) {
        bytes = answerBytes;
    } else if (request->ValueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
        bytes = sizeof(KSPROPERTY_DESCRIPTION);
    } else if (request->ValueSize >= sizeof(ULONG)) {
        bytes = sizeof(ULONG);
    } else {
        request->ValueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (request->Value == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    RtlCopyMemory(request->Value, answer, bytes < filledBytes ? bytes : filledBytes);
    request->ValueSize = bytes;
    return STATUS_SUCCESS;
}

// GET and SET carry one u32 value and a channel in the instance.
NTSTATUS ValidateNodeValue(PPCPROPERTY_REQUEST request) {
    if (request->ValueSize == 0) {
        request->ValueSize = sizeof(ULONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(ULONG) || request->InstanceSize < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (request->ValueSize > sizeof(ULONG) || request->Value == nullptr || request->Instance == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// The feature unit behind a node of the description, or null.
CUSBAudioFeatureUnit* NodeFeatureUnit(CMiniportWaveRT& miniport, ULONG node) {
    const FilterDescriptionBlock& block = miniport.Description();
    if (node >= block.descriptor.NodeCount) {
        return nullptr;
    }
    CUSBAudioEntity* entity = FilterNodes(block)[node].entity;
    return entity != nullptr && entity->Kind() == EntityKind::FeatureUnit ? entity->AsFeatureUnit() : nullptr;
}

NTSTATUS NodeBasicSupportAnswer(PPCPROPERTY_REQUEST request, CMiniportWaveRT& miniport) {
    CUSBAudioFeatureUnit* unit = NodeFeatureUnit(miniport, request->Node);
    if (unit == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const bool volume = request->PropertyItem->Id == KSPROPERTY_AUDIO_VOLUMELEVEL;
    NodeBasicSupport answer = {};
    answer.description = Description(kGetSetBasic, sizeof answer, volume ? VT_I4 : VT_BOOL, 1);
    answer.members.MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES;
    answer.members.MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
    answer.members.MembersCount = 1;
    answer.members.Flags = KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL | KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM;
    NTSTATUS status = STATUS_SUCCESS;
    // The range is told only for a unit with a channel besides the master.
    const bool ranged = unit->GetChannelCount() >= 2 && request->ValueSize >= sizeof answer;
    if (ranged && volume) {
        status = miniport.Controls().GetVolumeRange(request->Node, kAllChannels, &answer.range.Bounds.SignedMinimum,
                                                    &answer.range.Bounds.SignedMaximum, &answer.range.SteppingDelta);
    } else if (ranged) {
        answer.range.SteppingDelta = 1;
        answer.range.Bounds.SignedMinimum = 0;
        answer.range.Bounds.SignedMaximum = 1;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return AnswerBasicSupport(request, &answer, sizeof answer, ranged ? sizeof answer : offsetof(NodeBasicSupport, range));
}

// A level rounded to the nearest step (half a step away from zero), then
// held inside the range. Minus infinity passes unchanged.
LONG SnapVolume(LONG level, LONG minimum, LONG maximum, ULONG step) {
    if (level == kMinusInfinity) {
        return level;
    }
    LONGLONG v = level;
    if (step == 0) {
        v = minimum;
    } else if (v % static_cast<LONGLONG>(step) != 0) {
        const LONGLONG half = step / 2;
        v = static_cast<LONGLONG>(step) * ((v >= 0 ? v + half : v - half) / static_cast<LONGLONG>(step));
    }
    if (v < minimum) v = minimum;
    if (v > maximum) v = maximum;
    return static_cast<LONG>(v);
}

NTSTATUS VolumeRequest(PPCPROPERTY_REQUEST request, AudioControlCache& controls, ULONG channel) {
    const ULONG node = request->Node;
    LONG minimum = 0;
    LONG maximum = 0;
    ULONG step = 0;
    NTSTATUS status = controls.GetVolumeRange(node, channel, &minimum, &maximum, &step);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* value = static_cast<PLONG>(request->Value);
    if (request->Verb & KSPROPERTY_TYPE_GET) {
        LONG level = 0;
        status = controls.GetVolume(node, channel, &level);
        *value = level;
        request->ValueSize = sizeof(LONG);
        return status;
    }
    return controls.SetVolume(node, channel, SnapVolume(*value, minimum, maximum, step));
}

NTSTATUS MuteRequest(PPCPROPERTY_REQUEST request, AudioControlCache& controls, ULONG channel) {
    auto* value = static_cast<PULONG>(request->Value);
    if (request->Verb & KSPROPERTY_TYPE_GET) {
        ULONG muted = 0;
        NTSTATUS status = controls.GetMute(request->Node, channel, &muted);
        *value = muted != 0 ? 1 : 0;
        request->ValueSize = sizeof(ULONG);
        return status;
    }
    return controls.SetMute(request->Node, channel, *value != 0 ? 1 : 0);
}

}  // namespace

const PCAUTOMATION_TABLE* FilterAutomationTable() { return &kFilterAutomation; }

NTSTATUS NTAPI PropertyHandlerComponentId(PPCPROPERTY_REQUEST request) {
    PAGED_CODE();
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        const KSPROPERTY_DESCRIPTION answer = Description(kGetBasic, sizeof(KSPROPERTY_DESCRIPTION), 0, 0);
        return AnswerBasicSupport(request, &answer, sizeof answer, sizeof answer);
    }
    if (!(request->Verb & KSPROPERTY_TYPE_GET)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request->ValueSize != sizeof(KSCOMPONENTID) || request->Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(request->Value, &kComponentId, sizeof kComponentId);
    request->ValueSize = sizeof(KSCOMPONENTID);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PropertyHandlerJack(PPCPROPERTY_REQUEST request) {
    PAGED_CODE();
    IUsbAudioAdapter* adapter = MiniportOf(request)->Adapter();
    return adapter != nullptr ? adapter->JackProperty(request) : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS NTAPI PropertyHandlerNode(PPCPROPERTY_REQUEST request) {
    PAGED_CODE();
    const ULONG id = request->PropertyItem->Id;
    if (request->Node == PCFILTER_NODE || (id != KSPROPERTY_AUDIO_VOLUMELEVEL && id != KSPROPERTY_AUDIO_MUTE)) {
        return STATUS_UNSUCCESSFUL;
    }
    CMiniportWaveRT& miniport = *MiniportOf(request);
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        return NodeBasicSupportAnswer(request, miniport);
    }
    if (!(request->Verb & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET))) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = ValidateNodeValue(request);
    if (!NT_SUCCESS(status)) {  // STATUS_BUFFER_OVERFLOW among them: the size is told
        return status;
    }
    const ULONG channel = *static_cast<const ULONG*>(request->Instance);
    return id == KSPROPERTY_AUDIO_VOLUMELEVEL ? VolumeRequest(request, miniport.Controls(), channel)
                                              : MuteRequest(request, miniport.Controls(), channel);
}

}  // namespace vq7
