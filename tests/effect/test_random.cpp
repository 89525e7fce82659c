// Generator, hash and noise arithmetic: every value here decides a visible pattern.
#include "effect/klRandom.h"
#include "image/klHash.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace {

using Kiln::RandomGenerator;
using Kiln::SineNoise;
using Kiln::SmoothNoise;

// Independent reference: the two LCG steps in 64-bit arithmetic reduced by hand.
struct RefDraw {
    uint64_t state;
    int next()
    {
        const uint64_t s1 = (state * 1103515245ull + 12345ull) % 4294967296ull;
        const uint64_t s2 = (s1 * 1103515245ull + 12345ull) % 4294967296ull;
        state = s2;
        return int(((s2 / 65536) % 256) ^ (((s1 / 65536) % 256) * 128));
    }
};

uint64_t refHash(uint64_t n)
{
    const uint64_t w = 4294967296ull;
    const uint64_t m = ((n * 8192) % w) ^ n;
    const uint64_t sum = ((m * m % w * 15731 + 789221) % w * m % w + w - 771171059ull) % w;
    return sum % 2147483648ull;
}

double refSigned(uint64_t n) { return 1.0 - double(refHash(n)) / 1073741824.0; }

TEST(RandomGenerator, FirstDrawsFromKnownStates)
{
    // State 0: s1 = 12345 (bits 16..23 are 0), s2 = 12345 * 1103515245 + 12345 = 0xd3dc167e,
    // so the draw is 0xdc = 220 and the new state is 0xd3dc167e.
    RandomGenerator g(0);
    EXPECT_EQ(g.draw(), 220);
    EXPECT_EQ(g.state(), 0xd3dc167eu);
    EXPECT_EQ(g.draw(), 613);
    EXPECT_EQ(g.draw(), 21791);

    RandomGenerator g30(30);
    EXPECT_EQ(g30.draw(), 7786);
    EXPECT_EQ(g30.draw(), 24616);

    for (uint32_t seed : {1u, 77u, 0x80000000u, 0xffffffffu}) {
        RandomGenerator a(seed);
        RefDraw ref{seed};
        for (int i = 0; i < 64; ++i) {
            const int r = a.draw();
            ASSERT_EQ(r, ref.next()) << "seed " << seed << " draw " << i;
            ASSERT_GE(r, 0);
            ASSERT_LE(r, 32767);
        }
        EXPECT_EQ(a.state(), uint32_t(ref.state));
    }
}

TEST(RandomGenerator, UnitAndIntegerDraws)
{
    RandomGenerator g(0);
    EXPECT_FLOAT_EQ(g.unit(), 220.0f * 3.0518509e-5f);
    EXPECT_EQ(float(32767) * RandomGenerator::kUnit, 1.0f);

    // Integer draw from state 0 after one draw: 613 / 32767 * 5 = 0.0935 -> 0; 21791 -> 3.325 -> 3.
    RandomGenerator h(0);
    h.draw();
    EXPECT_EQ(h.range(0, 5), 0);
    EXPECT_EQ(h.range(0, 5), 3);
    EXPECT_EQ(h.range(10, 10), 10);

    // A state whose draw is 32767 exists; its integer draw lands on hi itself.
    uint32_t top = 0;
    bool found = false;
    for (uint32_t s = 0; s < 4000000u && !found; ++s) {
        RandomGenerator t(s);
        if (t.draw() == 32767) {
            top = s;
            found = true;
        }
    }
    ASSERT_TRUE(found);
    RandomGenerator t(top);
    EXPECT_EQ(t.range(0, 5), 5);
    RandomGenerator u(top);
    EXPECT_EQ(u.unit(), 1.0f);
    // The widest bounds: a unit of 1 lands past INT32_MAX in float and is held at INT32_MAX.
    RandomGenerator wide(top);
    EXPECT_EQ(wide.range(INT32_MIN, INT32_MAX), INT32_MAX);
}

