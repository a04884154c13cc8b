// The audio control cache against simulated feature units: the master
// volume cached and written by the worker, the other nodes on the device at
// once, the channel rule, the unit conversions, the retry limit and the
// worker's lifetime, as the device's request log shows them.

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "class_layer_world.h"
#include "descriptor_edits.h"
#include "engine/audio_control_cache.h"
#include "km_time.h"
#include "kmsim/verifier.h"
#include "simusb/reply_faults.h"
#include "simusb/request_log.h"

namespace {

using kerneltest::ClassLayerWorld;
namespace match = simusb::match;

constexpr UCHAR kQ7Unit = 10;  // "q7-0b31": master mute and volume
constexpr UCHAR kMuteControl = 1;
constexpr UCHAR kVolumeControl = 2;
constexpr LONG kSilence = static_cast<LONG>(0x80000000);

// A started device, its filter description and a cache (bound by the test).
struct CacheWorld {
    explicit CacheWorld(std::shared_ptr<simusb::AudioDevice> device)
        : world(std::make_unique<ClassLayerWorld>(std::move(device))) {
        EXPECT_EQ(world->StartAndConfigure(), STATUS_SUCCESS);
        ExSetTimerResolution(10000, TRUE);
        EXPECT_EQ(world->Layer().BuildFilterDescriptor(&block), STATUS_SUCCESS);
        cache = std::make_unique<vq7::AudioControlCache>();
    }
    explicit CacheWorld(const char* readyMade) : CacheWorld(kerneltest::ReadyMadeDevice(readyMade)) {}
    ~CacheWorld() {
        cache.reset();
        CUSBAudioCL::FreeFilterDescriptor(&block);
    }

    // The first node of `type`.
    ULONG NodeOf(const GUID& type) const {
        for (ULONG i = 0; i < block.descriptor.NodeCount; ++i) {
            const GUID* t = vq7::FilterNodes(block)[i].node.Type;
            if (t != nullptr && IsEqualGUID(*t, type)) return i;
        }
        ADD_FAILURE() << "no such node";
        return 0;
    }
    size_t Count(const simusb::RequestMatch& m) { return world->Device().Requests().Count(m); }
    // Lets the worker run until `done` holds, for at most `ms` of simulated time.
    bool WaitFor(const std::function<bool()>& done, int ms = 200) {
        for (int i = 0; i < ms && !done(); ++i) {
            kmtest::SleepMs(1);
        }
        return done();
    }

