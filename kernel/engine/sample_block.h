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
// pair is 6 bytes, loaded into one 64-bit lane from wherever its bytes land
// where a shift and two masks can place its samples into the lane's 32-bit
// halves (or back). Loads and stores cost little next to the shuffles that
// gathering bytes inside a register would take.
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
        sse2::Store128(p, w.lanes[0]);
        sse2::Store128(p + 16, w.lanes[1]);
        sse2::Store128(p + 32, w.lanes[2]);
        sse2::Store128(p + 48, w.lanes[3]);
    }

    static NarrowBlock LoadNarrow(const UCHAR* p) { return Narrow(LoadWide(p)); }
};

// Packed 24-bit. Pair k (samples 2k and 2k+1) is bytes 6k..6k+5, b0..b5;
// as left-justified lanes its samples are b2b1b0. and b5b4b3. (a dot is the
// zero byte below the sample). Register i of the wide form holds pairs 2i
// and 2i+1, one per 64-bit lane. Every 8-byte load or store that would
// reach past the block's 48 bytes is moved inside and shifted instead.
template <>
struct SampleBlock<3> {
    // Loaded from the byte before each pair, a lane holds . b0 b1 b2 b3 b4
    // b5 .: the first sample is in place, the second one byte short.
    static WideBlock LoadWide(const UCHAR* p) {
        return {{Unpack(_mm_slli_epi64(sse2::Load64(p), 8), sse2::Load64(p + 5)),
                 Unpack(sse2::Load64(p + 11), sse2::Load64(p + 17)),
                 Unpack(sse2::Load64(p + 23), sse2::Load64(p + 29)),
                 Unpack(sse2::Load64(p + 35), _mm_srli_epi64(sse2::Load64(p + 40), 8))}};
    }

    // Each lane's pair is packed into its low 6 bytes and stored with 8
    // bytes; the 2 spare bytes are overwritten by the next pair's store.
    // The last pair is stored 2 bytes early, led by the end of the pair
    // before.
    static void StoreWide(UCHAR* p, const WideBlock& w) {
        StorePairs(p, Pack(w.lanes[0]));
        StorePairs(p + 12, Pack(w.lanes[1]));
        StorePairs(p + 24, Pack(w.lanes[2]));
        __m128i pairs = Pack(w.lanes[3]);
        sse2::Store64(p + 36, pairs);
        sse2::Store64(p + 40, _mm_or_si128(_mm_srli_epi64(pairs, 32), _mm_srli_si128(pairs, 6)));
    }

    // The top 16 bits of each sample are b2b1 and b5b4. Loaded from its
    // second byte, an even pair has b2b1 in place and b5b4 one byte up;
    // loaded from 2 bytes before it, an odd pair has b5b4 in place (the top
    // of the lane) and b2b1 one byte down. One or puts both in order.
    static NarrowBlock LoadNarrow(const UCHAR* p) { return {{LoadTop16(p), LoadTop16(p + 24)}}; }

private:
    static __m128i Unpack(__m128i firstPair, __m128i secondPair) {
        const __m128i firstSample = sse2::Splat64(0x00000000FFFFFF00);
        const __m128i secondSample = sse2::Splat64(static_cast<LONGLONG>(0xFFFFFF0000000000ull));
        __m128i pairs = _mm_unpacklo_epi64(firstPair, secondPair);
        return _mm_or_si128(_mm_and_si128(pairs, firstSample),
                            _mm_and_si128(_mm_slli_epi64(pairs, 8), secondSample));
    }

    // Four samples to two pairs, each in the low 6 bytes of its lane.
    static __m128i Pack(__m128i samples) {
        const __m128i firstSample = sse2::Splat64(0x0000000000FFFFFF);
        const __m128i secondSample = sse2::Splat64(0x0000FFFFFF000000);
        return _mm_or_si128(_mm_and_si128(_mm_srli_epi64(samples, 8), firstSample),
                            _mm_and_si128(_mm_srli_epi64(samples, 16), secondSample));
    }

    static void StorePairs(UCHAR* p, __m128i pairs) {
        sse2::Store64(p, pairs);
        sse2::Store64(p + 6, _mm_srli_si128(pairs, 8));
    }

    // Eight samples (24 bytes) to their top 16 bits, pair k in 32-bit lane k.
    static __m128i LoadTop16(const UCHAR* p) {
        __m128i even = _mm_unpacklo_epi64(sse2::Load64(p + 1), sse2::Load64(p + 13));  // pairs 0 and 2
        __m128i odd = _mm_unpacklo_epi64(sse2::Load64(p + 4), sse2::Load64(p + 16));   // pairs 1 and 3
        __m128i evenFirst = _mm_and_si128(even, sse2::Splat64(0x000000000000FFFF));
        __m128i evenSecond = _mm_and_si128(_mm_srli_epi64(even, 8), sse2::Splat64(0x00000000FFFF0000));
        __m128i oddFirst = _mm_and_si128(_mm_slli_epi64(odd, 8), sse2::Splat64(0x0000FFFF00000000));
        __m128i oddSecond = _mm_and_si128(odd, sse2::Splat64(static_cast<LONGLONG>(0xFFFF000000000000ull)));
        return _mm_or_si128(_mm_or_si128(evenFirst, evenSecond), _mm_or_si128(oddFirst, oddSecond));
    }
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
    return {{SaturatingAdd32(a.lanes[0], b.lanes[0]), SaturatingAdd32(a.lanes[1], b.lanes[1]),
             SaturatingAdd32(a.lanes[2], b.lanes[2]), SaturatingAdd32(a.lanes[3], b.lanes[3])}};
}

inline NarrowBlock SaturatingAdd(const NarrowBlock& a, const NarrowBlock& b) {
    return {{_mm_adds_epi16(a.lanes[0], b.lanes[0]), _mm_adds_epi16(a.lanes[1], b.lanes[1])}};
}

// Clears the bits below a destination sample of `bits` bits, so that a sum
// saturates at the destination's own limits.
inline WideBlock KeepTopBits(const WideBlock& w, ULONG bits) {
    const __m128i precision = _mm_set1_epi32(static_cast<int>(~((1ull << (32 - bits)) - 1) & 0xFFFFFFFFu));
    return {{_mm_and_si128(w.lanes[0], precision), _mm_and_si128(w.lanes[1], precision),
             _mm_and_si128(w.lanes[2], precision), _mm_and_si128(w.lanes[3], precision)}};
}

}  // namespace vq7
