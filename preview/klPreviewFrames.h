/*
 * The frames the page shows, rendered one at a time on a thread of their own.
 *
 * The input, the module and the host are set up as `watchcam render` sets them up for the same options
 * (time base, layer size and downsample at a render scale, pixel aspect, quality, render path, depth), so a
 * frame is the one a render makes. Each preview scale (the render's own scale, 1/2, 1/4 of it) has a host
 * of its own, as a host at draft resolution has.
 *
 * Latest request wins: each client (a page) has at most one request waiting per view; a newer one
 * answers the older as superseded, and interrupts it when it is the one being rendered. New control
 * settings interrupt a render made with older ones, which then starts again with the new.
 */
#ifndef KL_PREVIEW_FRAMES_H
#define KL_PREVIEW_FRAMES_H

#include "controls/klControlOptions.h"
#include "render/klRenderJob.h"
#include "preview/klPreviewPng.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Kiln::Footage {
class FrameSource;
}

namespace Kiln::Preview {

// The control values to render with. `settings` is applied over the module's defaults; `fresh` counts the
// times a setting was taken away, after which a host starts again from the defaults (a module may move one
// control when another changes, so taking a setting away is not the same as setting the default).
struct ControlSnapshot {
    std::shared_ptr<const Footage::ControlOptions> settings;
    long revision = 0;
    long fresh = 0;
    std::map<int, std::vector<int>> keyFrames;  // frames of the keys by control, for the page
};

struct FrameRequest {
    std::string client;  // one page
    int frame = 0;  // input frame number
    int divisor = 1;  // preview scale: 1, 2 or 4
    bool source = false;  // the input layer instead of the effect
};

struct FrameResult {
    enum Status { Done, Superseded, Failed } status = Failed;
    DisplayPicture picture;
    long revision = 0;  // of the settings it was rendered with
    double milliseconds = 0;  // rendering and converting
    std::string error;
};

class FrameEngine {
public:
    // Opens the input and loads the module; FootageError as `watchcam render` reports it.
    explicit FrameEngine(const Footage::RenderOptions& options);
    ~FrameEngine();
    FrameEngine(const FrameEngine&) = delete;
    FrameEngine& operator=(const FrameEngine&) = delete;

    const Footage::FootageInfo& info() const;
    const std::string& inputName() const;
    int firstFrame() const { return first_; }  // of the timeline (--frames or the input's)
    int lastFrame() const { return last_; }
    Runner::Depth depth() const { return depth_; }
    const std::string& modulePath() const { return modulePath_; }
    // The size of the frames the render makes (at the render's --scale).
    std::pair<int, int> frameSize() const;

    void setControls(const ControlSnapshot& snapshot);
    // Blocks until the frame is rendered, superseded or failed.
    FrameResult render(const FrameRequest& request);

    // For tests: whether a frame is being rendered, and how many renders began.
    bool rendering();
    long rendersStarted();

private:
    struct Stage;
    struct Slot;
    struct Pending {
        FrameRequest request;
        long order = 0;
        std::shared_ptr<Slot> slot;
    };

    void work();
    Stage& stageFor(int divisor);
    FrameResult renderNow(Stage& stage, const FrameRequest& request, const ControlSnapshot& snapshot);
    static std::string keyOf(const FrameRequest& r);

    Footage::RenderOptions options_;
    std::unique_ptr<Footage::FootageReader> reader_;
    std::unique_ptr<Runner::Module> module_;
    std::string modulePath_;
    int first_ = 0, last_ = 0;
    Runner::Depth depth_ = Runner::Depth::Eight;
    std::map<int, std::unique_ptr<Stage>> stages_;  // by divisor; only the worker touches them

    std::mutex mutex_;
    std::condition_variable wake_, answered_;
    ControlSnapshot controls_;
    std::map<std::string, Pending> pending_;  // by client and view
    long order_ = 0;
    long started_ = 0;
    // The request being rendered.
    bool busy_ = false;
    Pending current_;
    Runner::Host* currentHost_ = nullptr;
    bool currentSuperseded_ = false, currentStale_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace Kiln::Preview

#endif
