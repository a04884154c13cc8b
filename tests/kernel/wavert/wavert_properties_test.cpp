// The WaveRT filter's properties on a started Q7, called as PortCls calls
// them from the description's automation tables: the component id, the
// volume and mute nodes through the audio control cache (with the level
// rounding, the master-only channel rule and the value sizes), and their
// basic-support answers at every buffer size.

#include <gtest/gtest.h>

#include <ksmedia.h>

#include <cstring>
#include <vector>

#include "driver_world.h"
#include "entity_feature_unit.h"
#include "filter_description.h"
#include "km_time.h"
#include "simusb/request_log.h"
#include "wavert/minwavert.h"

namespace {

namespace match = simusb::match;

constexpr UCHAR kQ7Unit = 10;  // the Q7's feature unit: master mute and volume
constexpr UCHAR kVolumeControl = 2;
constexpr LONG kSilence = static_cast<LONG>(0x80000000);
constexpr ULONG kNoNode = 0xFFFFFFFF;

class WaveRtPropertiesTest : public testing::Test {
protected:
    void SetUp() override {
        q7_ = world_.Start("q7-0b31");
        adapter_ = world_.Adapter(q7_.pdo);
        ASSERT_NE(adapter_, nullptr);
        sink_ = adapter_->ReferenceMiniport();
        ASSERT_NE(sink_, nullptr);
        miniport_ = static_cast<CMiniportWaveRT*>(sink_);
        ExSetTimerResolution(10000, TRUE);
    }
    void TearDown() override {
        if (sink_ != nullptr) sink_->Release();
        world_.UnplugAndWait(q7_.pdo);
    }
    const FilterDescriptionBlock& Block() const { return miniport_->Description(); }
    ULONG NodeOf(const GUID& type) const {
        for (ULONG i = 0; i < Block().descriptor.NodeCount; ++i) {
            const GUID* t = vq7::FilterNodes(Block())[i].node.Type;
            if (t != nullptr && IsEqualGUID(*t, type)) return i;
        }
        ADD_FAILURE() << "no such node";
        return 0;
    }
    // A request for the node's one property (or the filter's `item`).
    struct Request {
        PCPROPERTY_REQUEST pc = {};
        ULONG channel = 0;
        std::vector<UCHAR> value;
        NTSTATUS Send() { return pc.PropertyItem->Handler(&pc); }
        LONG Level() const {
            LONG v;
            std::memcpy(&v, value.data(), sizeof v);
            return v;
        }
    };
    Request At(const PCPROPERTY_ITEM* item, ULONG node, ULONG verb, ULONG valueBytes, LONG initial = 0) {
        Request r;
        r.value.assign(valueBytes, 0xEE);
        if (valueBytes >= sizeof(LONG)) std::memcpy(r.value.data(), &initial, sizeof initial);
        r.pc.MajorTarget = static_cast<IMiniportWaveRT*>(miniport_);
        r.pc.Node = node;
        r.pc.PropertyItem = item;
        r.pc.Verb = verb;
        r.pc.InstanceSize = sizeof r.channel;
        r.pc.Instance = &r.channel;
        r.pc.ValueSize = valueBytes;
        r.pc.Value = valueBytes != 0 ? r.value.data() : nullptr;
        return r;
    }
    Request Node(const GUID& type, ULONG verb, ULONG valueBytes = 4, LONG initial = 0) {
        const ULONG node = NodeOf(type);
        return At(&vq7::FilterNodes(Block())[node].node.AutomationTable->Properties[0], node, verb, valueBytes,
                  initial);
    }
    // The re-anchoring requests need a pointer to the request's own channel.
    static NTSTATUS Send(Request& r) {
        r.pc.Instance = &r.channel;
        if (r.pc.Value != nullptr) r.pc.Value = r.value.data();
        return r.Send();
    }
    size_t VolumeWrites() {
        size_t n = 0;
        world_.Bus().WithDevice(q7_.pdo, [&](simusb::Device& device) {
            n = static_cast<simusb::AudioDevice&>(device).Requests().Count(match::SetCur(kQ7Unit, kVolumeControl));
        });
        return n;
    }

