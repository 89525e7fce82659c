#include "footage/klPixelConvert.h"
#include "footage/klResample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

using namespace Kiln::Footage;

TEST(PixelConvert, SixteenBitFileValuesMapOntoTheHostRangeAndBack)
{
    // host = round(v * 32768 / 65535), file = round(h * 65535 / 32768)
    EXPECT_EQ((sampleToHost<uint16_t, uint16_t>(0)), 0);
    EXPECT_EQ((sampleToHost<uint16_t, uint16_t>(1)), 1);  // 0.50001
    EXPECT_EQ((sampleToHost<uint16_t, uint16_t>(32767)), 16384);  // 16383.75
    EXPECT_EQ((sampleToHost<uint16_t, uint16_t>(65535)), 32768);
    EXPECT_EQ((sampleToFile<uint16_t, uint16_t>(0)), 0);
    EXPECT_EQ((sampleToFile<uint16_t, uint16_t>(1)), 2);  // 1.99997
    EXPECT_EQ((sampleToFile<uint16_t, uint16_t>(16384)), 32768);  // 32767.5
    EXPECT_EQ((sampleToFile<uint16_t, uint16_t>(32768)), 65535);
    EXPECT_EQ((sampleToFile<uint16_t, uint16_t>(40000)), 65535);  // above white is white

    for (int v = 0; v <= 65535; ++v) {
        const int back = sampleToFile<uint16_t, uint16_t>(sampleToHost<uint16_t, uint16_t>(uint16_t(v)));
        ASSERT_LE(std::abs(back - v), 1) << v;
    }
    for (int h = 0; h <= 32768; ++h)
        ASSERT_EQ((sampleToHost<uint16_t, uint16_t>(sampleToFile<uint16_t, uint16_t>(uint16_t(h)))), h) << h;
}

TEST(PixelConvert, FloatAndEightBitSamples)
{
    EXPECT_EQ((sampleToHost<uint8_t, uint8_t>(200)), 200);
    EXPECT_EQ((sampleToFile<uint8_t, uint8_t>(7)), 7);
    EXPECT_FLOAT_EQ((sampleToHost<float, float>(1.5f)), 1.5f);
    EXPECT_FLOAT_EQ((sampleToHost<float, uint16_t>(65535)), 1.0f);
    EXPECT_EQ((sampleToFile<uint16_t, float>(0.5f)), 32768);  // 32767.5 + 0.5
    EXPECT_EQ((sampleToFile<uint16_t, float>(2.0f)), 65535);
    EXPECT_EQ((sampleToFile<uint16_t, float>(-1.0f)), 0);
    EXPECT_EQ((sampleToFile<uint16_t, float>(std::nanf(""))), 0);
}

TEST(PixelConvert, RowsMoveAlphaToTheFrontAndFillItWhenMissing)
{
    uint8_t argb[4];
    const uint8_t gray[] = {10};
    rowToHost(gray, 1, argb, 1);
    EXPECT_EQ(argb[0], 255);
    EXPECT_EQ(argb[1], 10);
    EXPECT_EQ(argb[3], 10);
    const uint8_t grayAlpha[] = {10, 20};
    rowToHost(grayAlpha, 2, argb, 1);
    EXPECT_EQ(argb[0], 20);
    EXPECT_EQ(argb[2], 10);
    const uint8_t rgba[] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t two[8];
    rowToHost(rgba, 4, two, 2);
    EXPECT_EQ(std::vector<int>(two, two + 8), (std::vector<int>{4, 1, 2, 3, 8, 5, 6, 7}));
    rowToHost(rgba, 3, two, 2);  // same bytes read as RGB: 1 2 3 | 4 5 6
    EXPECT_EQ(std::vector<int>(two, two + 8), (std::vector<int>{255, 1, 2, 3, 255, 4, 5, 6}));

    uint16_t deep[4];
    const uint16_t rgb16[] = {0, 65535, 1234};
    rowToHost(rgb16, 3, deep, 1);
    EXPECT_EQ(std::vector<int>(deep, deep + 4), (std::vector<int>{32768, 0, 32768, 617}));
    float light[4];
    const float rgbF[] = {0.25f, 1.5f, -0.1f};
    rowToHost(rgbF, 3, light, 1);
    EXPECT_FLOAT_EQ(light[0], 1.0f);
    EXPECT_FLOAT_EQ(light[2], 1.5f);
    EXPECT_FLOAT_EQ(light[3], -0.1f);

    const uint8_t host[] = {9, 1, 2, 3};
    uint8_t file[4] = {0, 0, 0, 0};
    rowToFile(host, file, 3, 1);
    EXPECT_EQ(std::vector<int>(file, file + 4), (std::vector<int>{1, 2, 3, 0}));
    rowToFile(host, file, 4, 1);
    EXPECT_EQ(std::vector<int>(file, file + 4), (std::vector<int>{1, 2, 3, 9}));
}

TEST(Resample, AreaWeightsCoverEachOutputPixelExactly)
{
    auto taps = areaTaps(4, 2);
    ASSERT_EQ(taps[0].size(), 2u);
    EXPECT_EQ(taps[1][0].index, 2);
    EXPECT_FLOAT_EQ(taps[1][1].weight, 0.5f);
    taps = areaTaps(3, 2);  // each output covers 1.5 inputs
    ASSERT_EQ(taps[0].size(), 2u);
    EXPECT_FLOAT_EQ(taps[0][0].weight, 2.0f / 3.0f);
    EXPECT_FLOAT_EQ(taps[0][1].weight, 1.0f / 3.0f);
    EXPECT_EQ(taps[1][0].index, 1);
    EXPECT_FLOAT_EQ(taps[1][0].weight, 1.0f / 3.0f);
    EXPECT_EQ(scaledSize(1279, 0.5), 640);
    EXPECT_EQ(scaledSize(3, 0.01), 1);
}

TEST(Resample, DownsampleAveragesAtEveryDepth)
{
    using Kiln::Runner::Depth;
    using Kiln::Runner::Image;
    Image eight = Image::make(2, 2, Depth::Eight);
    const uint8_t values[4] = {0, 255, 255, 0};  // red of the four pixels
    for (int i = 0; i < 4; ++i) {
        eight.row<uint8_t>(i / 2)[(i % 2) * 4 + 0] = 255;
        eight.row<uint8_t>(i / 2)[(i % 2) * 4 + 1] = values[i];
    }
    const Image one = downsample(eight, 1, 1);
    EXPECT_EQ(one.row<uint8_t>(0)[0], 255);
    EXPECT_EQ(one.row<uint8_t>(0)[1], 128);  // 127.5 rounds up

    Image deep = Image::make(4, 1, Depth::Sixteen);
    for (int x = 0; x < 4; ++x) deep.row<uint16_t>(0)[x * 4 + 2] = uint16_t(x * 10000);
    const Image half = downsample(deep, 2, 1);
    EXPECT_EQ(half.row<uint16_t>(0)[2], 5000);
    EXPECT_EQ(half.row<uint16_t>(0)[6], 25000);

    Image light = Image::make(3, 1, Depth::Float);
    for (int x = 0; x < 3; ++x) light.row<float>(0)[x * 4 + 3] = float(x) * 1.5f;
    const Image two = downsample(light, 2, 1);
    EXPECT_FLOAT_EQ(two.row<float>(0)[3], 0.5f);  // (0 * 2/3 + 1.5 * 1/3)
    EXPECT_FLOAT_EQ(two.row<float>(0)[7], 2.5f);  // (1.5 * 1/3 + 3 * 2/3)
}
