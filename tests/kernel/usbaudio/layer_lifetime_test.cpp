// The class layer torn down while transfers are still in flight: their
// completions still run on it and must find it whole.

#include <gtest/gtest.h>

#include <vector>

#include "stream_test_support.h"

namespace {

using namespace streamtest;
using kerneltest::DescriptionOf;

TEST(LayerLifetime, DestroyingTheLayerWaitsForCaptureAndFeedbackTransfersInFlight) {
    for (const char* name : {"q7-0b31", "uac2-async-dac"}) {
        SCOPED_TRACE(name);
        auto world = WorldOf(DescriptionOf(name));
        ASSERT_TRUE(world->HasLayer());
        CUSBAudioCL& layer = world->Layer();
        std::vector<TransferReport> reports(4);
        std::vector<std::vector<UCHAR>> buffers(reports.size());
        if (layer.CaptureStream() != nullptr) {
            auto s = SelectExplicit(layer, kCapture, kPcm, 4, 24, 48000, 1);
            ASSERT_EQ(s.status, STATUS_SUCCESS);
            for (size_t i = 0; i < reports.size(); ++i) {
                buffers[i].resize(s.maxBytesPerTransfer);
                ASSERT_EQ(layer.SubmitCaptureTransfer(buffers[i].data(), s.maxBytesPerTransfer, 1,
                                                      TransferReport::Callback, &reports[i]),
                          STATUS_SUCCESS);
            }
        } else {
            ASSERT_EQ(SelectExplicit(layer, kRender, kPcm, 2, 24, 48000).status, STATUS_SUCCESS);
            for (size_t i = 0; i < reports.size(); ++i) {
                buffers[i].resize(layer.GetFeedbackTransferBytes());
                ASSERT_EQ(layer.RecvFeedback(buffers[i].data(), layer.GetFeedbackTransferBytes(),
                                             TransferReport::Callback, &reports[i]),
                          STATUS_SUCCESS);
            }
        }
        world->DestroyLayer();
        for (const TransferReport& report : reports) {
            EXPECT_NE(report.status, STATUS_PENDING) << "every transfer ended before the layer was gone";
        }
    }
}

}  // namespace