    kerneltest::DriverWorld world_;
    kerneltest::PluggedDevice q7_;
    CUSBAudioAdapter* adapter_ = nullptr;
    IMiniportEngineSink* sink_ = nullptr;
    CMiniportWaveRT* miniport_ = nullptr;
};

TEST_F(WaveRtPropertiesTest, TheComponentIdNeedsExactly72BytesAndBasicSupportShrinksWithTheBuffer) {
    const PCAUTOMATION_TABLE* table = Block().descriptor.AutomationTable;
    ASSERT_NE(table, nullptr);
    const PCPROPERTY_ITEM* item = &table->Properties[0];
    Request get = At(item, kNoNode, KSPROPERTY_TYPE_GET, sizeof(KSCOMPONENTID));
    ASSERT_EQ(Send(get), STATUS_SUCCESS);
    KSCOMPONENTID id;
    std::memcpy(&id, get.value.data(), sizeof id);
    const GUID manufacturer = {0xD5A47FA8, 0x6D98, 0x11D1, {0xA2, 0x1A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
    const GUID product = {0xF112C59D, 0x2E77, 0x461F, {0xAB, 0x67, 0xEB, 0x40, 0xF6, 0x9F, 0xDB, 0x01}};
    const GUID name = {0x6EEEF56F, 0xB185, 0x4825, {0x91, 0x83, 0x38, 0x2D, 0x34, 0x88, 0x62, 0x36}};
    EXPECT_TRUE(IsEqualGUID(id.Manufacturer, manufacturer));
    EXPECT_TRUE(IsEqualGUID(id.Product, product));
    EXPECT_TRUE(IsEqualGUID(id.Component, GUID{}));
    EXPECT_TRUE(IsEqualGUID(id.Name, name));
    EXPECT_EQ(id.Version, 1u);
    EXPECT_EQ(id.Revision, 0u);
    EXPECT_EQ(get.pc.ValueSize, 72u);
    Request small = At(item, kNoNode, KSPROPERTY_TYPE_GET, 40);
    EXPECT_EQ(Send(small), STATUS_INVALID_PARAMETER);

    Request basic = At(item, kNoNode, KSPROPERTY_TYPE_BASICSUPPORT, 64);
    ASSERT_EQ(Send(basic), STATUS_SUCCESS);
    EXPECT_EQ(basic.pc.ValueSize, 40u);
    KSPROPERTY_DESCRIPTION description;
    std::memcpy(&description, basic.value.data(), sizeof description);
    EXPECT_EQ(description.AccessFlags, 0x201u);
    EXPECT_EQ(description.DescriptionSize, 40u);
    EXPECT_TRUE(IsEqualGUID(description.PropTypeSet.Set, GUID{}));
    EXPECT_EQ(description.MembersListCount, 0u);
    Request flags = At(item, kNoNode, KSPROPERTY_TYPE_BASICSUPPORT, 20);
    ASSERT_EQ(Send(flags), STATUS_SUCCESS);
    EXPECT_EQ(flags.pc.ValueSize, 4u);
    EXPECT_EQ(flags.value[4], 0xEE);  // nothing past the flags
    Request tiny = At(item, kNoNode, KSPROPERTY_TYPE_BASICSUPPORT, 3);
    EXPECT_EQ(Send(tiny), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tiny.pc.ValueSize, 0u);
}

TEST_F(WaveRtPropertiesTest, VolumeLevelsAreRoundedToTheStepHeldInTheRangeAndWrittenByTheWorker) {
    Request basic = Node(KSNODETYPE_VOLUME, KSPROPERTY_TYPE_BASICSUPPORT, 72);
    ASSERT_EQ(Send(basic), STATUS_SUCCESS);
    ASSERT_EQ(basic.pc.ValueSize, 72u);
    KSPROPERTY_DESCRIPTION description;
    KSPROPERTY_MEMBERSHEADER members;
    KSPROPERTY_STEPPING_LONG range;
    std::memcpy(&description, basic.value.data(), sizeof description);
    std::memcpy(&members, basic.value.data() + 40, sizeof members);
    std::memcpy(&range, basic.value.data() + 56, sizeof range);
    EXPECT_EQ(description.AccessFlags, 0x203u);
    EXPECT_EQ(description.DescriptionSize, 72u);
    EXPECT_TRUE(IsEqualGUID(description.PropTypeSet.Set, KSPROPTYPESETID_General));
    EXPECT_EQ(description.PropTypeSet.Id, static_cast<ULONG>(VT_I4));
    EXPECT_EQ(description.MembersListCount, 1u);
    EXPECT_EQ(members.MembersFlags, static_cast<ULONG>(KSPROPERTY_MEMBER_STEPPEDRANGES));
    EXPECT_EQ(members.MembersSize, 16u);
    EXPECT_EQ(members.MembersCount, 1u);
    EXPECT_EQ(members.Flags, 6u);
    const ULONG step = range.SteppingDelta;
    const LONG minimum = range.Bounds.SignedMinimum;
    const LONG maximum = range.Bounds.SignedMaximum;
    ASSERT_GT(step, 3u);
    ASSERT_LT(minimum, -static_cast<LONG>(step) * 4);
    ASSERT_GE(maximum, 0);

    auto set = [&](LONG level) {
        Request r = Node(KSNODETYPE_VOLUME, KSPROPERTY_TYPE_SET, 4, level);
        EXPECT_EQ(Send(r), STATUS_SUCCESS);
        Request g = Node(KSNODETYPE_VOLUME, KSPROPERTY_TYPE_GET, 4);
        EXPECT_EQ(Send(g), STATUS_SUCCESS);
        EXPECT_EQ(g.pc.ValueSize, 4u);
        return g.Level();
    };
    const LONG multiple = -2 * static_cast<LONG>(step);
    EXPECT_EQ(set(multiple - static_cast<LONG>(step) / 3), multiple);  // a third of a step below: to the multiple
    EXPECT_EQ(set(multiple + static_cast<LONG>(step) / 3), multiple);
    EXPECT_EQ(set(multiple - static_cast<LONG>(step) * 2 / 3), multiple - static_cast<LONG>(step));
    EXPECT_EQ(set(minimum - 5 * static_cast<LONG>(step)), minimum);
    EXPECT_EQ(set(maximum + 5 * static_cast<LONG>(step)), maximum);
    EXPECT_EQ(set(kSilence), kSilence);  // minus infinity passes unclamped
    for (int i = 0; i < 100 && VolumeWrites() < 1; ++i) kmtest::SleepMs(1);
    EXPECT_GE(VolumeWrites(), 1u);  // the worker reached the device's feature unit

    // Only the master channel; the range is the master's whatever the channel.
    Request other = Node(KSNODETYPE_VOLUME, KSPROPERTY_TYPE_GET, 4);
    other.channel = 1;
    EXPECT_EQ(Send(other), STATUS_NOT_SUPPORTED);
    Request otherBasic = Node(KSNODETYPE_VOLUME, KSPROPERTY_TYPE_BASICSUPPORT, 72);
    otherBasic.channel = 1;
    ASSERT_EQ(Send(otherBasic), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(otherBasic.value.data() + 56, basic.value.data() + 56, 16), 0);
}

TEST_F(WaveRtPropertiesTest, NodeValuesAreOneU32AndEveryOtherShapeIsRefused) {
    Request empty = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_GET, 0);
    EXPECT_EQ(Send(empty), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(empty.pc.ValueSize, 4u);
    Request small = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_GET, 2);
    EXPECT_EQ(Send(small), STATUS_BUFFER_TOO_SMALL);
    Request large = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_SET, 8);
    EXPECT_EQ(Send(large), STATUS_UNSUCCESSFUL);
    Request noInstance = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_GET, 4);
    noInstance.pc.InstanceSize = 0;
    EXPECT_EQ(Send(noInstance), STATUS_BUFFER_TOO_SMALL);
    Request filterLevel = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_GET, 4);
    filterLevel.pc.Node = kNoNode;
    EXPECT_EQ(Send(filterLevel), STATUS_UNSUCCESSFUL);
    Request unknownNode = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_BASICSUPPORT, 72);
    unknownNode.pc.Node = Block().descriptor.NodeCount;
    EXPECT_EQ(Send(unknownNode), STATUS_UNSUCCESSFUL);
    Request converter = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_BASICSUPPORT, 72);
    converter.pc.Node = NodeOf(KSNODETYPE_DAC);  // no feature unit behind it
    EXPECT_EQ(Send(converter), STATUS_UNSUCCESSFUL);

    Request mute = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_SET, 4, 5);
    ASSERT_EQ(Send(mute), STATUS_SUCCESS);
    Request read = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_GET, 4);
    ASSERT_EQ(Send(read), STATUS_SUCCESS);
    EXPECT_EQ(read.Level(), 1);
    Request unmute = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_SET, 4, 0);
    ASSERT_EQ(Send(unmute), STATUS_SUCCESS);
    ASSERT_EQ(Send(read), STATUS_SUCCESS);
    EXPECT_EQ(read.Level(), 0);
    Request channelOne = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_SET, 4, 1);
    channelOne.channel = 1;
    EXPECT_EQ(Send(channelOne), STATUS_NOT_SUPPORTED);
}

