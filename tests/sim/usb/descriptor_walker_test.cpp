// The strict walker: every ready-made device passes, and each kind of broken
// descriptor set is caught.

#include <gtest/gtest.h>

#include "simusb/byte_order.h"
#include "simusb/descriptor_walker.h"
#include "simusb/ready_made_devices.h"

namespace simusb {
namespace {

TEST(DescriptorWalker, EveryReadyMadeDevicePasses) {
    for (const ReadyMadeDevice& entry : ReadyMadeDevices()) {
        auto device = entry.Make();
        WalkReport report = WalkDescriptors(device->Descriptors());
        EXPECT_TRUE(report.Ok()) << entry.name << ":\n" << report.Text();
    }
}

// The Q7's configuration set, and where things are in it.
struct Q7Set : ::testing::Test {
    std::vector<uint8_t> config = FindReadyMadeDevice("q7-0b31")->Make()->Descriptors().configurations[0];

    // Offset of the first descriptor of `type` (and `subtype` for class-specific ones).
    size_t Find(uint8_t type, int subtype = -1) const {
        for (size_t offset = 0; offset < config.size(); offset += config[offset]) {
            if (config[offset + 1] == type && (subtype < 0 || config[offset + 2] == subtype)) return offset;
        }
        return config.size();
    }
    bool Reports(const std::string& fragment) const {
        WalkReport report = WalkConfiguration(config, Speed::High);
        for (const std::string& problem : report.problems) {
            if (problem.find(fragment) != std::string::npos) return true;
        }
        ADD_FAILURE() << "expected '" << fragment << "' in:\n" << report.Text();
        return false;
    }
};

TEST_F(Q7Set, TotalLengthThatDisagreesWithTheSet) {
    config[2] = static_cast<uint8_t>(config[2] - 1);
    EXPECT_TRUE(Reports("wTotalLength"));
}

TEST_F(Q7Set, DescriptorShorterThanTwoBytes) {
    config[Find(0x24, 0x0A)] = 1;  // the clock source
    EXPECT_TRUE(Reports("bLength 1 is below 2"));
}

TEST_F(Q7Set, EndpointCountThatDisagrees) {
    size_t alt = Find(0x05) - 9 - 16 - 6;  // the interface before the first endpoint, its AS_GENERAL and format
    ASSERT_EQ(config[alt + 1], 0x04);
    config[alt + 4] = 1;
    EXPECT_TRUE(Reports("bNumEndpoints 1, but 2"));
}

TEST_F(Q7Set, HeaderTotalThatDoesNotCoverItsDescriptors) {
    size_t header = Find(0x24, 0x01);
    config[header + 6] = static_cast<uint8_t>(config[header + 6] + 1);
    EXPECT_TRUE(Reports("header's wTotalLength"));
}

TEST_F(Q7Set, ReferenceToAMissingOrWrongEntity) {
    size_t feature = Find(0x24, 0x06);
    config[feature + 4] = 77;
    EXPECT_TRUE(Reports("entity 77, which does not exist"));
    config[feature + 4] = 41;  // the clock, not an audio entity
    EXPECT_TRUE(Reports("wrong kind"));
    size_t terminal = Find(0x24, 0x02);
    config[terminal + 7] = 10;  // the input terminal's clock is now the feature unit
    EXPECT_TRUE(Reports("entity 10, which is of the wrong kind"));
}

TEST_F(Q7Set, ClassSpecificDescriptorOfTheWrongSize) {
    size_t clock = Find(0x24, 0x0A);
    config[clock] = 9;  // one byte taken from the next descriptor
    EXPECT_TRUE(Reports("subtype 10 of 9 bytes, not 8"));
}

TEST_F(Q7Set, DuplicateEntityIds) {
    size_t terminal = Find(0x24, 0x02);
    config[terminal + 3] = 41;  // the clock's ID
    EXPECT_TRUE(Reports("entity ID 41 used twice"));
}

TEST(DescriptorWalker, InterfaceCountAndAssociationRange) {
    std::vector<uint8_t> config = FindReadyMadeDevice("uac2-with-hid")->Make()->Descriptors().configurations[0];
    config[4] = 3;
    config[9 + 3] = 5;  // the association claims five interfaces
    WalkReport report = WalkConfiguration(config);
    ASSERT_EQ(report.problems.size(), 2u) << report.Text();
    EXPECT_NE(report.problems[0].find("bNumInterfaces 3, but 4"), std::string::npos);
    EXPECT_NE(report.problems[1].find("names interface 4, which does not exist"), std::string::npos);
}

}  // namespace
}  // namespace simusb
