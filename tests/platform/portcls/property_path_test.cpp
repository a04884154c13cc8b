// The KS property path on the Q7's filter: PortCls's size negotiation
// before a handler runs, basic support (the miniport's handler when its
// item declares it, PortCls's access flags otherwise), unknown sets and
// ids, the pin and topology sets, and node properties reaching the node's
// handler with the request's instance.

#include <cstring>

#include "ks_world.h"
#include "audio_range_requests.h"

namespace portcls_test {
namespace {

using PropertyPathTest = KsWorldTest;

KSPROPERTY Make(const GUID& set, ULONG id, ULONG flags) {
    KSPROPERTY property = {};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

TEST_F(PropertyPathTest, AValueTooSmallIsToldItsSizeFirst) {
    KSPROPERTY ctypes = Make(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET);
    Answer size = Property(filter_, &ctypes, sizeof ctypes, nullptr, 0);
    EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size.information, sizeof(ULONG));
    UCHAR two[2] = {0xAA, 0xAA};
    Answer tooSmall = Property(filter_, &ctypes, sizeof ctypes, two, sizeof two);
    EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.information, 0u);
    EXPECT_EQ(two[0], 0xAA);  // nothing written
    EXPECT_EQ(Property(filter_, &ctypes, sizeof ctypes - 1, two, sizeof two).status, STATUS_INVALID_BUFFER_SIZE);
    // A pin request needs its KSP_PIN.
    KSPROPERTY flow = Make(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET);
    ULONG value = 0;
    EXPECT_EQ(Property(filter_, &flow, sizeof flow, &value, sizeof value).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(GetPin(999, KSPROPERTY_PIN_DATAFLOW, &value, sizeof value).status, STATUS_INVALID_PARAMETER);
}

TEST_F(PropertyPathTest, ListsAreSizedThenReadWholeWithEveryEntryAligned) {
    ULONG render = StreamingPin(false);
    KSP_PIN ranges = {};
    ranges.Property = Make(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET);
    ranges.PinId = render;
    std::vector<UCHAR> list = GetList(filter_, &ranges, sizeof ranges);
    ASSERT_GE(list.size(), sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO));
    KSMULTIPLE_ITEM header;
    memcpy(&header, list.data(), sizeof header);
    EXPECT_EQ(header.Size, list.size());
    ASSERT_GE(header.Count, 1u);
    ULONG offset = sizeof header;
    for (ULONG i = 0; i < header.Count; ++i) {
        ULONG size;
        memcpy(&size, list.data() + offset, sizeof size);
        ASSERT_GE(size, sizeof(KSMULTIPLE_ITEM));
        offset += (size + 7) & ~7u;
    }
    EXPECT_EQ(offset, list.size());
    const auto* first = reinterpret_cast<const KSDATARANGE_AUDIO*>(list.data() + sizeof header);
    EXPECT_TRUE(IsEqualGUID(first->DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));

