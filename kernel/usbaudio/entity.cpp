// The entity base, the plain units, and the table that makes an entity from
// a class-specific audio-control descriptor.

#include "entity.h"

#include <ntstrsafe.h>

#include "common/trace.h"
#include "descriptor_walk.h"
#include "entity_clock.h"
#include "entity_feature_unit.h"
#include "entity_terminal.h"
#include "usbaudiocl.h"

namespace {

enum class Made : UCHAR { End, InputTerminal, OutputTerminal, Dummy, Feature, Processing, ClockSource, ClockSelector };

// What each descriptor subtype becomes; subtypes past the table end parsing.
constexpr Made kClassTwoEntities[] = {
    Made::End,            // 0x00 undefined
    Made::End,            // 0x01 header
    Made::InputTerminal,  // 0x02
    Made::OutputTerminal, // 0x03
    Made::Dummy,          // 0x04 mixer unit
    Made::Dummy,          // 0x05 selector unit
    Made::Feature,        // 0x06
    Made::Dummy,          // 0x07 effect unit
    Made::Dummy,          // 0x08 processing unit
    Made::Dummy,          // 0x09 extension unit
    Made::ClockSource,    // 0x0A
    Made::ClockSelector,  // 0x0B
    Made::Dummy,          // 0x0C clock multiplier
    Made::Dummy,          // 0x0D sample rate converter
};
constexpr Made kClassOneEntities[] = {
    Made::End,            // 0x00 undefined
    Made::End,            // 0x01 header
    Made::InputTerminal,  // 0x02
    Made::OutputTerminal, // 0x03
    Made::Dummy,          // 0x04 mixer unit
    Made::Dummy,          // 0x05 selector unit
    Made::Feature,        // 0x06
    Made::Processing,     // 0x07 processing unit
    Made::Dummy,          // 0x08 extension unit
};
static_assert(RTL_NUMBER_OF(kClassTwoEntities) == 0x0E, "class 2.0 subtypes 0x00 to 0x0D");
static_assert(RTL_NUMBER_OF(kClassOneEntities) == 0x09, "class 1.0 subtypes 0x00 to 0x08");

}  // namespace

CUSBAudioEntity* CreateEntity(const UCHAR* descriptor, CUSBAudioCL* owner, bool classTwo, bool* endOfParsing) {
    UCHAR subtype = vq7::DescriptorSubtype(descriptor);
    Made made = Made::End;
    if (classTwo && subtype < RTL_NUMBER_OF(kClassTwoEntities)) {
        made = kClassTwoEntities[subtype];
    } else if (!classTwo && subtype < RTL_NUMBER_OF(kClassOneEntities)) {
        made = kClassOneEntities[subtype];
    }
    *endOfParsing = made == Made::End;
    switch (made) {
        case Made::InputTerminal: return new CUSBAudioInputTerminal(descriptor, owner);
        case Made::OutputTerminal: return new CUSBAudioOutputTerminal(descriptor, owner);
        case Made::Dummy: return new CUSBAudioDummyUnit(descriptor, owner);
        case Made::Feature: return new CUSBAudioFeatureUnit(descriptor, owner);
        case Made::Processing: return new CUSBAudioProcessingUnit(descriptor, owner);
        case Made::ClockSource: return new CUSBAudioClockSource(descriptor, owner);
        case Made::ClockSelector: return new CUSBAudioClockSelector(descriptor, owner);
        case Made::End: break;
    }
    return nullptr;
}

void CUSBAudioEntity::DumpDescriptor() const {
    VQ7_TRACE(TRACE_LEVEL_VERBOSE, vq7::kTraceEntity, "bLength %u bDescriptorType 0x%02X bDescriptorSubtype 0x%02X bUnitID %u",
              vq7::Field8(descriptor_, 0), vq7::Field8(descriptor_, 1), vq7::Field8(descriptor_, 2),
              vq7::Field8(descriptor_, 3));
}

UCHAR CUSBAudioEntity::GetID() const { return vq7::Field8(descriptor_, 3); }

ULONG CUSBAudioEntity::GetSourceID(ULONG) const { return kNone; }

CUSBAudioTerminal* CUSBAudioEntity::AsTerminal() { return IsTerminal() ? static_cast<CUSBAudioTerminal*>(this) : nullptr; }

CUSBAudioClock* CUSBAudioEntity::AsClock() { return IsClock() ? static_cast<CUSBAudioClock*>(this) : nullptr; }

CUSBAudioFeatureUnit* CUSBAudioEntity::AsFeatureUnit() {
    return kind_ == EntityKind::FeatureUnit ? static_cast<CUSBAudioFeatureUnit*>(this) : nullptr;
}

bool CUSBAudioEntity::ClassTwo() const { return owner_->IsClassTwo(); }

CUSBAudioEntity* CUSBAudioEntity::EntityNamedAt(ULONG offset) const {
    if (offset >= vq7::DescriptorLength(descriptor_)) {
        return nullptr;  // the descriptor is too short to name one
    }
    return owner_->FindEntity(descriptor_[offset]);
}

void CUSBAudioEntity::FormatName(PCHAR buffer, size_t size, const char* kindName) const {
    RtlStringCchPrintfA(buffer, size, "%s(%ld)", kindName, static_cast<LONG>(GetID()));
}

NTSTATUS CUSBAudioEntity::GetBlock(UCHAR bRequest, UCHAR controlSelector, UCHAR channel, USHORT length,
                                   PVOID buffer) const {
    ULONG returned = 0;
    NTSTATUS status = EntityRequest(kGetRequestType, bRequest, controlSelector, channel, length, buffer, &returned);
    return NT_SUCCESS(status) && returned < length ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS CUSBAudioEntity::EntityRequest(UCHAR bmRequestType, UCHAR bRequest, UCHAR controlSelector, UCHAR channel,
                                        USHORT length, PVOID buffer, PULONG returned) const {
    USHORT value = static_cast<USHORT>(controlSelector << 8 | channel);
    USHORT index = static_cast<USHORT>(GetID() << 8 | owner_->AudioControlInterfaceNumber());
    return owner_->ControlRequest(bmRequestType, bRequest, value, index, length, buffer, returned);
}