TEST_F(WaveRtPropertiesTest, MuteBasicSupportTellsTheSteppingOnlyForAUnitWithChannelsBesidesTheMaster) {
    const ULONG node = NodeOf(KSNODETYPE_MUTE);
    CUSBAudioEntity* entity = vq7::FilterNodes(Block())[node].entity;
    ASSERT_NE(entity, nullptr);
    const bool channels = entity->AsFeatureUnit()->GetChannelCount() >= 2;
    for (ULONG bytes : {72u, 100u, 56u, 40u, 20u, 4u, 3u}) {
        Request basic = Node(KSNODETYPE_MUTE, KSPROPERTY_TYPE_BASICSUPPORT, bytes);
        const NTSTATUS expected = bytes < 4 ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
        ASSERT_EQ(Send(basic), expected) << bytes;
        const ULONG written = bytes >= 72 ? 72 : bytes >= 40 ? 40 : bytes >= 4 ? 4 : 0;
        EXPECT_EQ(basic.pc.ValueSize, written) << bytes;
        for (ULONG i = written; i < bytes; ++i) ASSERT_EQ(basic.value[i], 0xEE) << bytes << " " << i;
        if (written == 72) {
            KSPROPERTY_DESCRIPTION description;
            std::memcpy(&description, basic.value.data(), sizeof description);
            EXPECT_EQ(description.PropTypeSet.Id, static_cast<ULONG>(VT_BOOL));
            KSPROPERTY_STEPPING_LONG range;
            std::memcpy(&range, basic.value.data() + 56, sizeof range);
            if (channels) {
                EXPECT_EQ(range.SteppingDelta, 1u);
                EXPECT_EQ(range.Reserved, 0u);
                EXPECT_EQ(range.Bounds.SignedMinimum, 0);
                EXPECT_EQ(range.Bounds.SignedMaximum, 1);
            } else {
                EXPECT_EQ(range.SteppingDelta, 0xEEEEEEEEu);  // not written
            }
        }
    }
}

}  // namespace