TEST(IntegerHash, KnownValues)
{
    // n = 0: m = 0, so the sum is -771171059 = 3523796237 mod 2^32; the low 31 bits are 1376312589.
    EXPECT_EQ(Kiln::hashMasked(0), 1376312589u);
    EXPECT_EQ(Kiln::hashMasked(1), 1316808037u);
    EXPECT_EQ(Kiln::hashMasked(30), 1391779019u);
    for (uint32_t n : {2u, 12345u, 104761u, 0xffffffffu, 0x7fffffffu}) {
        EXPECT_EQ(uint64_t(Kiln::hashMasked(n)), refHash(n)) << n;
        EXPECT_NEAR(Kiln::hashSigned(n), refSigned(n), 1e-6) << n;
    }
}

TEST(WrapIndex, TruncatesAndKeepsLowBits)
{
    EXPECT_EQ(Kiln::wrapIndex1024(1023.9f), 1023);
    EXPECT_EQ(Kiln::wrapIndex1024(1024.0f), 0);
    EXPECT_EQ(Kiln::wrapIndex1024(5000.5f), 904);
    EXPECT_EQ(Kiln::wrapIndex1024(-1.0f), 1023);
    // 3e9 is exact in float and beyond int32: 3000000000 - 2929687 * 1024 = 512.
    EXPECT_EQ(Kiln::wrapIndex1024(3.0e9f), 512);
    EXPECT_EQ(Kiln::wrapIndex1024(INFINITY), 0);
    EXPECT_EQ(Kiln::wrapIndex1024(-INFINITY), 0);
    EXPECT_EQ(Kiln::wrapIndex1024(NAN), 0);
    EXPECT_EQ(Kiln::wrapIndex1024(1e30f), 0);
}

TEST(SineNoise, TableAndOctaves)
{
    SineNoise n;
    EXPECT_FLOAT_EQ(n.wave(0), 0.0f);
    EXPECT_FLOAT_EQ(n.wave(256), 1.0f);
    EXPECT_FLOAT_EQ(n.wave(768), -1.0f);
    EXPECT_NEAR(n.wave(128), std::sqrt(0.5), 1e-6);

    // One octave, seed 0, x = 0: r = hashSigned(0) = -0.28179098, index = trunc(0.35910451 * 1023) = 367.
    const SineNoise::Phases p0 = n.phases(0, 1);
    EXPECT_EQ(p0.offset[0], 367);
    const double twoPi = 6.283185307179586;
    EXPECT_NEAR(n.value(0.0f, 1, 0), std::sin(twoPi * 367 / 1024), 1e-6);
    // x = 1/1023 moves octave 0 by one entry; x = 1 moves it by 1023 entries, i.e. back by one.
    EXPECT_NEAR(n.value(1.0f / 1023.0f, 1, 0), std::sin(twoPi * 368 / 1024), 1e-6);
    EXPECT_NEAR(n.value(1.0f, 1, 0), std::sin(twoPi * 366 / 1024), 1e-6);

    // Four octaves: mean of the four waves, octave i moving 2^i entries per 1/1023.
    const float x = 3.0f / 1023.0f;
    double sum = 0;
    for (int i = 0; i < 4; ++i) {
        const int off = int(((refSigned(uint64_t(7 + i)) + 1.0) * 0.5) * 1023.0);
        const int idx = int(off + (1 << i) * 3) % 1024;
        sum += std::sin(twoPi * idx / 1024);
    }
    EXPECT_NEAR(n.value(x, 4, 7), sum / 4, 1e-5);

    // Octave counts outside 1..8 are limited; a non-finite position reads like position 0.
    EXPECT_EQ(n.value(0.25f, 0, 5), n.value(0.25f, 1, 5));
    EXPECT_EQ(n.value(0.25f, 99, 5), n.value(0.25f, 8, 5));
    EXPECT_EQ(n.value(INFINITY, 4, 5), n.value(0.0f, 4, 5));
    EXPECT_EQ(n.value(NAN, 4, 5), n.value(0.0f, 4, 5));
}

