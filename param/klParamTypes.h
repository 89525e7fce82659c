#pragma once
// Value types carried by parameters: 2-D vectors, boxes, integer points and
// rectangles, RGB and RGBA colours (float channels, maximum 1) and roto shapes.
//
// Text form (parseText, the XML "value" attributes, the XML writer): the
// components in declaration order separated by single spaces, each a number in
// the stream's default form ("0.5 1"). Numbers are written in that default form
// when it reads back exactly and with all significant digits otherwise, so a
// written value always reads back to the same value, infinities and NaN included.
//
// Bounds: a vector, box or rectangle is clamped component by component against
// the components of its min and max vector or point.
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <vector>

struct HvVec2 {
    float x = 0.0f;
    float y = 0.0f;
    constexpr HvVec2() = default;
    constexpr HvVec2(float x, float y) : x(x), y(y) { }
    bool operator==(const HvVec2&) const = default;
};

// A box given by two corners.
struct HvBox2 {
    HvVec2 lo;
    HvVec2 hi;
    constexpr HvBox2() = default;
    constexpr HvBox2(HvVec2 lo, HvVec2 hi) : lo(lo), hi(hi) { }
    constexpr HvBox2(float x0, float y0, float x1, float y1) : lo(x0, y0), hi(x1, y1) { }
    bool operator==(const HvBox2&) const = default;
};

struct KlPointI {
    int32_t x = 0;
    int32_t y = 0;
    constexpr KlPointI() = default;
    constexpr KlPointI(int32_t x, int32_t y) : x(x), y(y) { }
    bool operator==(const KlPointI&) const = default;
};

struct KlRectI {
    int32_t x0 = 0;
    int32_t y0 = 0;
    int32_t x1 = 0;
    int32_t y1 = 0;
    constexpr KlRectI() = default;
    constexpr KlRectI(int32_t x0, int32_t y0, int32_t x1, int32_t y1) : x0(x0), y0(y0), x1(x1), y1(y1) { }
    bool operator==(const KlRectI&) const = default;
};

struct KlRGBColF {
    static constexpr int channels = 3;
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    constexpr KlRGBColF() = default;
    constexpr KlRGBColF(float r, float g, float b) : r(r), g(g), b(b) { }
    float& operator[](int i) { return i == 0 ? r : i == 1 ? g : b; }
    float operator[](int i) const { return i == 0 ? r : i == 1 ? g : b; }
    bool operator==(const KlRGBColF&) const = default;
};

struct KlRGBAColF {
    static constexpr int channels = 4;
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    float a = 0.0f;
    constexpr KlRGBAColF() = default;
    constexpr KlRGBAColF(float r, float g, float b, float a) : r(r), g(g), b(b), a(a) { }
    float& operator[](int i) { return i == 0 ? r : i == 1 ? g : i == 2 ? b : a; }
    float operator[](int i) const { return i == 0 ? r : i == 1 ? g : i == 2 ? b : a; }
    bool operator==(const KlRGBAColF&) const = default;
};

// The value of a roto parameter: a polygon held by the host; stored as its points.
struct KlRotoShape {
    std::vector<HvVec2> points;
    bool closed = true;
    bool operator==(const KlRotoShape&) const = default;
};

std::ostream& operator<<(std::ostream& out, const HvVec2& v);
std::ostream& operator<<(std::ostream& out, const HvBox2& v);
std::ostream& operator<<(std::ostream& out, const KlPointI& v);
std::ostream& operator<<(std::ostream& out, const KlRectI& v);
std::ostream& operator<<(std::ostream& out, const KlRGBColF& v);
std::ostream& operator<<(std::ostream& out, const KlRGBAColF& v);
std::istream& operator>>(std::istream& in, HvVec2& v);
std::istream& operator>>(std::istream& in, HvBox2& v);
std::istream& operator>>(std::istream& in, KlPointI& v);
std::istream& operator>>(std::istream& in, KlRectI& v);
std::istream& operator>>(std::istream& in, KlRGBColF& v);
std::istream& operator>>(std::istream& in, KlRGBAColF& v);

namespace Kiln::Param {

// Numbers in the stream's default form when that reads back exactly, else with
// every significant digit; infinities and NaN as inf, -inf and nan.
void writeNumber(std::ostream& out, double v);
void writeNumber(std::ostream& out, float v);
// Stream extraction of a number that also takes what writeNumber writes for infinities and NaN; as
// extraction does, it stops at the first character that cannot continue the number and sets failbit
// when there is none.
std::istream& readNumber(std::istream& in, double& v);
std::istream& readNumber(std::istream& in, float& v);

// Bounds: below a set min gives min; otherwise above a set max gives max.
template <class T>
T clampScalar(T v, const std::optional<T>& min, const std::optional<T>& max)
{
    if (min && v < *min) return *min;
    if (max && v > *max) return *max;
    return v;
}

inline int32_t clampToBounds(int32_t v, const std::optional<int32_t>& min, const std::optional<int32_t>& max)
{
    return clampScalar(v, min, max);
}
inline double clampToBounds(double v, const std::optional<double>& min, const std::optional<double>& max)
{
    return clampScalar(v, min, max);
}
HvVec2 clampToBounds(const HvVec2& v, const std::optional<HvVec2>& min, const std::optional<HvVec2>& max);
HvBox2 clampToBounds(const HvBox2& v, const std::optional<HvVec2>& min, const std::optional<HvVec2>& max);
KlRectI clampToBounds(const KlRectI& v, const std::optional<KlPointI>& min,
                      const std::optional<KlPointI>& max);

}  // namespace Kiln::Param
