#include "preview/klPreviewFrames.h"

#include "footage/klDemoClip.h"
#include "render/klFrameSource.h"
#include "footage/klPipes.h"
#include "footage/klResample.h"

#include <chrono>
#include <cstdlib>

namespace Kiln::Preview {

using Footage::FootageError;
using Runner::Depth;
using Runner::Image;

struct FrameEngine::Stage {
    std::unique_ptr<Footage::FrameSource> source;
    std::unique_ptr<Runner::Host> host;
    long revision = -1, fresh = -1;  // of the settings the host holds
};

struct FrameEngine::Slot {
    bool done = false;
    FrameResult result;
};

namespace {

std::string rangeText(int a, int b) { return std::to_string(a) + "-" + std::to_string(b); }

}  // namespace

FrameEngine::FrameEngine(const Footage::RenderOptions& options) : options_(options)
{
    if (!(options_.scale > 0 && options_.scale <= 1))
        throw FootageError("", "--scale must be above 0 and at most 1");
    if (options_.threads) setenv("KILN_MAX_PROCESSORS", std::to_string(*options_.threads).c_str(), 1);
    Footage::limitCodecThreads(options_.threads.value_or(0));
    bool still = false, video = false;
    if (options_.demo) {
        reader_ = std::make_unique<Footage::DemoReader>(options_.demoWidth, options_.demoHeight,
                                                        options_.demoFrames,
                                                        options_.rate.value_or(Footage::FrameRate{25, 1}));
    } else {
        if (Footage::isStream(options_.input))
            throw FootageError(options_.input,
                               "the preview reads its frames in any order: give a file, not a "
                               "stream or FIFO");
        const Footage::FootagePath in = Footage::parseInputPath(options_.input);
        if (in.kind == Footage::Kind::Video && options_.rate)
            throw FootageError(in.path,
                               "--fps is for stills and sequences; a video keeps its own frame rate");
        reader_ = Footage::openReader(in, options_.rate.value_or(Footage::FrameRate{25, 1}));
        still = in.kind == Footage::Kind::Still;
        video = in.kind == Footage::Kind::Video;
    }
    const Footage::FootageInfo& info = reader_->info();
    first_ = info.firstFrame;
    last_ = info.firstFrame + info.frameCount - 1;
    if (options_.frames) {
        const auto [a, b] = *options_.frames;
        if (a > b)
            throw FootageError("", "--frames " + rangeText(a, b) + ": the first frame comes after the last");
        if (a < first_ || (!still && b > last_))
            throw FootageError(reader_->name(), "--frames " + rangeText(a, b) +
                                                    " is outside the input's frames " +
                                                    rangeText(first_, last_));
        first_ = a;
        last_ = b;
    }
    depth_ = options_.depth.value_or(info.nativeDepth);
    Footage::checkRenderMemory(info, options_, depth_, video, reader_->name());
    modulePath_ = Footage::findModule(options_.modulePath);
    try {
        module_ = Runner::Module::load(modulePath_);
    } catch (const Runner::RunnerError& e) {
        throw FootageError(modulePath_, e.what());
    }
    // The full-scale host is made now: it says whether the module renders this depth at all.
    Stage& full = stageFor(1);
    if (!full.host->supportsDepth(depth_))
        throw FootageError(modulePath_, std::string("the effect does not render ") +
                                            Runner::depthName(depth_) +
                                            "-bit frames here; choose another --depth");
    worker_ = std::thread([this] { work(); });
}

FrameEngine::~FrameEngine()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        if (busy_ && currentHost_) currentHost_->requestAbort();
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
    stages_.clear();  // hosts before the module
}

const Footage::FootageInfo& FrameEngine::info() const { return reader_->info(); }
const std::string& FrameEngine::inputName() const { return reader_->name(); }

std::pair<int, int> FrameEngine::frameSize() const
{
    return {Footage::scaledSize(info().width, options_.scale),
            Footage::scaledSize(info().height, options_.scale)};
}

FrameEngine::Stage& FrameEngine::stageFor(int divisor)
{
    auto& stage = stages_[divisor];
    if (stage) return *stage;
    auto made = std::make_unique<Stage>();
    const Footage::FootageInfo& in = info();
    // As `watchcam render` makes its host, at the render's scale over `divisor`.
    const Runner::HostSettings settings =
        Footage::renderHostSettings(in, options_, first_, last_, reader_->name(), options_.scale / divisor);
    try {
        made->host = std::make_unique<Runner::Host>(*module_, settings);
    } catch (const Runner::RunnerError& e) {
        throw FootageError(modulePath_, e.what());
    }
    made->source = std::make_unique<Footage::FrameSource>(*reader_, settings.width, settings.height);
    Footage::FrameSource* source = made->source.get();
    made->host->setFrameSource(
        [source](int frame, Depth depth) -> const Image& { return source->frame(frame, depth); });
    stage = std::move(made);
    return *stage;
}

std::string FrameEngine::keyOf(const FrameRequest& r)
{
    return r.client + (r.source ? "/source" : "/effect");
}

void FrameEngine::setControls(const ControlSnapshot& snapshot)
{
    std::lock_guard lock(mutex_);
    controls_ = snapshot;
    if (busy_ && !current_.request.source) {
        currentStale_ = true;
        if (currentHost_) currentHost_->requestAbort();
    }
    wake_.notify_all();
}

