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
        if (std::memcmp(a.pixelAddress(0, y), b.pixelAddress(0, y), sizeof(Px) * size_t(a.width())) != 0) return false;
    return true;
}

}  // namespace

TEST(NoiseHash, HandWorkedValues)
{
    // n = 0: m = 0, so the value is -771171059 mod 2^32, masked to 31 bits.
    EXPECT_EQ(hashMasked(0u), 1376312589u);
    EXPECT_EQ(hashMasked(1u), 1316808037u);
    EXPECT_EQ(hashMasked(7907u), 1306271261u);
    EXPECT_FLOAT_EQ(hashSigned(0u), 1.0f - 1376312589.0f / 1073741824.0f);
    for (uint32_t n : {0u, 5u, 0xffffffffu, 123456789u}) {
        EXPECT_LE(hashSigned(n), 1.0f);
        EXPECT_GT(hashSigned(n), -1.0f);
    }
    // Pixel (1, 0) with seed 0 hashes 7907; amplitude 0.1, offset -0.05.
    EXPECT_FLOAT_EQ(Noise::value(Noise::hashInput(1, 0, 0), 0.1f, -0.05f), 1306271261.0f * 0.1f / 2147483648.0f - 0.05f);
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

TEST_F(NoiseTest, RGBAGeneratorChannelsAndAlpha)
{
    KlTexture<PixRGBAF> t(8, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) t.pixelAddress(x, y)->a = 0.75f;
    KlRGBANoiseGen<> g;
    g.setDestination(&t);
    g.setSeed(42u);
    g.setAmplitudes(1.0f, 0.5f, 0.25f, 1.0f);
    g.execute();
    const uint32_t n = Noise::hashInput(3, 2, 42u);
    const PixRGBAF& p = *t.pixelAddress(3, 2);
    EXPECT_EQ(p.r, float(hashMasked(n)) * 1.0f * Noise::kScale);
    EXPECT_EQ(p.g, float(hashMasked(n + 1)) * 0.5f * Noise::kScale);
    EXPECT_EQ(p.b, float(hashMasked(n + 2)) * 0.25f * Noise::kScale);
    EXPECT_EQ(p.a, 0.75f);  // alpha not asked for: untouched
    const float raw = p.r;
    g.setSoftness(3.0f, 3.0f);
    g.execute();
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) EXPECT_EQ(t.pixelAddress(x, y)->a, 0.75f);
    EXPECT_NE(t.pixelAddress(3, 2)->r, raw);  // softened
    g.setAlpha(true);
    g.setSoftness(0.0f, 0.0f);
    g.execute();
    EXPECT_EQ(t.pixelAddress(3, 2)->a, float(hashMasked(n + 3)) * Noise::kScale);
}

TEST_F(NoiseTest, RGBNoiseProcVariants)
{
    auto picture = [] {
        KlTexture<PixARGB8> t(16, 8);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 16; ++x) {
                PixARGB8& p = *t.pixelAddress(x, y);
                p.a = 200;
                p.r = p.g = p.b = x < 8 ? 128 : 0;
            }
        return t;
    };
    auto run = [&](int variant, float gain, float mix) {
        KlTexture<PixARGB8> t = picture();
        KlRGBNoiseProc<PixARGB8> n;
        n.setDestination(&t);
        n.setSeed(9u);
        n.setGains(gain, gain, gain);
        n.setMix(mix);
        n.setVariant(variant);
        n.execute();
        return t;
    };
    const KlTexture<PixARGB8> orig = picture();
    EXPECT_TRUE(same(orig, run(0, 0.0f, 0.0f)));  // default gains 0: nothing to do
    EXPECT_TRUE(same(orig, run(0, 1.0f, 1.0f)));  // mix 1: nothing to do
    // Mono, gain 1: delta = (-0.05 + u * 0.1) * 255 with u = hashMasked / 2^31.
    auto m = run(0, 1.0f, 0.0f);
    const float u = float(hashMasked(Noise::hashInput(2, 1, 9u))) * Noise::kScale;
    const float expect = std::clamp(128.0f + (-0.05f + u * 0.1f) * 255.0f, 0.0f, 255.0f);
    EXPECT_EQ(m.pixelAddress(2, 1)->r, uint8_t(expect));
    EXPECT_EQ(m.pixelAddress(2, 1)->g, m.pixelAddress(2, 1)->r);
    EXPECT_EQ(m.pixelAddress(2, 1)->a, 200);
    bool changed = false;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) {
            const PixARGB8& p = *m.pixelAddress(x, y);
            changed = changed || p.r != 128;
            EXPECT_EQ(p.a, 200);
            if (x < 8) {
                EXPECT_NEAR(p.r, 128, 13);
            }
        }
    EXPECT_TRUE(changed);
    // Brightness-weighted: black stays black.
    auto w = run(2, 1.0f, 0.0f);
    for (int y = 0; y < 8; ++y)
        for (int x = 8; x < 16; ++x) EXPECT_EQ(w.pixelAddress(x, y)->r, 0);
    // Colour: channels differ.
    auto c = run(1, 4.0f, 0.0f);
    int differ = 0;
    for (int x = 0; x < 8; ++x) differ += c.pixelAddress(x, 0)->r != c.pixelAddress(x, 0)->g;
    EXPECT_GT(differ, 4);
    // The same at 1 and at 3 threads.
    KlMultiProcessor::setProcessorCountForTesting(1);
    auto one = run(1, 4.0f, 0.25f);
    KlMultiProcessor::setProcessorCountForTesting(3);
    EXPECT_TRUE(same(one, run(1, 4.0f, 0.25f)));
}
