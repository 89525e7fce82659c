#include "obs/klObsRenderer.h"

#include "effect/klRenderFrame.h"
#include "exceptions/klException.h"
#include "exceptions/klExceptionStack.h"
#include "obs/klObsHost.h"
#include "wrapper/klFilterSupport.h"
#include "wrapper/klPostProcess.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace Kiln::Obs {

namespace {

// BGRA <-> ARGB: each pixel's four bytes reversed, whatever the machine's byte order. Row bands on the
// worker threads; `from` and `to` may be the same rows.
class ReverseBytes final : public KlMultiProcessor {
public:
    ReverseBytes(const uint8_t* from, int32_t fromStride, uint8_t* to, int32_t toStride, int32_t width,
                 int32_t height)
        : from_(from), to_(to), fromStride_(fromStride), toStride_(toStride), width_(width), height_(height)
    { }

    void process() override
    {
        const KlRowBand band = bandRows(0, height_);
        for (int32_t y = band.begin; y < band.end; ++y) {
            const uint8_t* s = from_ + size_t(y) * size_t(fromStride_);
            uint8_t* d = to_ + size_t(y) * size_t(toStride_);
            for (int32_t x = 0; x < width_; ++x) {
                uint32_t w;
                std::memcpy(&w, s + 4 * size_t(x), 4);
                w = __builtin_bswap32(w);
                std::memcpy(d + 4 * size_t(x), &w, 4);
            }
        }
    }

private:
    const uint8_t* from_;
    uint8_t* to_;
    int32_t fromStride_;
    int32_t toStride_;
    int32_t width_;
    int32_t height_;
};

}  // namespace

FrameRenderer::FrameRenderer() { installHeapMemory(); }

int32_t FrameRenderer::frameNumber(uint64_t ns, Rate rate)
{
    auto count = [&] { return std::round(double(ns - start_) * 1e-9 * rate.fps()); };
    if (!started_ || ns < start_ || !(rate == rate_) || !(count() < 2147483647.0)) {
        started_ = true;
        start_ = ns;
        rate_ = rate;
    }
    return int32_t(count());
}

std::string FrameRenderer::render(const Values& values, uint64_t ns, Rate rate, const uint8_t* in,
                                  int32_t width, int32_t height, int32_t inStride, uint8_t* out,
                                  KlInterruptHook* hook)
{
    const uint64_t before = start_;
    const bool hadStart = started_;
    const int32_t frame = frameNumber(ns, rate);
    const bool restarted = !hadStart || start_ != before;
    const bool resized = current_.isNull() || current_.width() != width || current_.height() != height;
    if (restarted || resized || (hasLast_ && frame < lastFrame_)) hasHeld_ = false;
    hasLast_ = true;
    lastFrame_ = frame;

    const int32_t outStride = width * 4;
    bool converted = false;
    try {
        if (in == nullptr || out == nullptr)
            throw Kiln::Exceptions::NullPointer("Kiln::Obs::FrameRenderer::render", __FILE__, __LINE__,
                                                in == nullptr ? "in" : "out");
        if (resized) {
            current_ = KlTexture<Kiln::PixARGB8>();
            held_ = KlTexture<Kiln::PixARGB8>();
            current_ = KlTexture<Kiln::PixARGB8>(width, height);
        }
        ReverseBytes(in, inStride, reinterpret_cast<uint8_t*>(current_.data()), current_.rowBytes(), width,
                     height)
            .execute();
        converted = true;

        KlTexture<Kiln::PixARGB8> output(reinterpret_cast<Kiln::PixARGB8*>(out), width, height, outStride);
        Host host(values, frame, rate.fps(), output);
        host.sourceClip().setFrames(&current_, hasHeld_ ? &held_ : nullptr, heldFrame_);
        const double time = host.currentTime();
        Kiln::Watchcam::readEveryControl(host, time);
        const Kiln::Wrapper::PostProcessSettings post = Kiln::Wrapper::readPostProcessSettings(host, time);
        Kiln::Watchcam::renderFrame(host, post, output, width, height, hook);
        if (hook != nullptr && hook->interrupted.load() != 0) return "stopped";
        ReverseBytes(out, outStride, out, outStride, width, height).execute();

        // Keep the camera's frame for the frames that follow.
        const SourceClip& clip = host.sourceClip();
        if (clip.stoodIn() || !clip.servedHeld()) {
            if (held_.isNull()) held_ = KlTexture<Kiln::PixARGB8>(width, height);
            std::swap(current_, held_);
            heldFrame_ = clip.stoodIn() ? clip.stoodInFor() : frame;
            hasHeld_ = true;
        }
        return {};
    } catch (...) {
        std::string text = Kiln::Wrapper::failureText();
        Kiln::Exceptions::Stack::clear();
        hasHeld_ = false;
        if (out != nullptr) {
            if (converted)
                ReverseBytes(reinterpret_cast<const uint8_t*>(current_.data()), current_.rowBytes(), out,
                             outStride, width, height)
                    .execute();
            else if (in != nullptr)
                for (int32_t y = 0; y < height; ++y)
                    std::memcpy(out + size_t(y) * size_t(outStride), in + size_t(y) * size_t(inStride),
                                size_t(outStride));
        }
        return text.empty() ? "unknown failure" : text;
    }
}

}  // namespace Kiln::Obs
