#include "brands/asio_buffer_size_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

std::string label(const AsioBufferSizeModelIf& model, size_t step) {
    char text[128];
    model.formatBufferLength(step, text, sizeof(text));
    return text;
}

TEST(VexaBufferSizeModelTest, TwoToFortyMillisecondsInWholeSteps) {
    VexaAsioBufferSizeModel model;
    EXPECT_EQ(model.getNumberOfSteps(), 39u);
    EXPECT_EQ(model.getDefaultStep(), 4u);
    EXPECT_EQ(model.getTickFrequency(), 10u);
    EXPECT_DOUBLE_EQ(model.getBufferLength(0), 0.002);
    EXPECT_DOUBLE_EQ(model.getBufferLength(38), 0.040);
    EXPECT_EQ(label(model, 4), "ASIO Buffer length = 6 ms");
    EXPECT_EQ(label(model, 0), "ASIO Buffer length = 2 ms");
    EXPECT_EQ(label(model, 38), "ASIO Buffer length = 40 ms");
}

TEST(OrloBufferSizeModelTest, OneMillisecondThenTwoToFortyInTenths) {
    OrloAsioBufferSizeModel model;
    EXPECT_EQ(model.getNumberOfSteps(), 382u);
    EXPECT_EQ(model.getDefaultStep(), 31u);
    EXPECT_EQ(model.getTickFrequency(), 100u);
    EXPECT_DOUBLE_EQ(model.getBufferLength(0), 0.001);
    EXPECT_DOUBLE_EQ(model.getBufferLength(1), 0.002);  // not 1.1 ms
    EXPECT_DOUBLE_EQ(model.getBufferLength(381), 0.040);
    EXPECT_EQ(label(model, 31), "ASIO Buffer length = 5.0 ms");
    EXPECT_EQ(label(model, 0), "ASIO Buffer length = 1.0 ms");
    EXPECT_EQ(label(model, 381), "ASIO Buffer length = 40.0 ms");
}

TEST(BufferLabelTest, AShortBufferGetsACutTerminatedLabel) {
    VexaAsioBufferSizeModel model;
    char text[8] = "xxxxxxx";
    model.formatBufferLength(4, text, 5);
    EXPECT_STREQ(text, "ASIO");
    model.formatBufferLength(4, nullptr, 128);
    model.formatBufferLength(4, text, 0);
    EXPECT_STREQ(text, "ASIO");
}

TEST(BufferSizeForStepTest, VexaAt44100RoundsUpInDoublePrecision) {
    VexaAsioBufferSizeModel model;
    EXPECT_EQ(bufferSizeForStep(model, 0, 44100.0), 89u);
    EXPECT_EQ(bufferSizeForStep(model, 1, 44100.0), 133u);
    EXPECT_EQ(bufferSizeForStep(model, 4, 44100.0), 265u);
    EXPECT_EQ(bufferSizeForStep(model, 8, 44100.0), 441u);  // 0.01 s exactly: no rounding up
    // 18 x 0.001 + 0.002 is 0.020000000000000004: just above 882 samples.
    EXPECT_GT(model.getBufferLength(18) * 44100.0, 882.0);
    EXPECT_EQ(bufferSizeForStep(model, 18, 44100.0), 883u);
    EXPECT_EQ(bufferSizeForStep(model, 28, 44100.0), 1323u);
    EXPECT_EQ(bufferSizeForStep(model, 38, 44100.0), 1764u);
}

TEST(BufferSizeForStepTest, OrloAt48000) {
    OrloAsioBufferSizeModel model;
    EXPECT_EQ(bufferSizeForStep(model, 0, 48000.0), 48u);
    EXPECT_EQ(bufferSizeForStep(model, 1, 48000.0), 96u);
    EXPECT_EQ(bufferSizeForStep(model, 2, 48000.0), 101u);
    EXPECT_EQ(bufferSizeForStep(model, 31, 48000.0), 240u);
    EXPECT_EQ(bufferSizeForStep(model, 381, 48000.0), 1920u);
}

TEST(BufferSizeForStepTest, ReplacementTable) {
    OrloAsioBufferSizeModel model;
    // Step 0 is 1 ms, so the rate in kHz is the computed count.
    EXPECT_EQ(bufferSizeForStep(model, 0, 52000.0), 48u);
    EXPECT_EQ(bufferSizeForStep(model, 0, 56000.0), 72u);
    EXPECT_EQ(bufferSizeForStep(model, 0, 60000.0), 72u);
    EXPECT_EQ(bufferSizeForStep(model, 0, 64000.0), 72u);
    EXPECT_EQ(bufferSizeForStep(model, 0, 72000.0), 72u);
    EXPECT_EQ(bufferSizeForStep(model, 0, 84000.0), 88u);
    EXPECT_EQ(bufferSizeForStep(model, 0, 88000.0), 88u);
    EXPECT_EQ(bufferSizeForStep(model, 0, 53000.0), 53u);
    // A low rate reaches the table through an ordinary step.
    EXPECT_EQ(bufferSizeForStep(model, 1, 32000.0), 72u);
}

TEST(BufferSizeForStepTest, UnusableRatesGiveNoSamples) {
    VexaAsioBufferSizeModel model;
    EXPECT_EQ(bufferSizeForStep(model, 4, 0.0), 0u);
    EXPECT_EQ(bufferSizeForStep(model, 4, -44100.0), 0u);
    EXPECT_EQ(bufferSizeForStep(model, 4, std::nan("")), 0u);
    EXPECT_EQ(bufferSizeForStep(model, 4, std::numeric_limits<double>::infinity()), 0xFFFFFFFFu);
    EXPECT_EQ(bufferSizeForStep(model, 4, 1e300), 0xFFFFFFFFu);
}

}  // namespace
