// Event tracing: silent unless a controller enables the provider.

#include <gtest/gtest.h>

#include "kmsim/simulation.h"
#include "kmsim/trace.h"

// This test's providers are defined here, the one unit of the program that
// includes <initguid.h>.
#include <initguid.h>

// {6A4B0C1D-2E3F-4051-9263-748596A7B8C9}
DEFINE_GUID(kProvider, 0x6a4b0c1d, 0x2e3f, 0x4051, 0x92, 0x63, 0x74, 0x85, 0x96, 0xa7, 0xb8, 0xc9);
DEFINE_GUID(kOtherProvider, 0x6a4b0c1d, 0x2e3f, 0x4051, 0x92, 0x63, 0x74, 0x85, 0x96, 0xa7, 0xb8, 0xca);

namespace {

TEST(Tracing, ProvidersAreDisabledWithoutASession) {
    kmsim::Simulation sim;
    REGHANDLE handle = 0;
    ASSERT_EQ(EtwRegister(&kProvider, nullptr, nullptr, &handle), STATUS_SUCCESS);
    EXPECT_FALSE(EtwProviderEnabled(handle, TRACE_LEVEL_ERROR, 1));
    EtwUnregister(handle);
}

TEST(Tracing, ASessionCollectsEventsUpToItsLevelAndForItsKeywords) {
    kmsim::Simulation sim;
    REGHANDLE handle = 0;
    EtwRegister(&kProvider, nullptr, nullptr, &handle);
    kmsim::TraceSession session(kProvider, TRACE_LEVEL_WARNING, 0x2);
    EXPECT_TRUE(EtwProviderEnabled(handle, TRACE_LEVEL_ERROR, 0x2));
    EXPECT_FALSE(EtwProviderEnabled(handle, TRACE_LEVEL_VERBOSE, 0x2));
    EXPECT_FALSE(EtwProviderEnabled(handle, TRACE_LEVEL_ERROR, 0x1));
    EtwWriteString(handle, TRACE_LEVEL_ERROR, 0x2, nullptr, L"start failed: 0xC00000BB");
    EtwWriteString(handle, TRACE_LEVEL_VERBOSE, 0x2, nullptr, L"too detailed");
    EtwWriteString(handle, TRACE_LEVEL_ERROR, 0x1, nullptr, L"other flag");
    auto records = session.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "start failed: 0xC00000BB");
    EXPECT_EQ(records[0].level, TRACE_LEVEL_ERROR);
    EXPECT_TRUE(session.Contains("0xC00000BB"));
    EtwUnregister(handle);
}

TEST(Tracing, ASessionSeesOnlyItsProvider) {
    kmsim::Simulation sim;
    REGHANDLE handle = 0;
    EtwRegister(&kOtherProvider, nullptr, nullptr, &handle);
    kmsim::TraceSession session(kProvider, TRACE_LEVEL_VERBOSE);
    EXPECT_FALSE(EtwProviderEnabled(handle, TRACE_LEVEL_ERROR, 1));
    EtwWriteString(handle, TRACE_LEVEL_ERROR, 1, nullptr, L"elsewhere");
    EXPECT_TRUE(session.Records().empty());
    EtwUnregister(handle);
}

TEST(TracingDeathTest, AProviderLeftRegisteredIsALeak) {
    EXPECT_DEATH(
        {
            kmsim::Simulation sim;
            REGHANDLE handle = 0;
            EtwRegister(&kProvider, nullptr, nullptr, &handle);
        },
        "trace provider");
}

}  // namespace
