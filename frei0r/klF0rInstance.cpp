#include "frei0r/klF0rInstance.h"

#include "effect/klRenderFrame.h"
#include "effect/klTimeRemap.h"
#include "exceptions/klException.h"
#include "exceptions/klExceptionStack.h"
#include "frei0r/klF0rHost.h"
#include "image/klDataHandle.h"
#include "image/klMultiProcessor.h"
#include "wrapper/klPostProcess.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <utility>

namespace Kiln::Frei0r {

namespace {

class HeapMemory final : public Kiln::Memory::HostMemoryService {
public:
    void* allocate(size_t bytes) override { return std::malloc(bytes); }
    void release(void* block) override { std::free(block); }
};

// RGBA bytes <-> ARGB bytes, row bands on the worker threads. In 32-bit words read on a little-endian
// machine RGBA is A<<24 | B<<16 | G<<8 | R and ARGB is B<<24 | G<<16 | R<<8 | A: one rotation by 8.
class ReorderRows final : public KlMultiProcessor {
public:
    enum class To { ARGB, RGBA };

    ReorderRows(const uint32_t* from, int32_t fromStride, uint32_t* to, int32_t toStride, int32_t width,
                int32_t height, To order)
        : from_(from), to_(to), fromStride_(fromStride), toStride_(toStride), width_(width), height_(height),
          order_(order)
    { }

    void process() override
    {
        const KlRowBand band = bandRows(0, height_);
        for (int32_t y = band.begin; y < band.end; ++y) {
            const uint32_t* s = from_ + size_t(y) * size_t(fromStride_);
            uint32_t* d = to_ + size_t(y) * size_t(toStride_);
            if (order_ == To::ARGB)
                for (int32_t x = 0; x < width_; ++x) d[x] = toARGB(s[x]);
            else
                for (int32_t x = 0; x < width_; ++x) d[x] = toRGBA(s[x]);
        }
    }

private:
    static uint32_t toARGB(uint32_t w)
    {
        if constexpr (std::endian::native == std::endian::little) return std::rotl(w, 8);
        return std::rotr(w, 8);
    }
    static uint32_t toRGBA(uint32_t w)
    {
        if constexpr (std::endian::native == std::endian::little) return std::rotr(w, 8);
        return std::rotl(w, 8);
    }

    const uint32_t* from_;
    uint32_t* to_;
    int32_t fromStride_;
    int32_t toStride_;
    int32_t width_;
    int32_t height_;
    To order_;
};

// Words per row of a texture (its rows are padded to 16 bytes).
int32_t wordsPerRow(const KlTexture<Kiln::PixARGB8>& t) { return t.rowBytes() / int32_t(sizeof(uint32_t)); }

std::string failureText()
{
    try {
        throw;
    } catch (const Kiln::Exceptions::ExceptionI& e) {
        return e.message();
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

}  // namespace

void installHeapMemory()
{
    static HeapMemory heap;
    static std::once_flag once;
    std::call_once(once, [] {
        if (Kiln::Memory::hostMemoryService() == nullptr) Kiln::Memory::setHostMemoryService(&heap);
    });
}

Instance::Instance(int32_t width, int32_t height) : width_(width), height_(height) { installHeapMemory(); }

int32_t Instance::frameNumber(double seconds) const
{
    const double n = std::round(seconds * values_.number(paramIndex(kFootageFps)));
    if (std::isfinite(n) && n >= 0.0 && n < 2147483647.0) return int32_t(n);
    return hasLast_ && lastFrame_ < 2147483647 ? lastFrame_ + 1 : 0;
}

std::string Instance::update(double seconds, const uint32_t* in, uint32_t* out)
{
    const int32_t frame = frameNumber(seconds);
    const bool inOrder = hasLast_ && (frame == lastFrame_ || frame == lastFrame_ + 1);
    if (!inOrder) hasHeld_ = false;
    hasLast_ = true;
    lastFrame_ = frame;

    bool converted = false;
    try {
        if (in == nullptr || out == nullptr)
            throw Kiln::Exceptions::NullPointer("Kiln::Frei0r::Instance::update", __FILE__, __LINE__,
                                                in == nullptr ? "inframe" : "outframe");
        if (current_.isNull()) current_ = KlTexture<Kiln::PixARGB8>(width_, height_);
        ReorderRows(in, width_, reinterpret_cast<uint32_t*>(current_.data()), wordsPerRow(current_), width_,
                    height_, ReorderRows::To::ARGB)
            .execute();
        converted = true;
        render(frame, out);
        return {};
    } catch (...) {
        std::string text = failureText();
        Kiln::Exceptions::Stack::clear();
        hasHeld_ = false;
        // The input again, from the converted copy when there is one (the host may filter in place).
        if (converted) {
            ReorderRows(reinterpret_cast<const uint32_t*>(current_.data()), wordsPerRow(current_), out,
                        width_, width_, height_, ReorderRows::To::RGBA)
                .execute();
        } else if (in != nullptr && out != nullptr && in != out) {
            std::memcpy(out, in, size_t(width_) * size_t(height_) * sizeof(uint32_t));
        }
        return text.empty() ? "unknown failure" : text;
    }
}

void Instance::render(int32_t frame, uint32_t* out)
{
    KlTexture<Kiln::PixARGB8> output(reinterpret_cast<Kiln::PixARGB8*>(out), width_, height_,
                                     width_ * int32_t(sizeof(uint32_t)));
    Host host(values_, frame, output);
    host.sourceClip().setFrames(&current_, hasHeld_ ? &held_ : nullptr, heldFrame_);
    const double time = host.currentTime();
    Kiln::Watchcam::readEveryControl(host, time);
    const Kiln::Wrapper::PostProcessSettings post = Kiln::Wrapper::readPostProcessSettings(host, time);
    Kiln::Watchcam::renderFrame(host, post, output, width_, height_, nullptr);
    ReorderRows(out, width_, out, width_, width_, height_, ReorderRows::To::RGBA).execute();

    // Keep the camera's frame for the frames that follow.
    const Clip& clip = host.sourceClip();
    if (clip.stoodIn()) {
        std::swap(current_, held_);
        heldFrame_ = clip.stoodInFor();
        hasHeld_ = true;
    } else if (!clip.servedHeld()) {
        std::swap(current_, held_);
        heldFrame_ = frame;
        hasHeld_ = true;
    }
}

}  // namespace Kiln::Frei0r
