// Ownership of the ASIO channel: one owner at a time among all handles of
// a device; the owner slot comes back by CLOSE, by closing the handle in
// any state, or by the owning process dying, and the device is then free
// for the next owner with nothing left behind.

#include <gtest/gtest.h>

#include <memory>

#include "asio_channel_client.h"
#include "kmsim/verifier.h"

namespace {

using asiotest::ChannelClient;
using asiotest::Params;
using kerneltest::DriverWorld;
using kerneltest::PluggedDevice;

const ULONG kUsba = kmsim::PoolTag("USBA");

struct Ownership : ::testing::Test {
    DriverWorld world;
    PluggedDevice q7 = world.Start("q7-0b31");
    CUSBAudioAdapter& Adapter() { return *world.Adapter(q7.pdo); }
    // What an idle device holds: nothing the channel took may remain.
    void ExpectIdle() {
        EXPECT_EQ(Adapter().AsioOwnerFlag(), 0);
        EXPECT_FALSE(Adapter().Asio().IsRunning());
        EXPECT_FALSE(Adapter().Asio().HasInputRing() || Adapter().Asio().HasOutputRing());
        EXPECT_EQ(Adapter().DirectionUseCount(false), 0);
        EXPECT_EQ(Adapter().DirectionUseCount(true), 0);
        EXPECT_EQ(Adapter().ReserveDirections(TRUE, TRUE, TRUE), STATUS_SUCCESS);  // no reservation left
        EXPECT_EQ(Adapter().ReleaseDirections(TRUE, TRUE), STATUS_SUCCESS);
    }
};

TEST_F(Ownership, TheSecondOpenIsBusyUntilTheFirstCloses) {
    ChannelClient first(world, q7.pdo, "first");
    ChannelClient second(world, q7.pdo, "second");
    ASSERT_EQ(first.Open(), STATUS_SUCCESS);
    ASSERT_EQ(second.Open(), STATUS_SUCCESS);
    ASSERT_EQ(first.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    EXPECT_EQ(second.Send(IOCTL_ASIO_OPEN).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(second.Send(IOCTL_ASIO_OPEN).information, 0u);
    // The refused handle stays Opened: owner requests are in the wrong state.
    EXPECT_EQ(second.Prepare(Params(64, true, true)), STATUS_UNSUCCESSFUL);
    // Queries need no ownership.
    EXPECT_EQ(second.Query(IOCTL_ASIO_GET_USB_SPEED).status, STATUS_SUCCESS);
    ASSERT_EQ(first.Send(IOCTL_ASIO_CLOSE).status, STATUS_SUCCESS);
    EXPECT_EQ(second.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    EXPECT_EQ(first.Send(IOCTL_ASIO_OPEN).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(second.Close(), STATUS_SUCCESS);  // cleanup gives the slot back
    EXPECT_EQ(first.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    EXPECT_EQ(first.Close(), STATUS_SUCCESS);
    ExpectIdle();
}

// A first stream leaves the directions' transfer resources allocated for
// the next one; what counts is that no further stream adds to them.
uint64_t AllocationsAfterOneStream(DriverWorld& world, PDEVICE_OBJECT pdo) {
    ChannelClient warmUp(world, pdo, "warm-up");
    EXPECT_EQ(warmUp.Open(), STATUS_SUCCESS);
    EXPECT_EQ(warmUp.OpenPrepareStart(Params(64, true, true)), STATUS_SUCCESS);
    EXPECT_EQ(warmUp.Close(), STATUS_SUCCESS);
    return kmsim::OutstandingAllocations(kUsba);
}

TEST_F(Ownership, ClosingAHandleInAnyStateUnwindsIt) {
    const uint64_t before = AllocationsAfterOneStream(world, q7.pdo);
    struct Step {
        const char* name;
        int requests;  // how far along OPEN, PREPARE, START the handle got
    };
    for (Step step : {Step{"Owner", 1}, Step{"Prepared", 2}, Step{"Running", 3}}) {
        SCOPED_TRACE(step.name);
        ChannelClient owner(world, q7.pdo, "owner");
        ASSERT_EQ(owner.Open(), STATUS_SUCCESS);
        ASSERT_EQ(owner.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
        if (step.requests >= 2) {
            ASSERT_EQ(owner.Prepare(Params(64, true, true)), STATUS_SUCCESS);
        }
        if (step.requests >= 3) {
            ASSERT_EQ(owner.Send(IOCTL_ASIO_START).status, STATUS_SUCCESS);
        }
        EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
        ExpectIdle();
        ChannelClient next(world, q7.pdo, "next");
        ASSERT_EQ(next.Open(), STATUS_SUCCESS);
        EXPECT_EQ(next.OpenPrepareStart(Params(64, true, true)), STATUS_SUCCESS);
        EXPECT_EQ(next.Close(), STATUS_SUCCESS);
        EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), before);
    }
}

TEST_F(Ownership, AClientThatDiesMidStreamLeavesTheDeviceFree) {
    const uint64_t before = AllocationsAfterOneStream(world, q7.pdo);
    {
        auto dying = std::make_unique<ChannelClient>(world, q7.pdo, "dying");
        ASSERT_EQ(dying->Open(), STATUS_SUCCESS);
        ASSERT_EQ(dying->OpenPrepareStart(Params(64, true, true)), STATUS_SUCCESS);
        ASSERT_EQ(dying->Send(IOCTL_ASIO_ARM_INPUT).status, STATUS_SUCCESS);
        std::vector<UCHAR> buffer(64 * 16);
        kmsim::Overlapped pending;
        ASSERT_EQ(dying->Process().Read(dying->Handle(), buffer.data(), 1u << 20, &pending), STATUS_PENDING);
        dying.reset();  // the process ends with its read pending and its handle open
        EXPECT_TRUE(pending.Done());
        EXPECT_EQ(pending.ioStatus.Status, STATUS_CANCELLED);
    }
    ExpectIdle();
    ChannelClient next(world, q7.pdo, "next");
    ASSERT_EQ(next.Open(), STATUS_SUCCESS);
    EXPECT_EQ(next.Send(IOCTL_ASIO_OPEN).status, STATUS_SUCCESS);
    EXPECT_EQ(next.Close(), STATUS_SUCCESS);
    EXPECT_EQ(kmsim::OutstandingAllocations(kUsba), before);
}

}  // namespace
