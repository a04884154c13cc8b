// Clock sources and clock selectors.

#include "entity_clock.h"

#include "descriptor_walk.h"
#include "usbaudiocl.h"

namespace {

constexpr UCHAR kFrequencyControl = 0x01;
constexpr UCHAR kValidityControl = 0x02;
constexpr UCHAR kSelectorControl = 0x01;
constexpr ULONG kSourceControlsOffset = 5;
constexpr UCHAR kValidityControlBit = 0x04;  // bit 2 of bmControls
constexpr UCHAR kFrequencyControlBits = 0x03;  // bits 1..0 of bmControls: 11 host programmable
constexpr UCHAR kHostProgrammable = 0x03;
constexpr ULONG kSelectorPinsOffset = 4;
constexpr ULONG kSelectorInputsOffset = 5;

// A RANGE reply: wNumSubRanges, then (dMIN, dMAX, dRES) per subrange.
constexpr USHORT kRangeHeadBytes = 2;
constexpr USHORT kSubrangeBytes = 12;
constexpr USHORT kFirstRangeReadBytes = kRangeHeadBytes + kSubrangeBytes;  // 14, asked for as 16
constexpr USHORT kFirstRangeRead = 16;
// The most subranges whose reply length still fits in 16 bits.
constexpr ULONG kMaximumSubranges = (0xFFFF - kRangeHeadBytes) / kSubrangeBytes;
static_assert(kMaximumSubranges == 5461, "2 + 12 n must stay within 16 bits");
static_assert(kFirstRangeReadBytes <= kFirstRangeRead, "the first read holds one subrange");

// Clock selectors a device may nest below one selector; deeper, or in a
// loop, asking it would recurse without end.
constexpr ULONG kMaximumSelectorNesting = 8;

ULONG ReadLe32(const UCHAR* at) {
    return static_cast<ULONG>(at[0] | at[1] << 8 | at[2] << 16 | static_cast<ULONG>(at[3]) << 24);
}

// A set of entity IDs, which are 8-bit.
class IdSet {
public:
    void Add(UCHAR id) { bits_[id / 32] |= 1u << (id % 32); }
    bool Has(ULONG id) const { return (bits_[id / 32] >> (id % 32) & 1) != 0; }
    bool Empty() const {
        for (ULONG word : bits_) {
            if (word != 0) return false;
        }
        return true;
    }

private:
    ULONG bits_[256 / 32] = {};
};

// Adds the IDs of the selectors among a selector's inputs.
void AddSelectorInputs(const CUSBAudioClockSelector& selector, IdSet& into) {
    for (ULONG i = 0; i < selector.InputCount(); ++i) {
        CUSBAudioEntity* input = selector.Owner()->FindEntity(selector.GetSourceID(i));
        if (input != nullptr && input->Kind() == EntityKind::ClockSelector) {
            into.Add(input->GetID());
        }
    }
}

}  // namespace

// The subranges a clock reported, as many as actually came back.
class CUSBAudioClockSource::Ranges {
public:
    ULONG Count() const { return count_; }
    ULONG Min(ULONG i) const { return ReadLe32(buffer_.get() + kRangeHeadBytes + i * kSubrangeBytes); }
    ULONG Max(ULONG i) const { return ReadLe32(buffer_.get() + kRangeHeadBytes + i * kSubrangeBytes + 4); }
    ULONG Res(ULONG i) const { return ReadLe32(buffer_.get() + kRangeHeadBytes + i * kSubrangeBytes + 8); }

    vq7::PoolBuffer<UCHAR> buffer_;
    ULONG count_ = 0;
};

NTSTATUS CUSBAudioClock::Link() { return ClassTwo() ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED; }

// ---------------------------------------------------------------- clock source

