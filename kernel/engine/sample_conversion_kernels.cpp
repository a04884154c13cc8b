// Every sample is handled as a left-justified 32-bit value: its most
// significant bit is bit 31 whatever its width. Scaling between widths is
// then loading at one width and storing at the other (storing keeps the top
// bits), and a mix is one saturating add at 32-bit scale, after which the
// store shifts the sum back to the destination's width (a 16-bit
// destination adds the same top 16 bits in 16-bit lanes).
//
// A run whose frames hold exactly the converted channels on both sides is
// one contiguous run of samples. Between 16- and 32-bit samples it is a
// plain loop over the samples, which the compiler turns into SSE2 code;
// with a packed 24-bit side it goes in groups of 4 samples (12 bytes, read
// and written as three 32-bit words), then a scalar tail. Any other
// geometry takes the strided path, frame by frame.

#include "sample_conversion_kernels.h"

namespace vq7 {

namespace {

constexpr ULONG kGroupSamples = 4;  // one SSE2 register of 32-bit values; packed 24-bit: 3 words

// One sample at a time, at any address.
template <ULONG Bytes>
struct Sample {
    static_assert(Bytes >= kSmallestSampleBytes && Bytes <= kLargestSampleBytes);
    static constexpr ULONG kShift = 32 - 8 * Bytes;  // bits below the sample when left-justified

    static LONG Load(const UCHAR* p) {
        if constexpr (Bytes == 2) {
            SHORT s;
            RtlCopyMemory(&s, p, sizeof s);
            return static_cast<LONG>(static_cast<ULONG>(static_cast<LONG>(s)) << 16);
        } else if constexpr (Bytes == 4) {
            LONG s;
            RtlCopyMemory(&s, p, sizeof s);
            return s;
        } else {
            return static_cast<LONG>(static_cast<ULONG>(p[0]) << 8 | static_cast<ULONG>(p[1]) << 16 |
                                     static_cast<ULONG>(p[2]) << 24);
        }
    }

    // The top 16 bits, as a 16-bit sample.
    static SHORT LoadTop16(const UCHAR* p) {
        if constexpr (Bytes == 2) {
            SHORT s;
            RtlCopyMemory(&s, p, sizeof s);
            return s;
        } else {
            return static_cast<SHORT>(Load(p) >> 16);
        }
    }