FrameResult FrameEngine::render(const FrameRequest& request)
{
    auto slot = std::make_shared<Slot>();
    std::unique_lock lock(mutex_);
    const std::string key = keyOf(request);
    if (const auto it = pending_.find(key); it != pending_.end()) {
        it->second.slot->result.status = FrameResult::Superseded;
        it->second.slot->done = true;
        pending_.erase(it);
    }
    if (busy_ && keyOf(current_.request) == key) {
        currentSuperseded_ = true;
        if (currentHost_) currentHost_->requestAbort();
    }
    pending_[key] = Pending{request, ++order_, slot};
    wake_.notify_all();
    answered_.notify_all();
    answered_.wait(lock, [&] { return slot->done || stopping_; });
    if (!slot->done) slot->result.error = "the preview is ending";
    return slot->result;
}

bool FrameEngine::rendering()
{
    std::lock_guard lock(mutex_);
    return busy_ && currentHost_ != nullptr;
}

long FrameEngine::rendersStarted()
{
    std::lock_guard lock(mutex_);
    return started_;
}

void FrameEngine::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        if (stopping_) break;
        auto next = pending_.begin();
        for (auto it = pending_.begin(); it != pending_.end(); ++it)
            if (it->second.order < next->second.order) next = it;
        current_ = next->second;
        pending_.erase(next);
        busy_ = true;
        currentSuperseded_ = currentStale_ = false;
        const ControlSnapshot snapshot = controls_;
        lock.unlock();
        FrameResult result;
        Stage* stage = nullptr;
        try {
            stage = &stageFor(current_.request.divisor);
        } catch (const std::exception& e) {
            result.error = e.what();
        }
        lock.lock();
        if (stage) {
            currentHost_ = stage->host.get();
            ++started_;
            // Cleared under the lock: a newer request's interruption is never lost.
            currentHost_->clearAbort();
            if (currentSuperseded_ || (currentStale_ && !current_.request.source) || stopping_)
                currentHost_->requestAbort();
            lock.unlock();
            result = renderNow(*stage, current_.request, snapshot);
            lock.lock();
            currentHost_ = nullptr;
        }
        busy_ = false;
        if (currentSuperseded_) {
            current_.slot->result.status = FrameResult::Superseded;
            current_.slot->done = true;
        } else if (currentStale_ || (result.status == FrameResult::Superseded && !stopping_)) {
            // Interrupted by new settings: again with them, unless a newer request came meanwhile.
            const std::string key = keyOf(current_.request);
            if (pending_.count(key) == 0)
                pending_[key] = current_;
            else {
                current_.slot->result.status = FrameResult::Superseded;
                current_.slot->done = true;
            }
        } else {
            current_.slot->result = std::move(result);
            current_.slot->done = true;
        }
        current_ = Pending{};
        answered_.notify_all();
    }
    for (auto& [key, p] : pending_) {
        p.slot->result.error = "the preview is ending";
        p.slot->done = true;
    }
    pending_.clear();
    answered_.notify_all();
}

FrameResult FrameEngine::renderNow(Stage& stage, const FrameRequest& request, const ControlSnapshot& snapshot)
{
    const auto start = std::chrono::steady_clock::now();
    FrameResult result;
    result.revision = snapshot.revision;
    const Footage::FootageInfo& in = info();
    const int frame = std::clamp(request.frame, first_, last_);
    const int index = frame - in.firstFrame;
    // A file without alpha shows as the file the render writes: alpha left out.
    const bool alpha = in.hasAlpha;
    try {
        if (request.source) {
            stage.source->beginRender(index);
            const Image& layer = stage.source->frame(std::min(index, in.frameCount - 1), depth_);
            result.picture = toDisplay(layer, alpha);
        } else {
            if (stage.revision == -1 && stage.fresh == -1)
                stage.fresh = snapshot.fresh;  // a new host: defaults
            if (stage.fresh != snapshot.fresh) {
                // Start again from the module's defaults: a new host, its frames the same.
                const Runner::HostSettings settings = stage.host->settings();
                {
                    std::lock_guard lock(mutex_);
                    currentHost_ = nullptr;
                }
                stage.host.reset();
                stage.host = std::make_unique<Runner::Host>(*module_, settings);
                Footage::FrameSource* source = stage.source.get();
                stage.host->setFrameSource(
                    [source](int f, Depth depth) -> const Image& { return source->frame(f, depth); });
                std::lock_guard lock(mutex_);
                currentHost_ = stage.host.get();
                if (currentSuperseded_ || currentStale_ || stopping_) {
                    result.status = FrameResult::Superseded;
                    return result;
                }
                stage.revision = -1;
                stage.fresh = snapshot.fresh;
            }
            if (stage.revision != snapshot.revision) {
                if (snapshot.settings) snapshot.settings->applyTo(*stage.host, in.firstFrame);
                stage.revision = snapshot.revision;
            }
            stage.source->beginRender(index);
            Image out = stage.host->render(index, depth_);
            stage.source->rethrowPending();
            result.picture = toDisplay(out, alpha);
            stage.host->recycle(std::move(out));
        }
        result.status = FrameResult::Done;
    } catch (const Runner::RenderCancelled&) {
        result.status = FrameResult::Superseded;
    } catch (const std::exception& e) {
        try {
            stage.source->rethrowPending();
            result.error = e.what();
        } catch (const std::exception& read) {
            result.error = read.what();
        }
        result.status = FrameResult::Failed;
    }
    result.milliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return result;
}

}  // namespace Kiln::Preview
