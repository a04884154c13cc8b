// The test programs' main: death tests re-execute the program, because the
// simulated kernel runs threads that a plain fork would not carry along.
// A failing test prints the interleaving seed it ran with, so that the same
// interleaving can be replayed with VQ7_SEED.
#include <gtest/gtest.h>

#include <cstdio>

#include "kmsim/simulation.h"

namespace {

class SeedReporter : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& test) override {
        if (test.result()->Failed() && kmsim::SeededByDefault()) {
            printf("[   SEED   ] %s.%s ran with interleaving seed %llu; replay it with VQ7_SEED=%llu\n",
                   test.test_suite_name(), test.name(), static_cast<unsigned long long>(kmsim::Seed()),
                   static_cast<unsigned long long>(kmsim::Seed()));
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new SeedReporter);
    return RUN_ALL_TESTS();
}
