// Sixteen contiguous samples of one width moved between memory and SSE2
// registers, at any address, reading and writing exactly their own bytes
// (16-bit: 32 bytes, packed 24-bit: 48, 32-bit: 64), and the saturating
// sums the mixes make of them. Internal to the conversion loops; any IRQL.
//
// Two register forms:
// - Wide: left-justified 32-bit lanes (the top bit of every sample is bit
//   31), four per register, in order. Storing keeps the top bits, so a load
//   at one width and a store at another is the whole scaling.
// - Narrow: the top 16 bits of every sample, eight per register, in order:
//   what a 16-bit destination keeps, and where it sums (SSE2 saturates
//   16-bit lanes itself).
//
// SSE2 has no byte shuffle, so packed 24-bit samples are moved as pairs: a
// pair is 6 bytes, loaded into the low end of one 64-bit lane; two shifts
// and masks per lane place its samples into their 32-bit halves, or back.
#pragma once

#include <emmintrin.h>
#include <ntddk.h>

namespace vq7 {

constexpr ULONG kBlockSamples = 16;

struct WideBlock {
    __m128i lanes[4];
};

struct NarrowBlock {
    __m128i lanes[2];
};

namespace sse2 {

inline __m128i Load128(const UCHAR* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline __m128i Load64(const UCHAR* p) {
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

inline void Store128(UCHAR* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

inline void Store64(UCHAR* p, __m128i v) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}

inline __m128i Splat64(LONGLONG value) {
    return _mm_set1_epi64x(value);
}

}  // namespace sse2

// Wide lanes to their top 16 bits. The arithmetic shift leaves values that
// fit 16 bits, so the saturating pack only narrows.
inline NarrowBlock Narrow(const WideBlock& w) {
    return {{_mm_packs_epi32(_mm_srai_epi32(w.lanes[0], 16), _mm_srai_epi32(w.lanes[1], 16)),
             _mm_packs_epi32(_mm_srai_epi32(w.lanes[2], 16), _mm_srai_epi32(w.lanes[3], 16))}};
}

template <ULONG Bytes>
struct SampleBlock;

template <>
struct SampleBlock<2> {
    static NarrowBlock LoadNarrow(const UCHAR* p) { return {{sse2::Load128(p), sse2::Load128(p + 16)}}; }

    static void StoreNarrow(UCHAR* p, const NarrowBlock& n) {
        sse2::Store128(p, n.lanes[0]);
        sse2::Store128(p + 16, n.lanes[1]);
    }

    // Interleaving with zero words puts each sample in the top half of its lane.
    static WideBlock LoadWide(const UCHAR* p) {
        const __m128i zero = _mm_setzero_si128();
        __m128i a = sse2::Load128(p), b = sse2::Load128(p + 16);
        return {{_mm_unpacklo_epi16(zero, a), _mm_unpackhi_epi16(zero, a), _mm_unpacklo_epi16(zero, b),
                 _mm_unpackhi_epi16(zero, b)}};
    }
};

template <>
struct SampleBlock<4> {
    static WideBlock LoadWide(const UCHAR* p) {
        return {{sse2::Load128(p), sse2::Load128(p + 16), sse2::Load128(p + 32), sse2::Load128(p + 48)}};
    }

    static void StoreWide(UCHAR* p, const WideBlock& w) {
        for (ULONG i = 0; i < 4; ++i) {
            sse2::Store128(p + 16 * i, w.lanes[i]);
        }
    }

    static NarrowBlock LoadNarrow(const UCHAR* p) { return Narrow(LoadWide(p)); }
};

// Packed 24-bit. Pair k (samples 2k and 2k+1) is bytes 6k..6k+5; register i
// of the wide form holds pairs 2i and 2i+1, one per 64-bit lane. In a lane
// the pair's bytes b0..b5 become the samples b2b1b0. and b5b4b3. (a dot is
// the zero byte below a left-justified sample).
template <>
struct SampleBlock<3> {
    static constexpr ULONG kPairBytes = 6;
    static constexpr ULONG kGroupBytes = 2 * kPairBytes;  // one register's worth

    // Loads of 8 bytes from each pair's start, except the last pair: its 8
    // bytes would pass the block's end, so it is loaded 2 bytes early and
    // shifted down.
    static WideBlock LoadWide(const UCHAR* p) {
        const __m128i firstSample = sse2::Splat64(0x00000000FFFFFF00);  // b2b1b0. at bytes 0..3
        const __m128i secondSample = sse2::Splat64(static_cast<LONGLONG>(0xFFFFFF0000000000ull));  // bytes 4..7
        WideBlock w;
        for (ULONG i = 0; i < 4; ++i) {
            const UCHAR* group = p + i * kGroupBytes;
            __m128i high = i < 3 ? sse2::Load64(group + kPairBytes) : _mm_srli_epi64(sse2::Load64(group + 4), 16);
            __m128i pairs = _mm_unpacklo_epi64(sse2::Load64(group), high);
            w.lanes[i] = _mm_or_si128(_mm_and_si128(_mm_slli_epi64(pairs, 8), firstSample),
                                      _mm_and_si128(_mm_slli_epi64(pairs, 16), secondSample));
        }
        return w;
    }

    // Each lane's pair is packed into its low 6 bytes and stored with 8
    // bytes; the 2 spare bytes are overwritten by the next pair's store.
    // The last pair's 8 bytes would pass the block's end: they are stored
    // 2 bytes early, led by the end of the pair before.
    static void StoreWide(UCHAR* p, const WideBlock& w) {
        const __m128i firstSample = sse2::Splat64(0x0000000000FFFFFF);
        const __m128i secondSample = sse2::Splat64(0x0000FFFFFF000000);
        for (ULONG i = 0; i < 4; ++i) {
            UCHAR* group = p + i * kGroupBytes;
            __m128i pairs = _mm_or_si128(_mm_and_si128(_mm_srli_epi64(w.lanes[i], 8), firstSample),
                                         _mm_and_si128(_mm_srli_epi64(w.lanes[i], 16), secondSample));
            sse2::Store64(group, pairs);
            if (i < 3) {
                sse2::Store64(group + kPairBytes, _mm_srli_si128(pairs, 8));
            } else {
                sse2::Store64(group + 4, _mm_or_si128(_mm_srli_epi64(pairs, 32), _mm_srli_si128(pairs, 6)));
            }
        }
    }

    static NarrowBlock LoadNarrow(const UCHAR* p) { return Narrow(LoadWide(p)); }
};

// a + b per 32-bit lane, saturated at the 32-bit limits: the sum overflowed
// when both operands have the same sign and the sum the other, and is then
// the limit on the operands' side (the sum's sign flipped).
inline __m128i SaturatingAdd32(__m128i a, __m128i b) {
    const __m128i signBit = _mm_set1_epi32(static_cast<int>(0x80000000u));
    __m128i sum = _mm_add_epi32(a, b);
    __m128i overflowed = _mm_srai_epi32(_mm_and_si128(_mm_xor_si128(a, sum), _mm_xor_si128(b, sum)), 31);
    __m128i limit = _mm_xor_si128(_mm_srai_epi32(sum, 31), signBit);
    return _mm_xor_si128(sum, _mm_and_si128(overflowed, _mm_xor_si128(sum, limit)));
}

inline WideBlock SaturatingAdd(const WideBlock& a, const WideBlock& b) {
    WideBlock sum;
    for (ULONG i = 0; i < 4; ++i) {
        sum.lanes[i] = SaturatingAdd32(a.lanes[i], b.lanes[i]);
    }
    return sum;
}

inline NarrowBlock SaturatingAdd(const NarrowBlock& a, const NarrowBlock& b) {
    return {{_mm_adds_epi16(a.lanes[0], b.lanes[0]), _mm_adds_epi16(a.lanes[1], b.lanes[1])}};
}

// Clears the bits below a destination sample of `bits` bits, so that a sum
// saturates at the destination's own limits.
inline WideBlock KeepTopBits(const WideBlock& w, ULONG bits) {
    const __m128i precision = _mm_set1_epi32(static_cast<int>(~((1ull << (32 - bits)) - 1) & 0xFFFFFFFFu));
    WideBlock kept;
    for (ULONG i = 0; i < 4; ++i) {
        kept.lanes[i] = _mm_and_si128(w.lanes[i], precision);
    }
    return kept;
}

}  // namespace vq7
