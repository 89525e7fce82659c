#include "frei0r/klF0rInstance.h"

#include "effect/klRenderFrame.h"
#include "effect/klTimeRemap.h"
#include "exceptions/klException.h"
#include "exceptions/klExceptionStack.h"
#include "frei0r/klF0rHost.h"
#include "image/klMultiProcessor.h"
#include "wrapper/klFilterSupport.h"
#include "wrapper/klPostProcess.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <memory>
#include <utility>

namespace Kiln::Frei0r {

using namespace std::chrono_literals;

namespace {

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

// Whether some frame may hold `frame`'s source: the frames the time remapping drops to are
// trunc(i * hostFps / cameraFps) for whole i (a camera rate of 0 holds nothing).
bool mayBeHeld(int32_t frame, double hostFps, double cameraFps)
{
    if (!(cameraFps > 0.0) || !(hostFps > 0.0)) return false;
    const double ratio = hostFps / cameraFps;
    const double i0 = std::floor(double(frame) / ratio);
    for (double i = std::max(0.0, i0 - 1.0); i <= i0 + 2.0; ++i)
        if (Kiln::Watchcam::truncToInt(i * ratio) == frame) return true;
    return false;
}

bool usableTime(double seconds) { return std::isfinite(seconds) && seconds >= 0.0 && seconds < 1e7; }

}  // namespace

Instance::Instance(int32_t width, int32_t height) : width_(width), height_(height), frames_(width, height)
{
    installHeapMemory();
}

Instance::SetResult Instance::set(int32_t index, const void* value)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!values_.set(index, value)) return SetResult::Refused;
    if (kParams[size_t(index)].type == ParamType::String) {
        // Where the host keeps the text: the same for the instances it makes of one filter (MLT).
        choiceTexts_[size_t(index)] = reinterpret_cast<uintptr_t>(*static_cast<const char* const*>(value));
        uint64_t mark = 0;
        for (uintptr_t t : choiceTexts_) mark = mark * 1099511628211ull ^ uint64_t(t);
        frames_.setFilterMark(mark);
    }
    const std::thread::id me = std::this_thread::get_id();
    auto p = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& q) { return q.thread == me; });
    if (p == pending_.end()) p = pending_.insert(pending_.end(), Pending{me, values_, {}});
    p->values.take(values_, index);
    p->set.set(size_t(index));
    return values_.clamped(index) ? SetResult::Clamped : SetResult::Set;
}

void Instance::get(int32_t index, void* value) const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    values_.get(index, value);
}

double Instance::footageRateLocked() const
{
    const double user = values_.number(paramIndex(kFootageFps));
    if (user > 0.0) return user;
    return derivedRate_ > 0.0 ? derivedRate_ : kFallbackRate;
}

double Instance::footageRate() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return footageRateLocked();
}

int32_t Instance::frameNumberLocked(double seconds) const
{
    const double n = std::round(seconds * footageRateLocked());
    if (usableTime(seconds) && n < 2147483647.0) return int32_t(n);
    return hasLast_ && lastFrame_ < 2147483647 ? lastFrame_ + 1 : 0;
}

int32_t Instance::frameNumber(double seconds) const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return frameNumberLocked(seconds);
}

int32_t Instance::lastFrame() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return lastFrame_;
}

std::string Instance::update(double seconds, const uint32_t* in, uint32_t* out)
{
    ParamValues values;
    int32_t frame = 0;
    double rate = kFallbackRate;
    std::chrono::milliseconds wait{0};
    {
        std::unique_lock<std::mutex> lock(mutex_);
        values = values_;
        // Only an instance's first frame waits for a second time (a seek waits once).
        wait = firstFrame_ ? kSecondTimeWait : 0ms;
        firstFrame_ = false;
        const std::thread::id me = std::this_thread::get_id();
        if (auto p = std::find_if(pending_.begin(), pending_.end(),
                                  [&](const Pending& q) { return q.thread == me; });
            p != pending_.end()) {
            for (int32_t i = 0; i < kParamCount; ++i)
                if (p->set.test(size_t(i))) values.take(p->values, i);
            pending_.erase(p);
        }
    }
    // The rate may wait for another thread's frame: not under the instance's lock.
    const double user = values.number(paramIndex(kFootageFps));
    const double derived = usableTime(seconds) ? frames_.noteTime(seconds, user == 0.0 ? wait : 0ms) : 0.0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (derived > 0.0) derivedRate_ = derived;
        rate = user > 0.0 ? user : (derivedRate_ > 0.0 ? derivedRate_ : kFallbackRate);
        const double n = std::round(seconds * rate);
        frame = usableTime(seconds) && n < 2147483647.0 ? int32_t(n)
                : hasLast_ && lastFrame_ < 2147483647   ? lastFrame_ + 1
                                                        : 0;
        hasLast_ = true;
        lastFrame_ = frame;
    }

    frames_.begin(frame);
    std::shared_ptr<KlTexture<Kiln::PixARGB8>> source;
    try {
        if (in == nullptr || out == nullptr)
            throw Kiln::Exceptions::NullPointer("Kiln::Frei0r::Instance::update", __FILE__, __LINE__,
                                                in == nullptr ? "inframe" : "outframe");
        auto converted = std::make_shared<KlTexture<Kiln::PixARGB8>>(width_, height_);
        ReorderRows(in, width_, reinterpret_cast<uint32_t*>(converted->data()), wordsPerRow(*converted),
                    width_, height_, ReorderRows::To::ARGB)
            .execute();
        source = std::move(converted);
        const double cameraFps = values.number(paramIndex("framesPerSec"));
        frames_.arrived(frame, source, mayBeHeld(frame, rate, cameraFps));
        render(values, frame, rate, source, out);
        return {};
    } catch (...) {
        std::string text = Kiln::Wrapper::failureText();
        Kiln::Exceptions::Stack::clear();
        if (source == nullptr) frames_.abandoned(frame);
        // The input again, from the converted copy when there is one (the host may filter in place).
        if (source != nullptr && out != nullptr) {
            ReorderRows(reinterpret_cast<const uint32_t*>(source->data()), wordsPerRow(*source), out, width_,
                        width_, height_, ReorderRows::To::RGBA)
                .execute();
        } else if (in != nullptr && out != nullptr && in != out) {
            std::memcpy(out, in, size_t(width_) * size_t(height_) * sizeof(uint32_t));
        }
        return text.empty() ? "unknown failure" : text;
    }
}

void Instance::render(const ParamValues& values, int32_t frame, double rate, const SharedFrame& source,
                      uint32_t* out)
{
    KlTexture<Kiln::PixARGB8> output(reinterpret_cast<Kiln::PixARGB8*>(out), width_, height_,
                                     width_ * int32_t(sizeof(uint32_t)));
    Host host(values, frame, rate, output);
    host.sourceClip().setFrames(source.get(),
                                [&](int32_t wanted) { return frames_.frameFor(wanted, frame, source); });
    const double time = host.currentTime();
    Kiln::Watchcam::readEveryControl(host, time);
    const Kiln::Wrapper::PostProcessSettings post = Kiln::Wrapper::readPostProcessSettings(host, time);
    Kiln::Watchcam::renderFrame(host, post, output, width_, height_, nullptr, &held_);
    ReorderRows(out, width_, out, width_, width_, height_, ReorderRows::To::RGBA).execute();
}

}  // namespace Kiln::Frei0r
