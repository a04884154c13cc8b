// AsioRing: bytes come out in the order they went in across the wrap; a
// partial request moves only what fits; overflow and underflow become debts
// that keep every later byte at the position a perfect stream gives it;
// priming, reset, pre-fill, skipping and the netting of two rings' debts.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/asio_ring.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"

namespace {

using vq7::AsioRing;

constexpr UCHAR kFill = 0x96;

// Byte n of a stream, never the fill byte.
UCHAR Tag(uint64_t n) { return static_cast<UCHAR>(n % 200 + 1); }

std::vector<UCHAR> Stream(uint64_t from, ULONG bytes) {
    std::vector<UCHAR> data(bytes);
    for (ULONG i = 0; i < bytes; ++i) data[i] = Tag(from + i);
    return data;
}

struct RingTest : ::testing::Test {
    kmsim::Simulation sim;
};

TEST_F(RingTest, AllocationRefusesEmptyAndSecondBuffersAndFreeGivesThePoolBack) {
    const ULONG usba = kmsim::PoolTag("USBA");
    const uint64_t before = kmsim::OutstandingAllocations(usba);
    AsioRing ring(false);
    EXPECT_EQ(ring.Allocate(0, 4, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ring.Allocate(16, 0, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ring.Allocate(0x40000000, 8, 0), STATUS_INVALID_PARAMETER);  // beyond what a debt can count
    ASSERT_EQ(ring.Allocate(5, 3, kFill), STATUS_SUCCESS);
    EXPECT_EQ(ring.Size(), 15u);
    EXPECT_EQ(kmsim::OutstandingAllocations(usba), before + 1);
    EXPECT_EQ(ring.Allocate(5, 3, kFill), STATUS_UNSUCCESSFUL);
    ring.Free();
    EXPECT_FALSE(ring.HasBuffer());
    EXPECT_EQ(ring.Size(), 0u);
    EXPECT_EQ(kmsim::OutstandingAllocations(usba), before);
    UCHAR byte = 0;
    EXPECT_EQ(ring.Write(&byte, 1, false), 0u);  // a freed ring takes nothing
}

TEST_F(RingTest, BytesKeepTheirOrderAcrossTheWrapInPiecesOfEverySize) {
    AsioRing ring(false);
    ASSERT_EQ(ring.Allocate(13, 1, 0), STATUS_SUCCESS);
    ring.Prime();
    uint64_t written = 0;
    uint64_t read = 0;
    for (ULONG piece = 1; piece <= 13; ++piece) {
        for (int round = 0; round < 5; ++round) {
            std::vector<UCHAR> in = Stream(written, piece);
            ASSERT_EQ(ring.Write(in.data(), piece, true), piece);
            written += piece;
            std::vector<UCHAR> out(piece);
            ASSERT_EQ(ring.Read(out.data(), piece, true), piece);
            EXPECT_EQ(out, Stream(read, piece)) << "piece " << piece << " round " << round;
            read += piece;
        }
    }
    EXPECT_EQ(ring.Level(), 0u);
    EXPECT_EQ(ring.Debt(), 0);
}

TEST_F(RingTest, PartialRequestsMoveOnlyWhatFitsOrIsThere) {
    AsioRing ring(false);
    ASSERT_EQ(ring.Allocate(8, 1, kFill), STATUS_SUCCESS);
    ring.Prime();
    std::vector<UCHAR> in = Stream(0, 12);
    EXPECT_EQ(ring.Write(in.data(), 12, true), 8u);
    EXPECT_EQ(ring.Level(), 8u);
    std::vector<UCHAR> out(12, 0);
    EXPECT_EQ(ring.Read(out.data(), 12, true), 8u);
    EXPECT_EQ(std::vector<UCHAR>(out.begin(), out.begin() + 8), Stream(0, 8));
    EXPECT_EQ(out[8], 0);  // a partial read writes nothing past what it produced
    EXPECT_EQ(ring.Debt(), 0);
}

// W - R == level + debt: everything written and not yet read is either in
// the ring or owed as fill.
TEST_F(RingTest, OverflowDropsTheNewestBytesAndLaterBytesKeepTheirPlace) {
    AsioRing ring(false);
    ASSERT_EQ(ring.Allocate(8, 1, kFill), STATUS_SUCCESS);
    ring.Prime();
    std::vector<UCHAR> in = Stream(0, 12);
    EXPECT_EQ(ring.Write(in.data(), 12, false), 12u);  // 8..11 dropped
    EXPECT_EQ(ring.Debt(), 4);
    std::vector<UCHAR> out(12);
    EXPECT_EQ(ring.Read(out.data(), 12, false), 12u);
    const std::vector<UCHAR> expected = {kFill, kFill, kFill, kFill, Tag(0), Tag(1), Tag(2), Tag(3),
                                         Tag(4), Tag(5), Tag(6), Tag(7)};
    EXPECT_EQ(out, expected);
    EXPECT_EQ(ring.Debt(), 0);
    in = Stream(12, 6);
    EXPECT_EQ(ring.Write(in.data(), 6, false), 6u);
    out.resize(6);
    EXPECT_EQ(ring.Read(out.data(), 6, false), 6u);
    EXPECT_EQ(out, Stream(12, 6));  // byte 12 is read 12th, as if nothing was lost
}

TEST_F(RingTest, UnderflowPadsWithFillAndTheNextWriteSkipsItsEnd) {
    AsioRing ring(false);
    ASSERT_EQ(ring.Allocate(8, 1, kFill), STATUS_SUCCESS);
    ring.Prime();
    std::vector<UCHAR> in = Stream(0, 2);
    ring.Write(in.data(), 2, false);
    std::vector<UCHAR> out(6);
    EXPECT_EQ(ring.Read(out.data(), 6, false), 6u);
    EXPECT_EQ(out, (std::vector<UCHAR>{Tag(0), Tag(1), kFill, kFill, kFill, kFill}));
    EXPECT_EQ(ring.Debt(), -4);
    in = Stream(2, 6);
    EXPECT_EQ(ring.Write(in.data(), 6, false), 6u);  // four cancelled off the end, two stored
    EXPECT_EQ(ring.Debt(), 0);
    EXPECT_EQ(ring.Level(), 2u);
    out.resize(2);
    ring.Read(out.data(), 2, false);
    EXPECT_EQ(out, Stream(2, 2));
    in = Stream(8, 3);
    ring.Write(in.data(), 3, false);
    out.resize(3);
    ring.Read(out.data(), 3, false);
    EXPECT_EQ(out, Stream(8, 3));  // byte 8 is read 8th

    // A debt larger than a request is worked off over several requests.
    ring.Read(nullptr, 10, false);
    EXPECT_EQ(ring.Debt(), -10);
    EXPECT_EQ(ring.Write(in.data(), 3, true), 3u);  // all cancelled, partial or not
    EXPECT_EQ(ring.Level(), 0u);
    EXPECT_EQ(ring.Debt(), -7);
}

TEST_F(RingTest, ShortReadsAndDroppingWritesAreCountedUntilTheNextReset) {
    AsioRing ring(false);
    ASSERT_EQ(ring.Allocate(8, 1, kFill), STATUS_SUCCESS);
    ring.Prime();
    std::vector<UCHAR> in = Stream(0, 12);
    ring.Write(in.data(), 6, false);
    ring.Read(nullptr, 6, false);
    EXPECT_EQ(ring.Underruns(), 0u) << "a read that finds enough is no underrun";
    ring.Write(in.data(), 12, false);  // 4 dropped
    ring.Write(in.data(), 12, true);   // partial: the writer keeps what did not fit
    EXPECT_EQ(ring.Overruns(), 1u);
    ring.Read(nullptr, 12, false);  // 4 owed as fill, 8 there
    ring.Read(nullptr, 3, false);   // nothing there
    ring.Read(nullptr, 3, true);    // partial: the reader takes what there is
    EXPECT_EQ(ring.Underruns(), 1u);
    EXPECT_EQ(ring.Overruns(), 1u);
    ring.Reset();
    EXPECT_EQ(ring.Underruns(), 0u);
    EXPECT_EQ(ring.Overruns(), 0u);
}

TEST_F(RingTest, RandomTrafficKeepsWrittenMinusReadEqualToLevelPlusDebt) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 random(seed);
        AsioRing ring(seed % 2 == 0);
        ASSERT_EQ(ring.Allocate(1 + random() % 64, 1 + random() % 8, kFill), STATUS_SUCCESS);
        ring.Prime();
        int64_t balance = 0;
        for (int step = 0; step < 2000; ++step) {
            const ULONG bytes = random() % (2 * ring.Size() + 1);
            const bool partial = random() % 3 == 0;
            std::vector<UCHAR> data(bytes, 1);
            if (random() % 2 == 0) {
                const ULONG taken = ring.Write(random() % 4 ? data.data() : nullptr, bytes, partial);
                ASSERT_LE(taken, bytes);
                if (!partial) {
                    ASSERT_EQ(taken, bytes);
                }
                balance += taken;
            } else {
                const ULONG given = ring.Read(random() % 4 ? data.data() : nullptr, bytes, partial);
                ASSERT_LE(given, bytes);
                if (!partial) {
                    ASSERT_EQ(given, bytes);
                }
                balance -= given;
            }
            ASSERT_LE(ring.Level(), ring.Size());
            ASSERT_EQ(balance, int64_t{ring.Level()} + ring.Debt()) << "seed " << seed << " step " << step;
        }
    }
}

TEST_F(RingTest, TheInputRingTakesNothingAndTheOutputRingGivesNothingUntilPrimed) {
    AsioRing input(true);
    AsioRing output(false);
    ASSERT_EQ(input.Allocate(8, 2, 0), STATUS_SUCCESS);
    ASSERT_EQ(output.Allocate(8, 2, 0), STATUS_SUCCESS);
    std::vector<UCHAR> data = Stream(0, 8);
    EXPECT_EQ(input.Write(data.data(), 8, false), 0u);
    EXPECT_EQ(input.Level(), 0u);
    EXPECT_EQ(input.Read(data.data(), 4, false), 4u);  // the client side always reads
    EXPECT_EQ(output.Write(data.data(), 8, false), 8u);  // the client side always writes
    EXPECT_EQ(output.Read(data.data(), 4, false), 0u);
    EXPECT_EQ(output.Level(), 8u);
    output.Prime();
    input.Prime();
    EXPECT_EQ(output.Read(data.data(), 4, false), 4u);
    EXPECT_EQ(input.Write(data.data(), 4, false), 4u);
}

TEST_F(RingTest, ResetAndPrefillRestoreALevelOfFillBytes) {
    AsioRing ring(false);
    ASSERT_EQ(ring.Allocate(10, 2, kFill), STATUS_SUCCESS);
    ring.Prime();
    std::vector<UCHAR> data = Stream(0, 20);
    ring.Write(data.data(), 20, false);
    ring.Read(nullptr, 30, false);
    ring.SetPrefill(6);
    EXPECT_EQ(ring.Prefill(), 6u);
    EXPECT_EQ(ring.Level(), 6u);
    EXPECT_EQ(ring.Debt(), 0);
    EXPECT_FALSE(ring.Primed());
    ring.Prime();
    std::vector<UCHAR> more = Stream(100, 4);
    ring.Write(more.data(), 4, false);
    std::vector<UCHAR> out(10);
    EXPECT_EQ(ring.Read(out.data(), 10, false), 10u);
    EXPECT_EQ(out, (std::vector<UCHAR>{kFill, kFill, kFill, kFill, kFill, kFill, Tag(100), Tag(101), Tag(102),
                                       Tag(103)}));
    ring.SetPrefill(1000);
    EXPECT_EQ(ring.Prefill(), 20u);  // cut to the size
    EXPECT_EQ(ring.Level(), 20u);
    ring.Prime();
    EXPECT_EQ(ring.Write(more.data(), 4, true), 0u);  // a full pre-fill leaves no room
    ring.Reset();
    EXPECT_EQ(ring.Level(), 20u);

    vq7::OutputPrefillOverride_frames = 3;  // frames, whatever the caller computed
    ring.SetPrefill(2);
    vq7::OutputPrefillOverride_frames = 0;
    EXPECT_EQ(ring.Prefill(), 6u);
}

TEST_F(RingTest, SkipDropsInputFramesAndInsertsOutputFill) {
    AsioRing input(true);
    AsioRing output(false);
    ASSERT_EQ(input.Allocate(8, 4, 0), STATUS_SUCCESS);
    ASSERT_EQ(output.Allocate(8, 2, kFill), STATUS_SUCCESS);
    input.Prime();
    output.Prime();
    std::vector<UCHAR> data = Stream(0, 12);
    input.Write(data.data(), 12, false);
    input.Skip(2);  // 8 bytes dropped
    std::vector<UCHAR> out(4);
    input.Read(out.data(), 4, false);
    EXPECT_EQ(out, Stream(8, 4));
    input.Skip(1);  // nothing left: the next frame's worth owed by the writer
    EXPECT_EQ(input.Debt(), -4);

    output.Skip(3);  // 6 bytes of fill before whatever the client writes next
    output.Write(data.data(), 2, false);
    std::vector<UCHAR> played(8);
    output.Read(played.data(), 8, true);
    played.resize(8);
    EXPECT_EQ(played, (std::vector<UCHAR>{kFill, kFill, kFill, kFill, kFill, kFill, Tag(0), Tag(1)}));
}

TEST_F(RingTest, BalanceNetsOppositeDebtsInFramesAndLeavesLikeSignsAlone) {
    AsioRing input(true);
    AsioRing output(false);
    ASSERT_EQ(input.Allocate(64, 4, 0), STATUS_SUCCESS);   // 4-byte frames
    ASSERT_EQ(output.Allocate(64, 8, 0), STATUS_SUCCESS);  // 8-byte frames
    input.Prime();
    output.Prime();
    // Input owes 3 frames of fill (12 bytes), output owes 5 frames of skipping (-40 bytes).
    std::vector<UCHAR> big(1024, 1);
    input.Write(big.data(), 256 + 12, false);
    output.Read(nullptr, 40, false);
    ASSERT_EQ(input.Debt(), 12);
    ASSERT_EQ(output.Debt(), -40);
    AsioRing::Balance(input, output);
    EXPECT_EQ(input.Debt(), 0);
    EXPECT_EQ(output.Debt(), -40 + 3 * 8);  // the smaller debt moved, converted to output frames

    // Now output's 2 frames are smaller than input's 4 frames: output's moves.
    input.Read(nullptr, 256, false);  // empties input
    input.Write(big.data(), 256 + 16, false);
    ASSERT_EQ(input.Debt(), 16);
    AsioRing::Balance(input, output);
    EXPECT_EQ(output.Debt(), 0);
    EXPECT_EQ(input.Debt(), 16 - 2 * 4);

    // Same signs stay as they are.
    output.Write(big.data(), 512 + 8, false);
    ASSERT_GT(output.Debt(), 0);
    const LONG in = input.Debt();
    const LONG out = output.Debt();
    AsioRing::Balance(input, output);
    EXPECT_EQ(input.Debt(), in);
    EXPECT_EQ(output.Debt(), out);
}

}  // namespace
