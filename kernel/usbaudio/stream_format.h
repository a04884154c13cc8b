// What the class-specific descriptors of an alternate setting say about the
// stream format it carries, read the same way for class 2.0 and class 1.0,
// and the rules that match a wave format tag against them. Reading only:
// everything here runs at IRQL <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

#include "audio_model.h"

namespace vq7 {

// Wave format tags.
constexpr USHORT kFormatTagPcm = 1;
constexpr USHORT kFormatTagIeeeFloat = 3;
constexpr USHORT kFormatTagALaw = 6;
constexpr USHORT kFormatTagMuLaw = 7;

struct StreamFormat {
    bool described;       // the setting has both a general and a format descriptor
    bool generalTypeOne;  // the general descriptor's bFormatType is 1 (class 1.0 has none: true)
    bool formatTypeOne;   // the format descriptor's bFormatType is 1
    ULONG formats;        // class 2.0 bmFormats
    USHORT formatTag;     // class 1.0 wFormatTag
    ULONG channels;       // bNrChannels
    ULONG subslotBytes;   // bSubslotSize (class 2.0) or bSubframeSize (class 1.0)
    ULONG bitResolution;  // bBitResolution

    ULONG ContainerBits() const { return subslotBytes * 8; }
    // Type I by the descriptor that carries the type for the class: the
    // general descriptor on class 2.0, the format descriptor on class 1.0.
    bool TypeOne(bool classTwo) const { return described && (classTwo ? generalTypeOne : formatTypeOne); }
    // Type I by every descriptor that says so.
    bool EveryTypeOne() const { return described && formatTypeOne && generalTypeOne; }
};

StreamFormat ReadStreamFormat(const USB_AS_ALTERNATE& alternate, bool classTwo);
// Whether a FORMAT_TYPE descriptor describes type I.
bool FormatTypeOne(const UCHAR* format);

// Whether an alternate of that format may carry `tag` at all (its format
// bits or tag admit it, and its resolution fits the kind of samples).
bool TagAllowed(const StreamFormat& format, bool classTwo, USHORT tag);
// Whether the format offers `tag` (1: PCM or PCM8, 3: IEEE float).
bool OffersTag(const StreamFormat& format, bool classTwo, USHORT tag);

// The sampling rates a class 1.0 type I format descriptor offers: a
// continuous range, or discrete rates (only those inside the descriptor).
class ClassOneRates {
public:
    explicit ClassOneRates(const UCHAR* format);

    bool Continuous() const { return continuous_; }
    // Discrete rates; the two bounds of a continuous range.
    ULONG Count() const { return count_; }
    ULONG Rate(ULONG index) const;
    bool Offers(ULONG rate) const;

private:
    const UCHAR* format_;
    bool continuous_ = false;
    ULONG count_ = 0;
};

}  // namespace vq7
