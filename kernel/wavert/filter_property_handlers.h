// The WaveRT filter's property handlers, as PortCls calls them from the
// automation tables of the filter description: each request's MajorTarget
// is the miniport. The description's builder references the node handler
// from its node tables without depending on the miniport's class; the
// miniport hands the builder the filter's own table. PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>
#include <portcls.h>

namespace vq7 {

// KSPROPSETID_General / KSPROPERTY_GENERAL_COMPONENTID.
NTSTATUS NTAPI PropertyHandlerComponentId(PPCPROPERTY_REQUEST request);
// KSPROPSETID_Jack / KSPROPERTY_JACK_DESCRIPTION and _DESCRIPTION2: the
// adapter answers them.
NTSTATUS NTAPI PropertyHandlerJack(PPCPROPERTY_REQUEST request);
// KSPROPSETID_Audio / KSPROPERTY_AUDIO_VOLUMELEVEL and _MUTE of a
// feature-unit node.
NTSTATUS NTAPI PropertyHandlerNode(PPCPROPERTY_REQUEST request);

// The filter's automation table: component id and the two jack properties.
const PCAUTOMATION_TABLE* FilterAutomationTable();

}  // namespace vq7