double refGradient(uint32_t q, uint32_t d)
{
    const double z = refSigned(uint64_t(d * (q + 1u)));
    const double theta = 6.283185307179586 * refSigned(uint64_t(d * (q + 104761u * d)));
    return std::sqrt(1 - z * z) * std::cos(theta);
}

TEST(SmoothNoise, GradientTables)
{
    const SmoothNoise s(0);
    // Table j is filled from seed j; products wrap modulo 2^32.
    EXPECT_NEAR(s.gradient(0, 0), refGradient(0, 0), 2e-6);
    EXPECT_NEAR(s.gradient(0, 1), refGradient(0, 1), 2e-6);
    EXPECT_NEAR(s.gradient(3, 2), refGradient(3, 2), 2e-6);
    EXPECT_NEAR(s.gradient(7, 1023), refGradient(7, 1023), 2e-6);
    const SmoothNoise s5(5);
    EXPECT_NEAR(s5.gradient(2, 600), refGradient(7, 600), 2e-6);
    EXPECT_EQ(s5.gradient(0, 600), SmoothNoise(5).gradient(0, 600));
    for (int d = 0; d < 1024; ++d) {
        ASSERT_LE(std::fabs(s.gradient(1, d)), 1.0f);
    }
    EXPECT_EQ(SmoothNoise::standard().gradient(4, 99), s.gradient(4, 99));
}

TEST(SmoothNoise, OctavesAndSums)
{
    const SmoothNoise s(0);
    // Integer positions have f = 0, so every octave is 0 there.
    EXPECT_EQ(s.octave(0, 0.0f), 0.0f);
    EXPECT_EQ(s.octave(2, 17.0f), 0.0f);
    // f = 0.5 at i = 0: 0.5 g0 + 0.25 * 2 * (-0.5 g1 - 0.5 g0) = 0.25 (g0 - g1), g1 from entry 275.
    EXPECT_NEAR(s.octave(0, 0.5f), 0.25f * (s.gradient(0, 0) - s.gradient(0, 275)), 1e-7);
    // i = 1 reads entries 275 and 550.
    EXPECT_NEAR(s.octave(0, 1.5f), 0.25f * (s.gradient(0, 275) - s.gradient(0, 550)), 1e-7);
    // i = -1: -275 keeps the low ten bits 749; the upper neighbour is entry 0.
    EXPECT_NEAR(s.octave(0, -0.5f), 0.25f * (s.gradient(0, 749) - s.gradient(0, 0)), 1e-7);
    // f = 0.25: g0 f + f^2 (3 - 2f) ((f - 1) g1 - g0 f) with f^2 (3 - 2f) = 0.15625.
    const float g0 = s.gradient(1, 3 * 275 % 1024), g1 = s.gradient(1, 4 * 275 % 1024);
    EXPECT_NEAR(s.octave(1, 3.25f), g0 * 0.25f + 0.15625f * (-0.75f * g1 - g0 * 0.25f), 1e-7);

    // Two octaves: T0(x) + 0.5 T1(2x + 0.5); three add 0.25 T2(4x + 0.25).
    const float x = 12.3f;
    EXPECT_FLOAT_EQ(s.value(x, 2), s.octave(0, x) + 0.5f * s.octave(1, 2 * x + 0.5f));
    EXPECT_FLOAT_EQ(s.value(x, 3), s.value(x, 2) + 0.25f * s.octave(2, 4 * x + 0.25f));
    EXPECT_EQ(s.value(x, 0), s.value(x, 1));
    EXPECT_EQ(s.value(x, 12), s.value(x, 8));
    EXPECT_EQ(s.value(INFINITY, 2), 0.0f);
    EXPECT_EQ(s.value(NAN, 3), 0.0f);
    EXPECT_EQ(s.value(1e30f, 2), 0.0f);
}

}  // namespace
