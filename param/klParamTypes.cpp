#include "param/klParamTypes.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <istream>
#include <ostream>

namespace Kiln::Param {

void writeNumber(std::ostream& out, double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%g", v);
    if (std::strtod(text, nullptr) != v) std::snprintf(text, sizeof text, "%.17g", v);
    out << text;
}

void writeNumber(std::ostream& out, float v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(v));
    if (std::strtof(text, nullptr) != v) std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
    out << text;
}

namespace {

template <class T>
std::istream& readNumberOf(std::istream& in, T& v)
{
    std::istream::sentry ok(in);  // skips leading white space
    if (!ok) return in;
    // The characters a number (decimal, hexadecimal, inf, nan) can be made of; what the conversion does
    // not use goes back to the stream.
    std::string token;
    for (int c = in.peek(); c != EOF && (std::isalnum(c) || c == '+' || c == '-' || c == '.'); c = in.peek())
        token += char(in.get());
    if (in.eof()) in.clear(std::ios::eofbit);
    const char* first = token.c_str();
    char* end = nullptr;
    const T x = std::is_same_v<T, float> ? T(std::strtof(first, &end)) : T(std::strtod(first, &end));
    for (size_t left = token.size() - size_t(end - first); left > 0; --left) {
        in.clear(in.rdstate() & ~std::ios::eofbit);
        in.unget();
    }
    if (end == first) {
        in.setstate(std::ios::failbit);
        return in;
    }
    v = x;
    return in;
}

}  // namespace

std::istream& readNumber(std::istream& in, double& v) { return readNumberOf(in, v); }
std::istream& readNumber(std::istream& in, float& v) { return readNumberOf(in, v); }

HvVec2 clampToBounds(const HvVec2& v, const std::optional<HvVec2>& min, const std::optional<HvVec2>& max)
{
    std::optional<float> minX, minY, maxX, maxY;
    if (min) minX = min->x, minY = min->y;
    if (max) maxX = max->x, maxY = max->y;
    return HvVec2(clampScalar(v.x, minX, maxX), clampScalar(v.y, minY, maxY));
}

HvBox2 clampToBounds(const HvBox2& v, const std::optional<HvVec2>& min, const std::optional<HvVec2>& max)
{
    return HvBox2(clampToBounds(v.lo, min, max), clampToBounds(v.hi, min, max));
}

KlRectI clampToBounds(const KlRectI& v, const std::optional<KlPointI>& min,
                      const std::optional<KlPointI>& max)
{
    std::optional<int32_t> minX, minY, maxX, maxY;
    if (min) minX = min->x, minY = min->y;
    if (max) maxX = max->x, maxY = max->y;
    return KlRectI(clampScalar(v.x0, minX, maxX), clampScalar(v.y0, minY, maxY),
                   clampScalar(v.x1, minX, maxX), clampScalar(v.y1, minY, maxY));
}

}  // namespace Kiln::Param

using Kiln::Param::writeNumber;

std::ostream& operator<<(std::ostream& out, const HvVec2& v)
{
    writeNumber(out, v.x);
    out << ' ';
    writeNumber(out, v.y);
    return out;
}

std::ostream& operator<<(std::ostream& out, const HvBox2& v) { return out << v.lo << ' ' << v.hi; }

std::ostream& operator<<(std::ostream& out, const KlPointI& v) { return out << v.x << ' ' << v.y; }

std::ostream& operator<<(std::ostream& out, const KlRectI& v)
{
    return out << v.x0 << ' ' << v.y0 << ' ' << v.x1 << ' ' << v.y1;
}

std::ostream& operator<<(std::ostream& out, const KlRGBColF& v)
{
    for (int i = 0; i < 3; ++i) {
        if (i) out << ' ';
        writeNumber(out, v[i]);
    }
    return out;
}

std::ostream& operator<<(std::ostream& out, const KlRGBAColF& v)
{
    for (int i = 0; i < 4; ++i) {
        if (i) out << ' ';
        writeNumber(out, v[i]);
    }
    return out;
}

using Kiln::Param::readNumber;

std::istream& operator>>(std::istream& in, HvVec2& v) { return readNumber(readNumber(in, v.x), v.y); }

std::istream& operator>>(std::istream& in, HvBox2& v) { return in >> v.lo >> v.hi; }

std::istream& operator>>(std::istream& in, KlPointI& v) { return in >> v.x >> v.y; }

std::istream& operator>>(std::istream& in, KlRectI& v) { return in >> v.x0 >> v.y0 >> v.x1 >> v.y1; }

std::istream& operator>>(std::istream& in, KlRGBColF& v)
{
    for (int i = 0; i < 3; ++i) readNumber(in, v[i]);
    return in;
}

std::istream& operator>>(std::istream& in, KlRGBAColF& v)
{
    for (int i = 0; i < 4; ++i) readNumber(in, v[i]);
    return in;
}
