// Unplugging the device at a moment the interleaving seed picks while both
// directions stream: the first device-gone completion marks the device
// failed and ends the pipelines, the removal stops every use, and every
// transfer context, buffer, MDL and work item is returned. Run under many
// seeds by the `seeds` label.

#include <gtest/gtest.h>

#include "adapter/device_extension.h"
#include "kmsim/portcls.h"
#include "kmsim/simulation.h"
#include "kmsim/verifier.h"
#include "streaming_world.h"

namespace {

using enginetest::SleepMs;
using enginetest::StreamingDevice;


TEST(EngineUnplug, UnplugWhileBothDirectionsRunEndsThePipelinesAndReturnsEverything) {
    kerneltest::DriverWorld world;
    {
        StreamingDevice streaming(world, enginetest::RunOf("q7-0b31", 48000));
        ASSERT_EQ(streaming.Start(), STATUS_SUCCESS);
        streaming.AttachClients();
        // A moment within the first 200 ms, and within a bus frame, from the seed.
        const uint64_t seed = kmsim::Seed();
        SleepMs(static_cast<LONG64>(seed * 7919 % 200));
        LARGE_INTEGER within;
        within.QuadPart = -static_cast<LONGLONG>(seed % 10) * 1000;
        KeDelayExecutionThread(KernelMode, FALSE, &within);
        const vq7::DeviceExtension* extension = vq7::ExtensionOf(world.FunctionalDevice(streaming.Pdo()));
        world.Bus().Unplug(streaming.Pdo());
        SleepMs(20);
        EXPECT_EQ(extension->DeviceFailed, 1u) << "a transfer saw the device gone";
        EXPECT_TRUE(streaming.Adapter().Statistics().failedCompletions > 0);
        streaming.DetachClients();
        // The removal stops both uses; the destructor of StreamingDevice waits for it.
    }
    EXPECT_FALSE(world.Pnp().DriverLoaded());
    EXPECT_EQ(kmsim::OutstandingAllocations(kmsim::PoolTag("USBA")), 0u);
    EXPECT_EQ(kmsim::OutstandingAllocations(kmsim::PoolTag("PcCr")), 0u);
    EXPECT_EQ(kmsim::LiveComObjects(), 0u);
}

}  // namespace