    static void Store(UCHAR* p, LONG value) {
        if constexpr (Bytes == 2) {
            SHORT s = static_cast<SHORT>(value >> 16);
            RtlCopyMemory(p, &s, sizeof s);
        } else if constexpr (Bytes == 4) {
            RtlCopyMemory(p, &value, sizeof value);
        } else {
            ULONG u = static_cast<ULONG>(value);
            p[0] = static_cast<UCHAR>(u >> 8);
            p[1] = static_cast<UCHAR>(u >> 16);
            p[2] = static_cast<UCHAR>(u >> 24);
        }
    }
};

ULONG LoadWord(const UCHAR* p) {
    ULONG w;
    RtlCopyMemory(&w, p, sizeof w);
    return w;
}

void StoreWord(UCHAR* p, ULONG w) {
    RtlCopyMemory(p, &w, sizeof w);
}

// kGroupSamples contiguous samples, kept in registers.
template <ULONG Bytes>
struct Group {
    static void Load(const UCHAR* p, LONG (&s)[kGroupSamples]) {
        for (ULONG i = 0; i < kGroupSamples; ++i) {
            s[i] = Sample<Bytes>::Load(p + i * Bytes);
        }
    }
    static void Store(UCHAR* p, const LONG (&s)[kGroupSamples]) {
        for (ULONG i = 0; i < kGroupSamples; ++i) {
            Sample<Bytes>::Store(p + i * Bytes, s[i]);
        }
    }
};

// Packed 24-bit: bytes b0..b11 of a group are the words w0 = b3b2b1b0,
// w1 = b7b6b5b4, w2 = b11b10b9b8; the left-justified samples are b2b1b0.,
// b5b4b3., b8b7b6., b11b10b9. (a dot is the zero byte below the sample).
template <>
struct Group<3> {
    static void Load(const UCHAR* p, LONG (&s)[kGroupSamples]) {
        ULONG w0 = LoadWord(p), w1 = LoadWord(p + 4), w2 = LoadWord(p + 8);
        s[0] = static_cast<LONG>(w0 << 8);
        s[1] = static_cast<LONG>(((w0 >> 16) & 0x0000FF00u) | (w1 << 16));
        s[2] = static_cast<LONG>(((w1 >> 8) & 0x00FFFF00u) | (w2 << 24));
        s[3] = static_cast<LONG>(w2 & 0xFFFFFF00u);
    }
    static void Store(UCHAR* p, const LONG (&s)[kGroupSamples]) {
        ULONG s0 = static_cast<ULONG>(s[0]), s1 = static_cast<ULONG>(s[1]);
        ULONG s2 = static_cast<ULONG>(s[2]), s3 = static_cast<ULONG>(s[3]);
        StoreWord(p, (s0 >> 8) | ((s1 & 0x0000FF00u) << 16));
        StoreWord(p + 4, (s1 >> 16) | ((s2 & 0x00FFFF00u) << 8));
        StoreWord(p + 8, (s2 >> 24) | (s3 & 0xFFFFFF00u));
    }
};

// a + b saturated at the limits of Lane, without a wider type so that the
// compiler keeps a whole SSE2 register of sums: the sum overflowed when
// both operands have the same sign and the sum has the other.
template <typename Lane, typename Unsigned>
Lane SaturatingAdd(Lane a, Lane b) {
    constexpr ULONG kSignShift = sizeof(Lane) * 8 - 1;
    constexpr Lane kMax = static_cast<Lane>(static_cast<Unsigned>(~Unsigned{0}) >> 1);
    Unsigned sum = static_cast<Unsigned>(static_cast<Unsigned>(a) + static_cast<Unsigned>(b));
    Lane overflowed = static_cast<Lane>(static_cast<Lane>((static_cast<Unsigned>(a) ^ sum) &
                                                          (static_cast<Unsigned>(b) ^ sum)) >> kSignShift);
    Lane limit = static_cast<Lane>((a >> kSignShift) ^ kMax);  // the limit on a's side
    return static_cast<Lane>((static_cast<Lane>(sum) & ~overflowed) | (limit & overflowed));
}

struct CopyOperation {
    static constexpr bool kReadsDestination = false;
    template <ULONG DestinationBytes>
    static LONG Apply(LONG, LONG source) {
        return source;
    }
};

struct MixOperation {
    static constexpr bool kReadsDestination = true;
    // The source is scaled to the destination's width first (the bits the
    // destination cannot hold are dropped), so that the sum saturates at
    // the destination's own limits.
    template <ULONG DestinationBytes>
    static LONG Apply(LONG destination, LONG source) {
        if constexpr (DestinationBytes == 2) {
            // In 16-bit lanes: eight sums per register instead of four.
            SHORT sum = SaturatingAdd<SHORT, USHORT>(static_cast<SHORT>(destination >> 16),
                                                     static_cast<SHORT>(source >> 16));
            return static_cast<LONG>(static_cast<ULONG>(static_cast<LONG>(sum)) << 16);
        } else {
            constexpr ULONG kPrecision = ~((1ull << Sample<DestinationBytes>::kShift) - 1) & 0xFFFFFFFFu;
            return SaturatingAdd<LONG, ULONG>(destination, static_cast<LONG>(static_cast<ULONG>(source) & kPrecision));
        }
    }
};

template <ULONG From, ULONG To, typename Operation>
void ConvertOne(UCHAR* destination, const UCHAR* source) {
    if constexpr (Operation::kReadsDestination && To == 2) {
        // Sums into 16-bit samples stay in 16-bit lanes, without the trip
        // through 32-bit scale, so that a register holds eight of them.
        SHORT d;
        RtlCopyMemory(&d, destination, sizeof d);
        SHORT sum = SaturatingAdd<SHORT, USHORT>(d, Sample<From>::LoadTop16(source));
        RtlCopyMemory(destination, &sum, sizeof sum);
    } else {
        LONG d = Operation::kReadsDestination ? Sample<To>::Load(destination) : 0;
        Sample<To>::Store(destination, Operation::template Apply<To>(d, Sample<From>::Load(source)));
    }
}

template <ULONG From, ULONG To, typename Operation>
void ConvertContiguous(UCHAR* __restrict destination, const UCHAR* __restrict source, SIZE_T samples) {
    if constexpr (From == To && !Operation::kReadsDestination) {
        RtlCopyMemory(destination, source, samples * From);
        return;
    }
    SIZE_T done = 0;
    if constexpr (From == 3 || To == 3) {
        // Packed groups: each iteration turns three words into four values.
        for (; samples - done >= kGroupSamples; done += kGroupSamples) {
            LONG s[kGroupSamples];
            LONG d[kGroupSamples] = {};
            Group<From>::Load(source + done * From, s);
            if constexpr (Operation::kReadsDestination) {
                Group<To>::Load(destination + done * To, d);
            }
            for (ULONG i = 0; i < kGroupSamples; ++i) {
                d[i] = Operation::template Apply<To>(d[i], s[i]);
            }
            Group<To>::Store(destination + done * To, d);
        }
    }
    // Whole 16- and 32-bit runs (a plain loop the vectoriser takes as it
    // is), and the tail of packed runs.
    for (; done < samples; ++done) {
        ConvertOne<From, To, Operation>(destination + done * To, source + done * From);
    }
}

template <ULONG From, ULONG To, typename Operation>
void ConvertStrided(UCHAR* destination, const UCHAR* source, ULONG frames, const ConversionGeometry& g) {
    for (ULONG f = 0; f < frames; ++f) {
        for (ULONG c = 0; c < g.channels; ++c) {
            ConvertOne<From, To, Operation>(destination + c * To, source + c * From);
        }
        source += g.sourceStride;
        destination += g.destinationStride;
    }
}

template <ULONG From, ULONG To, typename Operation>
void Convert(UCHAR* destination, const UCHAR* source, ULONG frames, const ConversionGeometry& g) {
    if (frames == 0) {
        return;  // a source that delivered nothing may hand no buffer either
    } else if (g.sourceStride == g.channels * From && g.destinationStride == g.channels * To) {
        ConvertContiguous<From, To, Operation>(destination, source, static_cast<SIZE_T>(frames) * g.channels);
    } else {
        ConvertStrided<From, To, Operation>(destination, source, frames, g);
    }
}

// Indexed by [source bytes - 2][destination bytes - 2].
template <typename Operation>
constexpr SampleFunction kFunctions[3][3] = {
    {Convert<2, 2, Operation>, Convert<2, 3, Operation>, Convert<2, 4, Operation>},
    {Convert<3, 2, Operation>, Convert<3, 3, Operation>, Convert<3, 4, Operation>},
    {Convert<4, 2, Operation>, Convert<4, 3, Operation>, Convert<4, 4, Operation>},
};
static_assert(RTL_NUMBER_OF(kFunctions<CopyOperation>) == kLargestSampleBytes - kSmallestSampleBytes + 1,
              "one row per source width");

template <typename Operation>
SampleFunction Lookup(ULONG sourceBytes, ULONG destinationBytes) {
    if (sourceBytes < kSmallestSampleBytes || sourceBytes > kLargestSampleBytes ||
        destinationBytes < kSmallestSampleBytes || destinationBytes > kLargestSampleBytes) {
        return nullptr;
    }
    return kFunctions<Operation>[sourceBytes - kSmallestSampleBytes][destinationBytes - kSmallestSampleBytes];
}

}  // namespace

SampleFunction CopyFunction(ULONG sourceBytes, ULONG destinationBytes) {
    return Lookup<CopyOperation>(sourceBytes, destinationBytes);
}

SampleFunction MixFunction(ULONG sourceBytes, ULONG destinationBytes) {
    return Lookup<MixOperation>(sourceBytes, destinationBytes);
}

}  // namespace vq7
