#include "footage/klDemoClip.h"

#include "footage/klPixelConvert.h"

#include <algorithm>
#include <cmath>

namespace Kiln::Footage {

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr int kLimit = 16384;  // largest side or frame count the demo makes

float clamp01(float v) { return std::clamp(v, 0.0f, 1.0f); }

DemoColour mix(DemoColour under, DemoColour over, float coverage)
{
    return {under.r + (over.r - under.r) * coverage, under.g + (over.g - under.g) * coverage,
            under.b + (over.b - under.b) * coverage};
}

template <class T>
T store(float v)
{
    if constexpr (std::is_same_v<T, float>)
        return v;
    else
        return T(v * opaque<T>() + 0.5f);
}

}  // namespace

DemoColour demoBar(int bar)
{
    static const DemoColour bars[8] = {{0.75f, 0.75f, 0.75f}, {0.75f, 0.75f, 0}, {0, 0.75f, 0.75f},
                                       {0, 0.75f, 0},         {0.75f, 0, 0.75f}, {0.75f, 0, 0},
                                       {0, 0, 0.75f},         {0, 0, 0}};
    return bars[std::clamp(bar, 0, 7)];
}

DemoFrame::DemoFrame(int frame, int width, int height) : width_(float(width)), height_(float(height))
{
    const float t = float(frame) / 25.0f;  // seconds
    const float s = height_;
    // The disc glides left to right once every four seconds.
    discX_ = (std::fmod(t / 4.0f, 1.0f) * 1.3f - 0.15f) * width_;
    discY_ = 0.45f * s;
    discRadius_ = 0.11f * s;
    // The square turns a quarter turn per second while bouncing between the bars and the ramp.
    squareX_ = 0.72f * width_;
    squareY_ = (0.45f + 0.15f * std::sin(kPi * t)) * s;
    cos_ = std::cos(0.5f * kPi * t);
    sin_ = std::sin(0.5f * kPi * t);
    squareHalf_ = 0.08f * s;
    // The blue of the background depends on the column only.
    blue_.resize(size_t(width));
    for (int x = 0; x < width; ++x) {
        const float u = (float(x) + 0.5f) / width_;
        blue_[size_t(x)] = 0.35f + 0.25f * std::sin(2.0f * kPi * (u * 0.5f + t * 0.2f));
    }
}

DemoColour DemoFrame::at(int x, int y) const
{
    const float px = float(x) + 0.5f, py = float(y) + 0.5f;
    const float u = px / width_, v = py / height_;
    if (v < 0.25f) return demoBar(std::min(7, int(u * 8.0f)));
    if (v >= 0.875f) {
        const float grey = clamp01((u - 0.05f) / 0.9f);
        return {grey, grey, grey};
    }
    DemoColour c{clamp01(0.15f + 0.5f * u), clamp01(0.2f + 0.5f * (v - 0.25f)), blue_[size_t(x)]};

    // Shapes are only worked out near where they are.
    const float ex = px - discX_, ey = py - discY_, reach = discRadius_ + 1.0f;
    if (std::fabs(ex) < reach && std::fabs(ey) < reach) {
        const float disc = clamp01(discRadius_ - std::sqrt(ex * ex + ey * ey) + 0.5f);
        c = mix(c, {0.95f, 0.55f, 0.1f}, disc);
    }
    const float dx = px - squareX_, dy = py - squareY_, corner = squareHalf_ * 1.4143f + 1.0f;
    if (std::fabs(dx) < corner && std::fabs(dy) < corner) {
        const float rx = dx * cos_ + dy * sin_;
        const float ry = -dx * sin_ + dy * cos_;
        const float square = clamp01(squareHalf_ - std::max(std::fabs(rx), std::fabs(ry)) + 0.5f);
        c = mix(c, {0.9f, 0.95f, 1.0f}, square);
    }
    return c;
}

DemoColour demoColour(int x, int y, int frame, int width, int height)
{
    return DemoFrame(frame, width, height).at(x, y);
}

DemoReader::DemoReader(int width, int height, int frames, FrameRate rate)
{
    if (width < 16 || height < 16 || width > kLimit || height > kLimit)
        throw FootageError(name_, "demo size must be between 16x16 and 16384x16384");
    if (frames < 1 || frames > 100000)
        throw FootageError(name_, "demo frame count must be between 1 and 100000");
    info_.width = width;
    info_.height = height;
    info_.frameCount = frames;
    info_.rate = rate;
    info_.nativeDepth = Depth::Eight;
}

Image DemoReader::read(int index, Depth depth)
{
    return withHostType(depth, [&](auto zero) {
        using T = decltype(zero);
        Image image = Image::make(info_.width, info_.height, depth);
        const DemoFrame picture(index, info_.width, info_.height);
        for (int y = 0; y < info_.height; ++y) {
            T* px = image.row<T>(y);
            for (int x = 0; x < info_.width; ++x, px += 4) {
                const DemoColour c = picture.at(x, y);
                px[0] = opaque<T>();
                px[1] = store<T>(c.r);
                px[2] = store<T>(c.g);
                px[3] = store<T>(c.b);
            }
        }
        return image;
    });
}

}  // namespace Kiln::Footage
