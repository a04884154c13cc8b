// Every allocation of a start made to fail in turn, one fresh world per
// allocation: the start fails with an error or goes on without what it
// could not get, nothing leaks, and the next start of another device works.

#include <gtest/gtest.h>

#include "driver_world.h"
#include "kmsim/portcls.h"
#include "kmsim/verifier.h"

namespace {

using kerneltest::DriverWorld;

TEST(StartFailure, EveryAllocationOfAStartFailsCleanly) {
    uint64_t failedStarts = 0;
    uint64_t n = 2;  // the first is the bus's own device object for the plugged hardware
    for (;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        DriverWorld world;
        auto usb = world.Make("q7-0b31");
        PDEVICE_OBJECT pdo = nullptr;
        kmsim::FailNthAllocation(n);
        NTSTATUS status = world.Plug(usb, &pdo);
        const bool reached = kmsim::FailedAllocationCount() > 0;
        kmsim::ClearAllocationFailures();
        if (!reached) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;  // the whole start ran without reaching allocation n
        }
        if (!NT_SUCCESS(status)) {
            failedStarts += 1;
            EXPECT_TRUE(NT_ERROR(status)) << std::hex << status;
            EXPECT_EQ(world.Adapter(pdo), nullptr);
            world.Bus().Detach(pdo);
            EXPECT_EQ(kmsim::OutstandingAllocations(kmsim::PoolTag("USBA")), 0u);
            EXPECT_EQ(kmsim::OutstandingAllocations(kmsim::PoolTag("PcCr")), 0u);
        }
        PDEVICE_OBJECT other = nullptr;
        EXPECT_EQ(world.Plug(world.Make("q7-0b32"), &other), STATUS_SUCCESS);
        EXPECT_EQ(world.AudioInterfaces(other).size(), 1u);
        if (HasFailure()) break;
    }
    EXPECT_GT(n, 50u);  // a start allocates plenty: the loop really walked them
    EXPECT_GT(failedStarts, 10u);
}

}  // namespace
