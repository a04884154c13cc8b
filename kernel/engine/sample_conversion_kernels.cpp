// Every sample is handled as a left-justified 32-bit value: its most
// significant bit is bit 31 whatever its width. Scaling between widths is
// then loading at one width and storing at the other (storing keeps the top
// bits), and a mix is one saturating add at 32-bit scale, after which the
// store shifts the sum back to the destination's width (a 16-bit
// destination adds the same top 16 bits in 16-bit lanes).
//
// A run whose frames hold exactly the converted channels on both sides is
// one contiguous run of samples: it goes in blocks of 16 samples through
// SSE2 registers (sample_block.h), then sample by sample for the rest. Any
// other geometry takes the strided path, frame by frame.

#include "sample_conversion_kernels.h"

#include "sample_block.h"

namespace vq7 {

namespace {

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

// One block of kBlockSamples contiguous samples. A 16-bit destination
// takes and sums the top 16 bits only; the others go through 32-bit lanes.
template <ULONG From, ULONG To, typename Operation>
void ConvertBlock(UCHAR* destination, const UCHAR* source) {
    if constexpr (To == 2) {
        NarrowBlock s = SampleBlock<From>::LoadNarrow(source);
        if constexpr (Operation::kReadsDestination) {
            s = SaturatingAdd(SampleBlock<2>::LoadNarrow(destination), s);
        }
        SampleBlock<2>::StoreNarrow(destination, s);
    } else {
        WideBlock s = SampleBlock<From>::LoadWide(source);
        if constexpr (Operation::kReadsDestination) {
            if constexpr (From > To) {
                s = KeepTopBits(s, 8 * To);
            }
            s = SaturatingAdd(SampleBlock<To>::LoadWide(destination), s);
        }
        SampleBlock<To>::StoreWide(destination, s);
    }
}

template <ULONG From, ULONG To, typename Operation>
void ConvertContiguous(UCHAR* destination, const UCHAR* source, SIZE_T samples) {
    if constexpr (From == To && !Operation::kReadsDestination) {
        RtlCopyMemory(destination, source, samples * From);
        return;
    }
    SIZE_T done = 0;
    for (; samples - done >= kBlockSamples; done += kBlockSamples) {
        ConvertBlock<From, To, Operation>(destination + done * To, source + done * From);
    }
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
