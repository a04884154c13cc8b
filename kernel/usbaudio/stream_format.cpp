#include "stream_format.h"

#include "descriptor_walk.h"

namespace vq7 {

namespace {

// Class 2.0 AS_GENERAL and FORMAT_TYPE I.
constexpr ULONG kTwoGeneralFormatTypeOffset = 5;
constexpr ULONG kTwoGeneralFormatsOffset = 6;
constexpr ULONG kTwoGeneralChannelsOffset = 10;
constexpr ULONG kTwoSubslotOffset = 4;
constexpr ULONG kTwoBitResolutionOffset = 5;
// Class 1.0 AS_GENERAL and FORMAT_TYPE I.
constexpr ULONG kOneGeneralFormatTagOffset = 5;
constexpr ULONG kOneChannelsOffset = 4;
constexpr ULONG kOneSubframeOffset = 5;
constexpr ULONG kOneBitResolutionOffset = 6;
constexpr ULONG kOneFrequencyTypeOffset = 7;
constexpr ULONG kOneFrequenciesOffset = 8;
constexpr ULONG kOneFrequencyBytes = 3;
// Both classes.
constexpr ULONG kFormatTypeOffset = 3;
constexpr UCHAR kFormatTypeOne = 1;

// Class 2.0 bmFormats bits of type I.
constexpr ULONG kFormatPcm = 0x01;
constexpr ULONG kFormatPcm8 = 0x02;
constexpr ULONG kFormatIeeeFloat = 0x04;
constexpr ULONG kFormatALaw = 0x08;
constexpr ULONG kFormatMuLaw = 0x10;

// Class 1.0 wFormatTag values of type I.
constexpr USHORT kTagPcm = 1;
constexpr USHORT kTagPcm8 = 2;
constexpr USHORT kTagIeeeFloat = 3;
constexpr USHORT kTagALaw = 4;
constexpr USHORT kTagMuLaw = 5;

constexpr ULONG kEightBits = 8;

// A descriptor that names a kind of samples admits only the matching tag.
bool Excludes(bool names, USHORT tag, USHORT wanted) {
    return names && tag != wanted;
}

bool ClassTwoTagAllowed(const StreamFormat& format, USHORT tag) {
    ULONG bits = format.formats;
    if (Excludes((bits & (kFormatPcm | kFormatPcm8)) != 0, tag, kFormatTagPcm) ||
        Excludes((bits & kFormatIeeeFloat) != 0, tag, kFormatTagIeeeFloat) ||
        Excludes((bits & kFormatALaw) != 0, tag, kFormatTagALaw) ||
        Excludes((bits & kFormatMuLaw) != 0, tag, kFormatTagMuLaw)) {
        return false;
    }
    return format.bitResolution == kEightBits ? (bits & kFormatPcm8) != 0
                                              : (bits & (kFormatPcm | kFormatIeeeFloat)) != 0;
}

bool ClassOneTagAllowed(const StreamFormat& format, USHORT tag) {
    USHORT t = format.formatTag;
    if (Excludes(t == kTagPcm || t == kTagPcm8, tag, kFormatTagPcm) ||
        Excludes(t == kTagIeeeFloat, tag, kFormatTagIeeeFloat) || Excludes(t == kTagALaw, tag, kFormatTagALaw) ||
        Excludes(t == kTagMuLaw, tag, kFormatTagMuLaw)) {
        return false;
    }
    return format.bitResolution == kEightBits ? t == kTagPcm8 : (t == kTagPcm || t == kTagIeeeFloat);
}

}  // namespace

StreamFormat ReadStreamFormat(const USB_AS_ALTERNATE& alternate, bool classTwo) {
    StreamFormat format{};
    const UCHAR* general = alternate.general;
    const UCHAR* type = alternate.format;
    if (general == nullptr || type == nullptr) {
        return format;
    }
    format.described = true;
    format.formatTypeOne = FormatTypeOne(type);
    if (classTwo) {
        format.generalTypeOne = Field8(general, kTwoGeneralFormatTypeOffset) == kFormatTypeOne;
        format.formats = Field32(general, kTwoGeneralFormatsOffset);
        format.channels = Field8(general, kTwoGeneralChannelsOffset);
        format.subslotBytes = Field8(type, kTwoSubslotOffset);
        format.bitResolution = Field8(type, kTwoBitResolutionOffset);
    } else {
        format.generalTypeOne = true;
        format.formatTag = Field16(general, kOneGeneralFormatTagOffset);
        format.channels = Field8(type, kOneChannelsOffset);
        format.subslotBytes = Field8(type, kOneSubframeOffset);
        format.bitResolution = Field8(type, kOneBitResolutionOffset);
    }
    return format;
}

bool FormatTypeOne(const UCHAR* format) {
    return Field8(format, kFormatTypeOffset) == kFormatTypeOne;
}

bool TagAllowed(const StreamFormat& format, bool classTwo, USHORT tag) {
    return classTwo ? ClassTwoTagAllowed(format, tag) : ClassOneTagAllowed(format, tag);
}

bool OffersTag(const StreamFormat& format, bool classTwo, USHORT tag) {
    if (classTwo) {
        return (tag == kFormatTagPcm && (format.formats & (kFormatPcm | kFormatPcm8)) != 0) ||
               (tag == kFormatTagIeeeFloat && (format.formats & kFormatIeeeFloat) != 0);
    }
    return (tag == kFormatTagPcm && (format.formatTag == kTagPcm || format.formatTag == kTagPcm8)) ||
           (tag == kFormatTagIeeeFloat && format.formatTag == kTagIeeeFloat);
}

// ---------------------------------------------------------------- class 1.0 rates

ClassOneRates::ClassOneRates(const UCHAR* format) : format_(format) {
    if (format == nullptr) {
        return;
    }
    ULONG declared = Field8(format, kOneFrequencyTypeOffset);
    ULONG length = DescriptorLength(format);
    ULONG fit = length > kOneFrequenciesOffset ? (length - kOneFrequenciesOffset) / kOneFrequencyBytes : 0;
    continuous_ = declared == 0;
    // A continuous range is its lower and upper bound.
    ULONG wanted = continuous_ ? 2 : declared;
    count_ = wanted < fit ? wanted : fit;
}

ULONG ClassOneRates::Rate(ULONG index) const {
    return index < count_ ? Field24(format_, kOneFrequenciesOffset + index * kOneFrequencyBytes) : 0;
}

bool ClassOneRates::Offers(ULONG rate) const {
    if (continuous_) {
        return count_ == 2 && rate >= Rate(0) && rate <= Rate(1);
    }
    for (ULONG i = 0; i < count_; ++i) {
        if (Rate(i) == rate) {
            return true;
        }
    }
    return false;
}

}  // namespace vq7
