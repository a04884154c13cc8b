// The test programs' main: death tests re-execute the program, because the
// simulated kernel runs threads that a plain fork would not carry along.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
