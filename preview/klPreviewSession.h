/*
 * What the page works on, shared by every tab: the control settings, the render it may start, the preset
 * files it opens and saves. Everything a tab sends goes through here, under one lock, and moves the
 * revision on, so that every tab sees the same settings.
 *
 * Settings are kept as `watchcam render` takes them: per control a value or keyframes at input frame
 * numbers, turned into `--set NAME=TEXT` texts and parsed by the command line's own code. What the page
 * shows of a control at a frame comes from a host holding those settings (its interpolation), and the
 * command it shows is those texts: the page never computes a value of its own.
 */
#ifndef KL_PREVIEW_SESSION_H
#define KL_PREVIEW_SESSION_H

#include "preview/klPreviewFrames.h"
#include "preview/klPreviewGuard.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Kiln::Preview {

// A request the page made that cannot be done: the HTTP status and the message the page shows.
class RequestError : public std::runtime_error {
public:
    RequestError(int status, const std::string& message) : std::runtime_error(message), status_(status) { }
    int status() const { return status_; }

private:
    int status_;
};

struct SessionOptions {
    Footage::RenderOptions render;  // output empty when none was given
    std::string presetPath;  // --preset
    std::vector<std::string> sets;  // --set, in order
    // The options of the command line that `watchcam render` takes, as typed (without INPUT, OUTPUT,
    // --preset and --set): the command the page shows repeats them.
    std::vector<std::string> renderArgs;
};

class Session {
public:
    explicit Session(SessionOptions options);
    ~Session();

    FrameEngine& frames() { return *engine_; }

    // Everything a tab needs at load: the input, the controls, the folders, the settings' revision.
    nlohmann::json describe();
    // The settings now: revision, the command, the render's progress.
    nlohmann::json status();
    // Each control's value at input frame `frame` and its keyframes.
    nlohmann::json values(int frame);

    // Each changes the settings and returns the new revision. RequestError for a bad index or value.
    long setValue(int index, const std::string& text, int frame);
    long toggleKey(int index, int frame);
    long clearKeys(int index, int frame);
    long reset(int index);  // -1: every control
    void openPreset(const std::string& path);
    void savePreset(const std::string& path, bool overwrite);
    nlohmann::json presetFiles();

    void startRender(const std::string& path, bool overwrite);
    void cancelRender();

    // `watchcam render` with everything that reproduces the settings, for `output` (empty: OUTPUT, or a
    // placeholder when none was given).
    std::string command(const std::string& output = std::string()) const;

private:
    struct Entry {
        Runner::ParamValue constant;
        std::map<int, Runner::ParamValue> keys;  // by input frame number
    };
    struct RenderState;

    const Runner::ControlInfo& control(int index) const;
    std::string settingText(int index, const Entry& e) const;
    std::vector<std::string> assignments() const;  // "--set" texts, in control order
    // After any change: a new snapshot for the frames, the revision moved on.
    long changed(bool removed);
    // Values at a frame of the settings of `snapshot`, from a host holding them. Called without mutex_
    // held: making that host waits for the module, which may be rendering a frame, and a change of settings
    // must not wait behind it.
    std::vector<Runner::ParamValue> valuesAt(const ControlSnapshot& snapshot, int frame);
    ControlSnapshot snapshot() const;
    void renderThread(Footage::RenderOptions options,
                      std::shared_ptr<const Footage::ControlOptions> controls);

    SessionOptions options_;
    std::unique_ptr<FrameEngine> engine_;
    AllowedFolders folders_;
    std::unique_ptr<Runner::Module> module_;
    std::mutex valuesMutex_;  // the two below
    std::unique_ptr<Runner::Host> values_;  // holds the settings, for values at a frame
    long valuesRevision_ = -1;
    std::vector<Runner::ControlInfo> controls_;

    mutable std::mutex mutex_;
    std::map<int, Entry> entries_;  // controls the user changed from their defaults
    ControlSnapshot snapshot_;
    std::unique_ptr<RenderState> render_;
};

}  // namespace Kiln::Preview

#endif
