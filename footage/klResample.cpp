#include "footage/klResample.h"

#include "footage/klPixelConvert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace Kiln::Footage {

namespace {

template <class T>
T storeChannel(float v)
{
    if constexpr (std::is_same_v<T, float>)
        return v;
    else
        return T(std::clamp(v + 0.5f, 0.0f, float(std::numeric_limits<T>::max())));
}

}  // namespace

int scaledSize(int size, double scale) { return std::max(1, int(std::lround(double(size) * scale))); }

std::vector<std::vector<Tap>> areaTaps(int inSize, int outSize)
{
    std::vector<std::vector<Tap>> taps(static_cast<size_t>(outSize));
    const double step = double(inSize) / double(outSize);
    for (int o = 0; o < outSize; ++o) {
        const double lo = o * step, hi = (o + 1) * step;
        for (int i = int(std::floor(lo)); i < int(std::ceil(hi)) && i < inSize; ++i) {
            const double cover = std::min(hi, double(i + 1)) - std::max(lo, double(i));
            if (cover > 1e-9) taps[size_t(o)].push_back(Tap{i, float(cover / step)});
        }
    }
    return taps;
}

Runner::Image downsample(const Runner::Image& src, int width, int height)
{
    if (width == src.width && height == src.height) return src;
    const auto across = areaTaps(src.width, width);
    const auto down = areaTaps(src.height, height);
    return withHostType(src.depth, [&](auto zero) {
        using T = decltype(zero);
        Runner::Image out = Runner::Image::make(width, height, src.depth);
        std::vector<float> rows(size_t(width) * 4);  // one output row, before rounding
        for (int y = 0; y < height; ++y) {
            std::fill(rows.begin(), rows.end(), 0.0f);
            for (const Tap& ty : down[size_t(y)]) {
                const T* in = src.row<T>(ty.index);
                for (int x = 0; x < width; ++x) {
                    float acc[4] = {0, 0, 0, 0};
                    for (const Tap& tx : across[size_t(x)])
                        for (int c = 0; c < 4; ++c)
                            acc[c] += tx.weight * float(in[size_t(tx.index) * 4 + size_t(c)]);
                    for (int c = 0; c < 4; ++c) rows[size_t(x) * 4 + size_t(c)] += ty.weight * acc[c];
                }
            }
            T* o = out.row<T>(y);
            for (size_t i = 0; i < rows.size(); ++i) o[i] = storeChannel<T>(rows[i]);
        }
        return out;
    });
}

Runner::Image reorient(const Runner::Image& src, Orientation o)
{
    if (o.identity()) return src;
    const int width = o.swapsSides() ? src.height : src.width,
              height = o.swapsSides() ? src.width : src.height;
    Runner::Image out = Runner::Image::make(width, height, src.depth);
    const size_t pixel = Runner::bytesPerPixel(src.depth);
    const int offX = (o.a < 0 ? src.width - 1 : 0) + (o.c < 0 ? src.height - 1 : 0);
    const int offY = (o.b < 0 ? src.width - 1 : 0) + (o.d < 0 ? src.height - 1 : 0);
    for (int y = 0; y < src.height; ++y) {
        const uint8_t* in = src.pixels.data() + size_t(y) * src.rowBytes;
        for (int x = 0; x < src.width; ++x) {
            const int u = o.a * x + o.c * y + offX, v = o.b * x + o.d * y + offY;
            std::memcpy(out.pixels.data() + size_t(v) * out.rowBytes + size_t(u) * pixel,
                        in + size_t(x) * pixel, pixel);
        }
    }
    return out;
}

}  // namespace Kiln::Footage
