#include "image/klHash.h"
#include "image/klNoise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace Kiln;

namespace {

class NoiseTest : public ::testing::Test {
protected:
    void TearDown() override { KlMultiProcessor::setProcessorCountForTesting(0); }
};

KlTexture<PixNoiseF> mono(int w, int h, uint32_t seed, float amp, float offset, float soft = 0.0f,
                          bool clampLow = false)
{
    KlTexture<PixNoiseF> t(w, h);
    KlNoiseGen<> g;
    g.setDestination(&t);
    g.setSeed(seed);
    g.setAmplitude(amp);
    g.setOffset(offset);
    g.setClampLow(clampLow);
    g.setSoftness(soft, soft);
    g.execute();
    return t;
}

template <class Px>
bool same(const KlTexture<Px>& a, const KlTexture<Px>& b)
{
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.pixelAddress(0, y), b.pixelAddress(0, y), sizeof(Px) * size_t(a.width())) != 0)
            return false;
    return true;
}

}  // namespace

TEST(NoiseHash, HandWorkedValues)
{
    // The hash's own values are the effect's random tests'; here how pixels reach it.
    EXPECT_EQ(hashMasked(7907u), 1306271261u);
    EXPECT_FLOAT_EQ(hashSigned(0u), 1.0f - 1376312589.0f / 1073741824.0f);
    for (uint32_t n : {0u, 5u, 0xffffffffu, 123456789u}) {
        EXPECT_LE(hashSigned(n), 1.0f);
        EXPECT_GT(hashSigned(n), -1.0f);
    }
    // Pixel (1, 0) with seed 0 hashes 7907; amplitude 0.1, offset -0.05.
    EXPECT_FLOAT_EQ(Noise::value(Noise::hashInput(1, 0, 0), 0.1f, -0.05f),
                    1306271261.0f * 0.1f / 2147483648.0f - 0.05f);
    EXPECT_EQ(Noise::hashInput(2, 3, 10u), 3u * 17387u + 2u * 7907u + 10u);
    EXPECT_EQ(Noise::hashInput(-1, 0, 0u), uint32_t(-7907));
}

TEST_F(NoiseTest, MonoGeneratorValuesAndRanges)
{
    auto t = mono(40, 30, 99u, 0.1f, -0.05f);
    KlNoiseGen<> g;
    g.setSeed(99u);
    g.setAmplitude(0.1f);
    g.setOffset(-0.05f);
    int negative = 0;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            const float v = t.pixelAddress(x, y)->v;
            EXPECT_EQ(v, g.valueAt(x, y));
            EXPECT_GE(v, -0.05f);
            EXPECT_LE(v, 0.05f);
            negative += v < 0.0f;
        }
    EXPECT_GT(negative, 400);
    EXPECT_LT(negative, 800);
    // clampLow: the negative half becomes 0, the rest is unchanged.
    auto c = mono(40, 30, 99u, 0.1f, -0.05f, 0.0f, true);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            EXPECT_EQ(c.pixelAddress(x, y)->v, std::max(t.pixelAddress(x, y)->v, 0.0f));
    // Amplitude 0: constant at the offset.
    auto z = mono(17, 5, 3u, 0.0f, 0.25f);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 17; ++x) EXPECT_EQ(z.pixelAddress(x, y)->v, 0.25f);
    // clampHigh holds values at 2^31.
    KlNoiseGen<> big;
    big.setAmplitude(0.0f);
    big.setOffset(1e10f);
    big.setClampHigh(true);
    EXPECT_EQ(big.valueAt(0, 0), 2147483648.0f);
}

TEST_F(NoiseTest, SeedsAndThreadSplits)
{
    auto a = mono(64, 48, 5u, 1.0f, 0.0f);
    EXPECT_TRUE(same(a, mono(64, 48, 5u, 1.0f, 0.0f)));
    EXPECT_FALSE(same(a, mono(64, 48, 6u, 1.0f, 0.0f)));
    KlMultiProcessor::setProcessorCountForTesting(1);
    auto s1 = mono(64, 48, 5u, 1.0f, 0.0f, 7.5f);
    for (int n : {2, 3, 7}) {
        KlMultiProcessor::setProcessorCountForTesting(n);
        EXPECT_TRUE(same(a, mono(64, 48, 5u, 1.0f, 0.0f))) << n;
        EXPECT_TRUE(same(s1, mono(64, 48, 5u, 1.0f, 0.0f, 7.5f))) << n;
    }
}

TEST_F(NoiseTest, SofteningSmoothsAndClamps)
{
    auto raw = mono(60, 40, 11u, 1.0f, 0.0f);
    auto soft = mono(60, 40, 11u, 1.0f, 0.0f, 6.0f);
    double m0 = 0, m1 = 0, v0 = 0, v1 = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 60; ++x) m0 += raw.pixelAddress(x, y)->v, m1 += soft.pixelAddress(x, y)->v;
    m0 /= 2400, m1 /= 2400;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 60; ++x) {
            v0 += std::pow(raw.pixelAddress(x, y)->v - m0, 2);
            v1 += std::pow(soft.pixelAddress(x, y)->v - m1, 2);
        }
    EXPECT_NEAR(m0, 0.5, 0.03);
    EXPECT_NEAR(m1, 0.5, 0.03);
    EXPECT_LT(v1, v0 * 0.1);  // much smoother
    // Softness beyond twice the image size acts as twice the image size.
    KlTexture<PixNoiseF> t(10, 6);
    KlNoiseGen<> g;
    g.setDestination(&t);
    g.setSoftness(500.0f, 100.0f);
    g.execute();
    EXPECT_EQ(g.usedSoftX(), 20.0f);
    EXPECT_EQ(g.usedSoftY(), 12.0f);
    KlTexture<PixNoiseF> u(10, 6);
    KlNoiseGen<> h;
    h.setDestination(&u);
    h.setSoftness(20.0f, 12.0f);
    h.execute();
    EXPECT_TRUE(same(t, u));
    // Bad softness counts as none.
    h.setSoftness(std::nanf(""), -4.0f);
    h.execute();
    EXPECT_EQ(h.usedSoftX(), 0.0f);
    EXPECT_EQ(h.usedSoftY(), 0.0f);
}