    std::unique_ptr<ClassLayerWorld> world;
    FilterDescriptionBlock block{};
    std::unique_ptr<vq7::AudioControlCache> cache;
};

TEST(AudioControlCache, MasterVolumeIsReadFromTheCacheAndWrittenByTheWorker) {
    CacheWorld w("q7-0b31");
    ASSERT_EQ(w.cache->Bind(&w.block), STATUS_SUCCESS);
    const ULONG volume = w.NodeOf(KSNODETYPE_VOLUME);
    EXPECT_EQ(w.Count(match::GetRange(kQ7Unit, kVolumeControl)), 1u);
    EXPECT_EQ(w.Count(match::GetCur(kQ7Unit, kVolumeControl)), 1u);

    LONG minimum = 0, maximum = 0;
    ULONG step = 0;
    ASSERT_EQ(w.cache->GetVolumeRange(volume, 5, &minimum, &maximum, &step), STATUS_SUCCESS);  // any channel
    EXPECT_LT(minimum, maximum);
    EXPECT_EQ(step % 256, 0u);

    const LONG level = -6 * 65536;
    ASSERT_EQ(w.cache->SetVolume(volume, 0, level), STATUS_SUCCESS);
    LONG read = 0;
    ASSERT_EQ(w.cache->GetVolume(volume, 0, &read), STATUS_SUCCESS);
    EXPECT_EQ(read, level);  // before the device has it, too
    ASSERT_TRUE(w.WaitFor([&] { return w.Count(match::SetCur(kQ7Unit, kVolumeControl)) == 1; }));
    const simusb::LoggedRequest* sent = w.world->Device().Requests().Last(match::SetCur(kQ7Unit, kVolumeControl));
    ASSERT_NE(sent, nullptr);
    ASSERT_EQ(sent->outData.size(), 2u);
    EXPECT_EQ(static_cast<int16_t>(sent->outData[0] | sent->outData[1] << 8), -6 * 256);
    EXPECT_EQ(w.Count(match::GetCur(kQ7Unit, kVolumeControl)), 1u);  // reads never reached the device

    // The same value again sends nothing.
    ASSERT_EQ(w.cache->SetVolume(volume, 0, level), STATUS_SUCCESS);
    kmtest::SleepMs(50);
    EXPECT_EQ(w.Count(match::SetCur(kQ7Unit, kVolumeControl)), 1u);

    // Silence goes to the device as 0x8000.
    ASSERT_EQ(w.cache->SetVolume(volume, 0, kSilence), STATUS_SUCCESS);
    ASSERT_TRUE(w.WaitFor([&] { return w.Count(match::SetCur(kQ7Unit, kVolumeControl)) == 2; }));
    sent = w.world->Device().Requests().Last(match::SetCur(kQ7Unit, kVolumeControl));
    EXPECT_EQ(sent->outData, (std::vector<uint8_t>{0x00, 0x80}));
}

TEST(AudioControlCache, OtherChannelsAreRefusedAndMuteGoesToTheDeviceAtOnce) {
    CacheWorld w("q7-0b31");
    ASSERT_EQ(w.cache->Bind(&w.block), STATUS_SUCCESS);
    const ULONG volume = w.NodeOf(KSNODETYPE_VOLUME);
    const ULONG mute = w.NodeOf(KSNODETYPE_MUTE);
    LONG level = 0;
    ULONG muted = 0;
    EXPECT_EQ(w.cache->GetVolume(volume, 1, &level), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(w.cache->SetVolume(volume, 1, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(w.cache->GetMute(mute, 1, &muted), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(w.cache->SetMute(mute, 1, 1), STATUS_NOT_SUPPORTED);

    ASSERT_EQ(w.cache->SetMute(mute, 0, 7), STATUS_SUCCESS);
    EXPECT_EQ(w.Count(match::SetCur(kQ7Unit, kMuteControl)), 1u);  // no worker in between
    EXPECT_EQ(w.world->Device().Requests().Last(match::SetCur(kQ7Unit, kMuteControl))->outData,
              (std::vector<uint8_t>{1}));
    ASSERT_EQ(w.cache->GetMute(mute, 0, &muted), STATUS_SUCCESS);
    EXPECT_EQ(muted, 1u);
    EXPECT_EQ(w.Count(match::GetCur(kQ7Unit, kMuteControl)), 1u);

    // Nodes that are no volume or mute node, or do not exist.
    const ULONG dac = w.NodeOf(KSNODETYPE_DAC);
    EXPECT_EQ(w.cache->GetVolume(dac, 0, &level), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(w.cache->GetMute(1000, 0, &muted), STATUS_INVALID_PARAMETER);
}

TEST(AudioControlCache, UnitConversionsKeepSilence) {
    EXPECT_EQ(vq7::AudioControlCache::ToPropertyVolume(static_cast<SHORT>(0x8000)), kSilence);
    EXPECT_EQ(vq7::AudioControlCache::ToPropertyVolume(-256), -65536);
    EXPECT_EQ(vq7::AudioControlCache::ToDeviceVolume(kSilence), static_cast<SHORT>(0x8000));
    EXPECT_EQ(vq7::AudioControlCache::ToDeviceVolume(-3 * 65536), -3 * 256);
}

TEST(AudioControlCache, WorkerGivesUpAfterTenFailedWrites) {
    CacheWorld w("q7-0b31");
    w.world->Device().Faults().Add(simusb::StallRequest(match::SetCur(kQ7Unit, kVolumeControl)));
    ASSERT_EQ(w.cache->Bind(&w.block), STATUS_SUCCESS);
    const ULONG volume = w.NodeOf(KSNODETYPE_VOLUME);
    ASSERT_EQ(w.cache->SetVolume(volume, 0, -65536), STATUS_SUCCESS);
    ASSERT_TRUE(w.WaitFor([&] { return w.Count(match::SetCur(kQ7Unit, kVolumeControl)) >= 10; }));
    kmtest::SleepMs(50);
    EXPECT_EQ(w.Count(match::SetCur(kQ7Unit, kVolumeControl)), 10u);
    // The worker has ended: later changes stay in the cache.
    ASSERT_EQ(w.cache->SetVolume(volume, 0, -2 * 65536), STATUS_SUCCESS);
    kmtest::SleepMs(50);
    EXPECT_EQ(w.Count(match::SetCur(kQ7Unit, kVolumeControl)), 10u);
    LONG level = 0;
    ASSERT_EQ(w.cache->GetVolume(volume, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -2 * 65536);
    // A new bind starts a new worker.
    ASSERT_EQ(w.cache->Bind(&w.block), STATUS_SUCCESS);
    EXPECT_EQ(w.cache->SetVolume(volume, 0, -3 * 65536), STATUS_SUCCESS);
    // The new worker may write the cached value and the new one, or only the new one.
    ASSERT_TRUE(w.WaitFor([&] { return w.Count(match::SetCur(kQ7Unit, kVolumeControl)) >= 11; }));
}

TEST(AudioControlCache, ADeviceThatStallsVolumeReadsFailsTheBind) {
    CacheWorld w("q7-0b31");
    w.world->Device().Faults().Add(simusb::StallRequest(match::GetRange(kQ7Unit, kVolumeControl)));
    EXPECT_FALSE(NT_SUCCESS(w.cache->Bind(&w.block)));
    LONG level = 0;
    EXPECT_EQ(w.cache->GetVolume(w.NodeOf(KSNODETYPE_VOLUME), 0, &level), STATUS_INVALID_PARAMETER);  // unbound
    w.cache->Unbind();
}

TEST(AudioControlCache, UnbindEndsTheWorkerAndForgetsTheNodes) {
    CacheWorld w("q7-0b31");
    EXPECT_EQ(w.cache->Bind(nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(w.cache->Bind(&w.block), STATUS_SUCCESS);
    const ULONG volume = w.NodeOf(KSNODETYPE_VOLUME);
    w.cache->Unbind();
    LONG level = 0;
    EXPECT_EQ(w.cache->GetVolume(volume, 0, &level), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(w.cache->SetVolume(volume, 0, 0), STATUS_INVALID_PARAMETER);
    w.cache->Unbind();  // twice is harmless
}

TEST(AudioControlCache, AWorkerThatCannotStartFailsTheBind) {
    CacheWorld w("q7-0b31");
    kmsim::FailNthAllocation(1);  // the system thread
    NTSTATUS status = w.cache->Bind(&w.block);
    kmsim::ClearAllocationFailures();
    EXPECT_FALSE(NT_SUCCESS(status));
    LONG level = 0;
    EXPECT_EQ(w.cache->GetVolume(w.NodeOf(KSNODETYPE_VOLUME), 0, &level), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(w.cache->Bind(&w.block), STATUS_SUCCESS);
}

// The Q7 with a second feature unit between the line inputs and the host.
std::shared_ptr<simusb::AudioDevice> Q7WithCaptureVolume() {
    simusb::AudioDescription d = kerneltest::DescriptionOf("q7-0b31");
    simusb::desc::FeatureUnit unit = d.featureUnits.at(0);
    unit.id = 11;
    unit.source = 3;
    unit.channels.resize(5);
    d.featureUnits.push_back(unit);
    for (simusb::desc::Terminal& t : d.terminals) {
        if (t.id == 4) t.source = 11;
    }
    return simusb::MakeAudioDevice(d);
}

TEST(AudioControlCache, ASecondVolumeNodeGoesToTheDeviceDirectly) {
    CacheWorld w(Q7WithCaptureVolume());
    ASSERT_EQ(w.cache->Bind(&w.block), STATUS_SUCCESS);
    ULONG second = 0;
    ULONG seen = 0;
    for (ULONG i = 0; i < w.block.descriptor.NodeCount; ++i) {
        const GUID* t = vq7::FilterNodes(w.block)[i].node.Type;
        if (t != nullptr && IsEqualGUID(*t, KSNODETYPE_VOLUME) && ++seen == 2) second = i;
    }
    ASSERT_EQ(seen, 2u);
    EXPECT_EQ(vq7::FilterNodes(w.block)[second].entity->GetID(), 11);
    EXPECT_EQ(w.Count(match::GetCur(11, kVolumeControl)), 0u);  // only the master was read at bind
    LONG level = 0;
    ASSERT_EQ(w.cache->GetVolume(second, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(w.Count(match::GetCur(11, kVolumeControl)), 1u);
    ASSERT_EQ(w.cache->SetVolume(second, 0, -65536), STATUS_SUCCESS);
    EXPECT_EQ(w.Count(match::SetCur(11, kVolumeControl)), 1u);  // at once, in the caller's thread
    LONG minimum = 0, maximum = 0;
    ULONG step = 0;
    ASSERT_EQ(w.cache->GetVolumeRange(second, 3, &minimum, &maximum, &step), STATUS_SUCCESS);
    EXPECT_EQ(w.Count(match::GetRange(11, kVolumeControl)), 1u);
}

// The Q7 without its feature unit.
std::shared_ptr<simusb::AudioDevice> Q7WithoutControls() {
    simusb::AudioDescription d = kerneltest::DescriptionOf("q7-0b31");
    d.featureUnits.clear();
    for (simusb::desc::Terminal& t : d.terminals) {
        if (t.id == 2) t.source = 1;
    }
    return simusb::MakeAudioDevice(d);
}

TEST(AudioControlCache, AFilterWithoutVolumeNodesBindsWithoutAMaster) {
    CacheWorld w(Q7WithoutControls());
    ASSERT_EQ(w.cache->Bind(&w.block), STATUS_SUCCESS);
    LONG level = 0;
    EXPECT_EQ(w.cache->GetVolume(0, 0, &level), STATUS_INVALID_PARAMETER);
}

}  // namespace
