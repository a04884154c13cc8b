// The audio descriptor model the class layer builds from a device's
// configuration: the audio-control interface, the entities, the streaming
// interfaces with their alternate settings, the render and capture streams.

#include <gtest/gtest.h>

#include "class_layer_world.h"
#include "entity_terminal.h"

namespace {

using kerneltest::ClassLayerWorld;

TEST(AudioModel, TheQ7StartsAndConfigures) {
    ClassLayerWorld world("q7-0b31");
    ASSERT_EQ(world.StartAndConfigure(), STATUS_SUCCESS);
    CUSBAudioCL& layer = world.Layer();
    EXPECT_TRUE(layer.IsClassTwo());
    EXPECT_TRUE(layer.IsHighSpeed());
    ASSERT_NE(layer.RenderStream(), nullptr);
    ASSERT_NE(layer.CaptureStream(), nullptr);
    EXPECT_EQ(layer.RenderStream()->interfaceNumber, 1);
    EXPECT_EQ(layer.CaptureStream()->interfaceNumber, 2);
    EXPECT_TRUE(layer.SharedClock());
}

}  // namespace
