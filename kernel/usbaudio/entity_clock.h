// Clock sources and clock selectors (class 2.0): sampling-frequency control,
// clock validity, and the selector's choice of input.
#pragma once

#include "entity.h"
#include "rate_limits.h"

class CUSBAudioClock : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;

    NTSTATUS Link() override;
    virtual NTSTATUS GetFrequency(PULONG frequency) = 0;                                       // slot 6
    virtual NTSTATUS GetFrequencyRange(PULONG minimum, PULONG maximum, ULONG low, ULONG high) = 0;  // slot 7
    virtual NTSTATUS IsFrequencySupported(ULONG rate) = 0;                                     // slot 8
    virtual NTSTATUS SetFrequency(ULONG rate) = 0;                                             // slot 9
    virtual bool IsValid() = 0;                                                                // slot 10
    // Offers the rates of this clock to `limits` (a rate range narrowed to
    // what the stream offers).
    virtual NTSTATUS NarrowFrequencyRange(vq7::RateLimits& limits) = 0;                        // slot 11
};

class CUSBAudioClockSource : public CUSBAudioClock {
public:
    CUSBAudioClockSource(const UCHAR* descriptor, CUSBAudioCL* owner)
        : CUSBAudioClock(descriptor, owner, EntityKind::ClockSource) {}
    void GetName(PCHAR buffer, size_t size) const override { FormatName(buffer, size, "ClockSource"); }
    NTSTATUS GetFrequency(PULONG frequency) override;
    NTSTATUS GetFrequencyRange(PULONG minimum, PULONG maximum, ULONG low, ULONG high) override;
    NTSTATUS IsFrequencySupported(ULONG rate) override;
    NTSTATUS SetFrequency(ULONG rate) override;
    bool IsValid() override;
    NTSTATUS NarrowFrequencyRange(vq7::RateLimits& limits) override;

private:
    class Ranges;
    NTSTATUS ReadRanges(Ranges& ranges) const;
};

// A selector's inputs may be selectors in turn. One whose inputs lead back
// to itself, or nest selectors deeper than a device has reason to, would be
// asked without end: Link refuses it, and it then has no usable input (nor
// has a selector that was never linked).
class CUSBAudioClockSelector : public CUSBAudioClock {
public:
    CUSBAudioClockSelector(const UCHAR* descriptor, CUSBAudioCL* owner)
        : CUSBAudioClock(descriptor, owner, EntityKind::ClockSelector) {}
    NTSTATUS Link() override;
    void GetName(PCHAR buffer, size_t size) const override { FormatName(buffer, size, "ClockSelector"); }
    ULONG GetSourceID(ULONG pin) const override;
    NTSTATUS GetFrequency(PULONG frequency) override;
    NTSTATUS GetFrequencyRange(PULONG minimum, PULONG maximum, ULONG low, ULONG high) override;
    NTSTATUS IsFrequencySupported(ULONG rate) override;
    NTSTATUS SetFrequency(ULONG rate) override;
    bool IsValid() override;
    NTSTATUS NarrowFrequencyRange(vq7::RateLimits& limits) override;

    // The 0-based index of the selected input.
    NTSTATUS GetSelectedInput(PULONG index);
    // Selects an input by its 1-based pin number.
    NTSTATUS SetSelectedInput(ULONG pin);
    // Inputs whose IDs lie inside the descriptor.
    ULONG InputCount() const;

private:
    CUSBAudioClock* InputClock(ULONG index) const;
    bool NestsTooDeep() const;

    bool inputsUsable_ = false;  // set by Link
};