    KSPROPERTY categories = Make(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, KSPROPERTY_TYPE_GET);
    std::vector<UCHAR> guids = GetList(filter_, &categories, sizeof categories);
    bool audio = false;
    for (size_t at = sizeof(KSMULTIPLE_ITEM); at + sizeof(GUID) <= guids.size(); at += sizeof(GUID)) {
        audio |= IsEqualGUID(*reinterpret_cast<const GUID*>(guids.data() + at), KSCATEGORY_AUDIO);
    }
    EXPECT_TRUE(audio);
    KSPROPERTY connections = Make(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, KSPROPERTY_TYPE_GET);
    std::vector<UCHAR> links = GetList(filter_, &connections, sizeof connections);
    EXPECT_EQ((links.size() - sizeof(KSMULTIPLE_ITEM)) % sizeof(KSTOPOLOGY_CONNECTION), 0u);
    EXPECT_GT(links.size(), sizeof(KSMULTIPLE_ITEM));
}

TEST_F(PropertyPathTest, BasicSupportComesFromTheHandlerOnlyWhenItsItemDeclaresIt) {
    // PortCls's own item: its access flags, as much as the buffer holds.
    KSPROPERTY ctypes = Make(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_BASICSUPPORT);
    KSPROPERTY_DESCRIPTION description = {};
    Answer full = Property(filter_, &ctypes, sizeof ctypes, &description, sizeof description);
    ASSERT_EQ(full.status, STATUS_SUCCESS);
    EXPECT_EQ(full.information, sizeof description);
    EXPECT_EQ(description.AccessFlags, ULONG(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT));
    ULONG access = 0;
    Answer flags = Property(filter_, &ctypes, sizeof ctypes, &access, sizeof access);
    EXPECT_EQ(flags.information, sizeof access);
    EXPECT_EQ(access, description.AccessFlags);
    EXPECT_EQ(Property(filter_, &ctypes, sizeof ctypes, nullptr, 0).information, sizeof description);
    // The miniport's component id declares basic support: its handler answers.
    KSPROPERTY component = Make(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_BASICSUPPORT);
    KSPROPERTY_DESCRIPTION fromHandler = {};
    Answer handler = Property(filter_, &component, sizeof component, &fromHandler, sizeof fromHandler);
    ASSERT_EQ(handler.status, STATUS_SUCCESS);
    EXPECT_EQ(fromHandler.AccessFlags, ULONG(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT));
    EXPECT_EQ(fromHandler.PropTypeSet.Id, 0u);  // the handler's own answer, not PortCls's VT_ILLEGAL
    // And GET goes to it with the caller's size.
    KSPROPERTY get = Make(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_GET);
    KSCOMPONENTID id = {};
    Answer read = Property(filter_, &get, sizeof get, &id, sizeof id);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, sizeof id);
    EXPECT_EQ(id.Version, 1u);
    KSPROPERTY set = Make(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_SET);
    EXPECT_EQ(Property(filter_, &set, sizeof set, &id, sizeof id).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(PropertyPathTest, UnknownSetsIdsAndVerbsAreRefused) {
    constexpr GUID kNoSuchSet = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    ULONG value = 0;
    KSPROPERTY unknownSet = Make(kNoSuchSet, 0, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(Property(filter_, &unknownSet, sizeof unknownSet, &value, sizeof value).status, STATUS_NOT_FOUND);
    KSPROPERTY unknownId = Make(KSPROPSETID_Pin, 99, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(Property(filter_, &unknownId, sizeof unknownId, &value, sizeof value).status, STATUS_NOT_FOUND);
    KSPROPERTY twoVerbs = Make(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
    EXPECT_EQ(Property(filter_, &twoVerbs, sizeof twoVerbs, &value, sizeof value).status, STATUS_INVALID_PARAMETER);
    KSPROPERTY setCTypes = Make(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_SET);
    EXPECT_EQ(Property(filter_, &setCTypes, sizeof setCTypes, &value, sizeof value).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(client_.DeviceIoControl(filter_, IOCTL_KS_METHOD, &unknownSet, sizeof unknownSet, &value, sizeof value,
                                      static_cast<ULONG*>(nullptr)),
              STATUS_INVALID_DEVICE_REQUEST);
}

// KSNODEPROPERTY_AUDIO_CHANNEL: the node request and the channel.
struct ChannelRequest {
    KSNODEPROPERTY node;
    LONG channel;
    ULONG reserved;
};

TEST_F(PropertyPathTest, NodePropertiesReachTheNodesHandlerWithTheirChannel) {
    KSPROPERTY nodes = Make(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, KSPROPERTY_TYPE_GET);
    std::vector<UCHAR> list = GetList(filter_, &nodes, sizeof nodes);
    ULONG count = reinterpret_cast<const KSMULTIPLE_ITEM*>(list.data())->Count;
    ASSERT_GT(count, 0u);
    ChannelRequest request = {};
    request.node.Property = Make(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY);
    ULONG volumeNodes = 0;
    for (ULONG node = 0; node < count; ++node) {
        request.node.NodeId = node;
        LONG level = 0x12345678;
        Answer answer = Property(filter_, &request, sizeof request, &level, sizeof level);
        if (answer.status == STATUS_NOT_FOUND) continue;  // not a volume node
        ++volumeNodes;
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        EXPECT_EQ(answer.information, sizeof level);
        EXPECT_NE(level, 0x12345678);
        Answer size = Property(filter_, &request, sizeof request, nullptr, 0);  // the handler tells its size
        EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(size.information, sizeof level);
    }
    EXPECT_GT(volumeNodes, 0u);
    request.node.NodeId = count;
    LONG level = 0;
    EXPECT_EQ(Property(filter_, &request, sizeof request, &level, sizeof level).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Property(filter_, &request, sizeof(KSPROPERTY), &level, sizeof level).status, STATUS_INVALID_BUFFER_SIZE);
}

TEST_F(PropertyPathTest, AnIntersectionNoRangeMeetsIsNoMatch) {
    kmtest::IntersectionRequest request =
        kmtest::Intersection(StreamingPin(false), kmtest::PcmRange(32, 8, 32, 1, 768000));
    request.range.DataRange.MajorFormat = KSDATAFORMAT_SUBTYPE_ANALOG;  // not audio: no range of the pin meets it
    UCHAR format[128];
    EXPECT_EQ(Property(filter_, &request, sizeof request, format, sizeof format).status, STATUS_NO_MATCH);
    request.range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    Answer size = Property(filter_, &request, sizeof request, nullptr, 0);
    EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
    Answer read = Property(filter_, &request, sizeof request, format, sizeof format);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, size.information);
    request.list.Size = 4096;  // claims more than was sent
    EXPECT_EQ(Property(filter_, &request, sizeof request, format, sizeof format).status, STATUS_INVALID_BUFFER_SIZE);
}

}  // namespace
}  // namespace portcls_test