NTSTATUS CUSBAudioClockSource::ReadRanges(Ranges& ranges) const {
    UCHAR first[kFirstRangeRead] = {};
    ULONG returned = 0;
    NTSTATUS status =
        EntityRequest(kGetRequestType, kRequestRange, kFrequencyControl, 0, sizeof first, first, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG claimed = returned >= kRangeHeadBytes ? static_cast<ULONG>(first[0] | first[1] << 8) : 0;
    if (claimed > kMaximumSubranges) {
        return STATUS_UNSUCCESSFUL;
    }
    USHORT bytes = static_cast<USHORT>(kRangeHeadBytes + kSubrangeBytes * claimed);
    if (!ranges.buffer_.Allocate(bytes)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = EntityRequest(kGetRequestType, kRequestRange, kFrequencyControl, 0, bytes, ranges.buffer_.get(), &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A reply shorter than it claims gives only the subranges that came back.
    ULONG received = returned >= kRangeHeadBytes ? (returned - kRangeHeadBytes) / kSubrangeBytes : 0;
    ranges.count_ = received < claimed ? received : claimed;
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioClockSource::GetFrequency(PULONG frequency) {
    UCHAR reply[4] = {};
    NTSTATUS status = GetBlock(kRequestCur, kFrequencyControl, 0, sizeof reply, reply);
    if (NT_SUCCESS(status)) {
        *frequency = ReadLe32(reply);
    }
    return status;
}

NTSTATUS CUSBAudioClockSource::GetFrequencyRange(PULONG minimum, PULONG maximum, ULONG low, ULONG high) {
    Ranges ranges;
    NTSTATUS status = ReadRanges(ranges);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The first subrange always seeds both bounds.
    *minimum = 0;
    *maximum = 0;
    for (ULONG i = 0; i < ranges.Count(); ++i) {
        ULONG dMin = ranges.Min(i);
        ULONG dMax = ranges.Max(i);
        if (*minimum == 0 || (dMin < *minimum && dMin >= low)) {
            *minimum = dMin;
        }
        if (*maximum == 0 || (dMax > *maximum && dMax <= high)) {
            *maximum = dMax;
        }
    }
    return status;
}

NTSTATUS CUSBAudioClockSource::IsFrequencySupported(ULONG rate) {
    Ranges ranges;
    NTSTATUS status = ReadRanges(ranges);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG i = 0; i < ranges.Count(); ++i) {
        ULONG dMin = ranges.Min(i);
        ULONG dMax = ranges.Max(i);
        ULONG dRes = ranges.Res(i);
        if (rate < dMin || rate > dMax) {
            continue;
        }
        if (dMin == dMax || (dRes != 0 && (rate - dMin) % dRes == 0)) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_SUPPORTED;
}

// A clock whose sampling frequency control is not host programmable (a
// fixed clock, or one the device sets itself) stalls SET CUR: it is never
// sent one. Setting it succeeds at the rate it runs at, which its current
// value tells or, when that cannot be read, its range.
NTSTATUS CUSBAudioClockSource::SetFrequency(ULONG rate) {
    if ((vq7::Field8(descriptor_, kSourceControlsOffset) & kFrequencyControlBits) != kHostProgrammable) {
        ULONG current = 0;
        if (NT_SUCCESS(GetFrequency(&current))) {
            return current == rate ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
        }
        return NT_SUCCESS(IsFrequencySupported(rate)) ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    }
    UCHAR value[4] = {static_cast<UCHAR>(rate), static_cast<UCHAR>(rate >> 8), static_cast<UCHAR>(rate >> 16),
                      static_cast<UCHAR>(rate >> 24)};
    return EntityRequest(kSetRequestType, kRequestCur, kFrequencyControl, 0, sizeof value, value);
}

NTSTATUS CUSBAudioClockSource::NarrowFrequencyRange(vq7::RateLimits& limits) {
    Ranges ranges;
    NTSTATUS status = ReadRanges(ranges);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The rates IsFrequencySupported accepts: a subrange of one rate, or a
    // range on its dRES grid; a range without a resolution offers none.
    for (ULONG i = 0; i < ranges.Count(); ++i) {
        if (ranges.Min(i) == ranges.Max(i)) {
            limits.OfferRate(ranges.Min(i));
        } else if (ranges.Res(i) != 0) {
            limits.OfferRange(ranges.Min(i), ranges.Max(i), ranges.Res(i));
        }
    }
    return status;
}

bool CUSBAudioClockSource::IsValid() {
    if ((vq7::Field8(descriptor_, kSourceControlsOffset) & kValidityControlBit) == 0) {
        return true;  // a clock without the validity control is always valid
    }
    UCHAR valid = 0;
    NTSTATUS status = GetBlock(kRequestCur, kValidityControl, 0, sizeof valid, &valid);
    return NT_SUCCESS(status) && valid != 0;
}

// ---------------------------------------------------------------- clock selector

NTSTATUS CUSBAudioClockSelector::Link() {
    NTSTATUS status = CUSBAudioClock::Link();
    inputsUsable_ = !NestsTooDeep();
    return NT_SUCCESS(status) && !inputsUsable_ ? STATUS_NOT_SUPPORTED : status;
}

// Walks the selectors below this one a level at a time; a level is a set of
// IDs, so a loop cannot make the walk grow, only keep it going until it is
// deeper than any device nests.
bool CUSBAudioClockSelector::NestsTooDeep() const {
    IdSet level;
    AddSelectorInputs(*this, level);
    for (ULONG depth = 1; !level.Empty(); ++depth) {
        if (depth > kMaximumSelectorNesting) {
            return true;
        }
        IdSet next;
        for (ULONG id = 0; id <= 0xFF; ++id) {
            if (level.Has(id)) {
                AddSelectorInputs(*static_cast<CUSBAudioClockSelector*>(owner_->FindEntity(id)), next);
            }
        }
        level = next;
    }
    return false;
}

ULONG CUSBAudioClockSelector::InputCount() const {
    ULONG pins = vq7::Field8(descriptor_, kSelectorPinsOffset);
    ULONG length = vq7::DescriptorLength(descriptor_);
    ULONG fit = length > kSelectorInputsOffset ? length - kSelectorInputsOffset : 0;
    return pins < fit ? pins : fit;  // pins that run past the descriptor do not exist
}

ULONG CUSBAudioClockSelector::GetSourceID(ULONG pin) const {
    return pin < InputCount() ? descriptor_[kSelectorInputsOffset + pin] : kNone;
}

CUSBAudioClock* CUSBAudioClockSelector::InputClock(ULONG index) const {
    if (!inputsUsable_ || index >= InputCount()) {
        return nullptr;
    }
    CUSBAudioEntity* entity = owner_->FindEntity(descriptor_[kSelectorInputsOffset + index]);
    return entity != nullptr ? entity->AsClock() : nullptr;
}

NTSTATUS CUSBAudioClockSelector::GetSelectedInput(PULONG index) {
    ULONG pins = vq7::Field8(descriptor_, kSelectorPinsOffset);
    if (pins == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    if (pins == 1) {
        *index = 0;
        return STATUS_SUCCESS;
    }
    UCHAR pin = 0;
    NTSTATUS status = GetBlock(kRequestCur, kSelectorControl, 0, sizeof pin, &pin);
    if (NT_SUCCESS(status)) {
        *index = static_cast<ULONG>(pin) - 1;  // the device answers with the 1-based pin number
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::SetSelectedInput(ULONG pin) {
    UCHAR value = static_cast<UCHAR>(pin);
    return EntityRequest(kSetRequestType, kRequestCur, kSelectorControl, 0, sizeof value, &value);
}

NTSTATUS CUSBAudioClockSelector::GetFrequency(PULONG frequency) {
    ULONG index = 0;
    NTSTATUS status = GetSelectedInput(&index);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    CUSBAudioClock* input = InputClock(index);
    return input != nullptr ? input->GetFrequency(frequency) : STATUS_NOT_SUPPORTED;
}

NTSTATUS CUSBAudioClockSelector::GetFrequencyRange(PULONG minimum, PULONG maximum, ULONG low, ULONG high) {
    *minimum = 0;
    *maximum = 0;
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG i = 0; i < InputCount(); ++i) {
        CUSBAudioClock* input = InputClock(i);
        if (input == nullptr) {
            return STATUS_NOT_SUPPORTED;
        }
        ULONG inputMin = 0;
        ULONG inputMax = 0;
        status = input->GetFrequencyRange(&inputMin, &inputMax, low, high);
        if (*minimum == 0 || inputMin < *minimum) {
            *minimum = inputMin;
        }
        if (*maximum == 0 || inputMax > *maximum) {
            *maximum = inputMax;
        }
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::IsFrequencySupported(ULONG rate) {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG i = 0; i < InputCount(); ++i) {
        CUSBAudioClock* input = InputClock(i);
        if (input == nullptr) {
            return STATUS_NOT_SUPPORTED;
        }
        status = input->IsFrequencySupported(rate);
        if (NT_SUCCESS(status)) {
            return status;
        }
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::SetFrequency(ULONG rate) {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG i = 0; i < InputCount(); ++i) {
        CUSBAudioClock* input = InputClock(i);
        if (input == nullptr) {
            return STATUS_NOT_SUPPORTED;
        }
        status = input->IsFrequencySupported(rate);
        if (NT_SUCCESS(status)) {
            status = input->SetFrequency(rate);
        }
        if (NT_SUCCESS(status)) {
            status = SetSelectedInput(i + 1);
        }
        if (NT_SUCCESS(status)) {
            return status;
        }
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::NarrowFrequencyRange(vq7::RateLimits& limits) {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG i = 0; i < InputCount(); ++i) {
        CUSBAudioClock* input = InputClock(i);
        if (input == nullptr) {
            return STATUS_NOT_SUPPORTED;
        }
        status = input->NarrowFrequencyRange(limits);
    }
    return status;
}

bool CUSBAudioClockSelector::IsValid() {
    ULONG index = 0;
    if (!NT_SUCCESS(GetSelectedInput(&index))) {
        return false;
    }
    CUSBAudioClock* input = InputClock(index);
    return input != nullptr && input->IsValid();
}
