#pragma once
// Pixel types of the image core.
//
// A pixel is Kiln::PixelTemplate over a Kiln::Pixel::Descriptor that names the channel
// order, the stored channel type, the working (arithmetic) type and the channel
// maximum M. Channels lie in memory in the order of their names: ARGB pixels start
// with alpha (channel 0), as the host's pixel records do.
//
// The working pixel keeps the stored range: an 8-bit pixel is worked on as floats in
// 0..255, a 16-bit one in 0..32768 (not 65535), a float one in 0..1. Stages that scale
// by the maximum take M from their own pixel type. Storing a working value into an
// integer channel truncates toward zero and keeps the low bits of the result (modulo
// the channel width); stages that can leave the range clamp first.
#include <cstdint>
#include <type_traits>

namespace Kiln {

namespace Pixel {

enum class Order { ARGB, RGBA, RGB, Single };

// Zero, Max and Max2 are the channel range (Max2 repeats Max); IsInteger is 1 for
// integer storage.
template <Order O, class Stored, class Work, int64_t Zero, int64_t Max, int64_t Max2, int IsInteger>
struct Descriptor {
    static constexpr Order order = O;
    using Channel = Stored;
    using WorkChannel = Work;
    static constexpr int64_t zero = Zero;
    static constexpr int64_t maxValue = Max;
    static constexpr bool isInteger = IsInteger != 0;
};

// Channel storage in memory order, one specialisation per order.
template <Order O, class C>
struct Storage;
template <class C>
struct Storage<Order::ARGB, C> {
    C a, r, g, b;
    static constexpr int channels = 4;
    static constexpr int alphaIndex = 0;
};
template <class C>
struct Storage<Order::RGBA, C> {
    C r, g, b, a;
    static constexpr int channels = 4;
    static constexpr int alphaIndex = 3;
};
template <class C>
struct Storage<Order::RGB, C> {
    C r, g, b;
    static constexpr int channels = 3;
    static constexpr int alphaIndex = -1;
};
template <class C>
struct Storage<Order::Single, C> {
    C v;
    static constexpr int channels = 1;
    static constexpr int alphaIndex = -1;
};

// Working value -> stored channel: truncation toward zero, low bits kept for integers.
template <class To, class From>
inline To storeChannel(From v)
{
    if constexpr (std::is_floating_point_v<To>) {
        return static_cast<To>(v);
    } else if constexpr (std::is_floating_point_v<From>) {
        if constexpr (sizeof(To) < 4)
            return static_cast<To>(static_cast<int32_t>(v));
        else
            return static_cast<To>(static_cast<int64_t>(v));
    } else {
        return static_cast<To>(v);
    }
}

}  // namespace Pixel

template <class D>
struct PixelTemplate : Pixel::Storage<D::order, typename D::Channel> {
    using Descriptor = D;
    using Channel = typename D::Channel;
    using WorkChannel = typename D::WorkChannel;
    using Base = Pixel::Storage<D::order, Channel>;
    // The working pixel: same order, working channel type. It carries no range of its
    // own; the range is M of the stored type.
    using Work = PixelTemplate<Pixel::Descriptor<D::order, WorkChannel, WorkChannel, 0, 1, 1, 0>>;

    static constexpr Pixel::Order order = D::order;
    static constexpr int channels = Base::channels;
    static constexpr int alphaIndex = Base::alphaIndex;
    static constexpr float M = static_cast<float>(D::maxValue);
    static constexpr int64_t maxInt = D::maxValue;
    static constexpr bool isInteger = D::isInteger;

    // Channel by memory index (0 is alpha for ARGB).
    Channel& operator[](int i) { return reinterpret_cast<Channel*>(this)[i]; }
    const Channel& operator[](int i) const { return reinterpret_cast<const Channel*>(this)[i]; }

    // Converted to the working type.
    Work toWork() const
    {
        Work w;
        for (int i = 0; i < channels; ++i) w[i] = static_cast<WorkChannel>((*this)[i]);
        return w;
    }
    // From a working pixel, truncating toward zero for integer channels.
    static PixelTemplate fromWork(const Work& w)
    {
        PixelTemplate p;
        for (int i = 0; i < channels; ++i) p[i] = Pixel::storeChannel<Channel>(w[i]);
        return p;
    }
    // All channels set to one value.
    static PixelTemplate filled(Channel v)
    {
        PixelTemplate p;
        for (int i = 0; i < channels; ++i) p[i] = v;
        return p;
    }
    bool operator==(const PixelTemplate& o) const
    {
        for (int i = 0; i < channels; ++i)
            if (!((*this)[i] == o[i])) return false;
        return true;
    }
};

// Channel-wise conversion between two pixel types of the same order (values are not rescaled).
template <class To, class From>
inline To pixelCast(const From& p)
{
    static_assert(To::order == From::order, "pixelCast needs the same channel order");
    if constexpr (std::is_same_v<To, From>) {
        return p;
    } else {
        To t;
        for (int i = 0; i < To::channels; ++i) t[i] = Pixel::storeChannel<typename To::Channel>(p[i]);
        return t;
    }
}

using PixARGB8 = PixelTemplate<Pixel::Descriptor<Pixel::Order::ARGB, uint8_t, float, 0, 255, 255, 1>>;
using PixARGB16 = PixelTemplate<Pixel::Descriptor<Pixel::Order::ARGB, uint16_t, float, 0, 32768, 32768, 1>>;
using PixARGBF = PixelTemplate<Pixel::Descriptor<Pixel::Order::ARGB, float, float, 0, 1, 1, 0>>;
// The working pixel of the three host depths (the float pixel itself).
using WorkPixel = PixARGBF;

using PixSingle8 = PixelTemplate<Pixel::Descriptor<Pixel::Order::Single, uint8_t, float, 0, 255, 255, 1>>;
using PixSingle16 =
    PixelTemplate<Pixel::Descriptor<Pixel::Order::Single, uint16_t, float, 0, 32768, 32768, 1>>;
using PixSingleF = PixelTemplate<Pixel::Descriptor<Pixel::Order::Single, float, float, 0, 1, 1, 0>>;

using PixRGBAF = PixelTemplate<Pixel::Descriptor<Pixel::Order::RGBA, float, float, 0, 1, 1, 0>>;
// Full signed 32-bit range; worked on in double precision.
using PixRGBA32 =
    PixelTemplate<Pixel::Descriptor<Pixel::Order::RGBA, int32_t, double, 0, 2147483647, 2147483647, 1>>;

static_assert(sizeof(PixARGB8) == 4 && sizeof(PixARGB16) == 8 && sizeof(PixARGBF) == 16);
static_assert(std::is_standard_layout_v<PixARGB8> && std::is_trivially_copyable_v<PixARGB16>);
static_assert(std::is_same_v<PixARGB8::Work, PixARGBF> && std::is_same_v<PixARGBF::Work, PixARGBF>);

}  // namespace Kiln
