#include "preview/klPreviewSession.h"

#include "controls/klControlsTable.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <unistd.h>
#include <csignal>
#include <dirent.h>
#include <sys/stat.h>

namespace Kiln::Preview {

using Footage::ControlOptions;
using json = nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

bool hasValue(const Runner::ControlInfo& c)
{
    switch (c.type) {
    case PF_Param_SLIDER:
    case PF_Param_FIX_SLIDER:
    case PF_Param_ANGLE:
    case PF_Param_CHECKBOX:
    case PF_Param_COLOR:
    case PF_Param_POINT:
    case PF_Param_POPUP: return true;
    default: return false;
    }
}

json numbers(const Runner::ParamValue& v) { return json::array({v.v[0], v.v[1], v.v[2], v.v[3]}); }

// A word of a shell command as it must be typed.
std::string shellWord(const std::string& word)
{
    bool plain = !word.empty();
    for (const char c : word)
        plain = plain &&
                (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_./:=,%+@-#", c) != nullptr);
    if (plain && word[0] != '#') return word;
    std::string out = "'";
    for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

Runner::HostSettings valuesHostSettings()
{
    // As `watchcam controls` makes its host: the values do not depend on a picture.
    Runner::HostSettings s;
    s.width = s.height = 64;
    return s;
}

}  // namespace

struct Session::RenderState {
    std::thread thread;
    std::string state = "idle";  // running, done, failed, cancelled
    std::string output, message;
    std::vector<std::string> notes;
    int done = 0, total = 0;
    Clock::time_point started;
    double seconds = 0;
    Footage::RenderJob* job = nullptr;
    bool cancelling = false;
};

Session::Session(SessionOptions options)
    : options_(std::move(options)), engine_(std::make_unique<FrameEngine>(options_.render)), folders_([&] {
          std::vector<std::string> dirs = {"."};
          const std::string& out = options_.render.output;
          if (!out.empty()) {
              const size_t slash = out.rfind('/');
              dirs.push_back(slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash));
          }
          return dirs;
      }()),
      render_(std::make_unique<RenderState>())
{
    try {
        module_ = Runner::Module::load(engine_->modulePath());
        values_ = std::make_unique<Runner::Host>(*module_, valuesHostSettings());
    } catch (const Runner::RunnerError& e) {
        throw Footage::FootageError(engine_->modulePath(), e.what());
    }
    controls_ = values_->controls();
    const ControlOptions given = Footage::controlOptionsFrom(controls_, options_.presetPath, options_.sets);
    for (const auto& [index, setting] : given.settings()) {
        Entry e;
        e.constant = setting.value;
        for (const Runner::Keyframe& k : setting.keys) e.keys[int(k.first)] = k.second;
        if (e.keys.empty() && e.constant == controls_[size_t(index)].defaultValue) continue;
        entries_[index] = e;
    }
    changed(false);
}

Session::~Session()
{
    cancelRender();
    if (render_->thread.joinable()) render_->thread.join();
}

const Runner::ControlInfo& Session::control(int index) const
{
    if (index < 1 || size_t(index) >= controls_.size() || !hasValue(controls_[size_t(index)]) ||
        controls_[size_t(index)].scriptName.empty())
        throw RequestError(400, "no control number " + std::to_string(index));
    return controls_[size_t(index)];
}

std::string Session::settingText(int index, const Entry& e) const
{
    const Runner::ControlInfo& c = controls_[size_t(index)];
    if (e.keys.empty()) return Footage::formatSettingValue(c, e.constant);
    std::vector<Runner::Keyframe> keys;
    for (const auto& [frame, value] : e.keys) keys.emplace_back(double(frame), value);
    return Footage::formatKeyframes(c, keys);
}

std::vector<std::string> Session::assignments() const
{
    std::vector<std::string> out;
    for (const auto& [index, e] : entries_)
        out.push_back(controls_[size_t(index)].scriptName + "=" + settingText(index, e));
    return out;
}

long Session::changed(bool removed)
{
    // Parsed as the command line parses its --set options: the page renders what the command renders.
    auto settings = std::make_shared<ControlOptions>(controls_);
    for (const std::string& a : assignments()) settings->set(a);
    snapshot_.settings = settings;
    snapshot_.keyFrames.clear();
    for (const auto& [index, e] : entries_)
        for (const auto& [frame, value] : e.keys) snapshot_.keyFrames[index].push_back(frame);
    ++snapshot_.revision;
    if (removed) ++snapshot_.fresh;
    engine_->setControls(snapshot_);
    return snapshot_.revision;
}

ControlSnapshot Session::snapshot() const
{
    std::lock_guard lock(mutex_);
    return snapshot_;
}

std::vector<Runner::ParamValue> Session::valuesAt(const ControlSnapshot& snapshot, int frame)
{
    std::lock_guard lock(valuesMutex_);
    if (valuesRevision_ != snapshot.revision) {
        // A new host each time: taking a setting away leaves nothing of it behind.
        values_.reset();
        values_ = std::make_unique<Runner::Host>(*module_, valuesHostSettings());
        snapshot.settings->applyTo(*values_, engine_->info().firstFrame);
        valuesRevision_ = snapshot.revision;
    }
    std::vector<Runner::ParamValue> out(controls_.size());
    for (const Runner::ControlInfo& c : controls_)
        if (hasValue(c))
            out[size_t(c.index)] = values_->valueAt(c.index, double(frame - engine_->info().firstFrame));
    return out;
}

json Session::describe()
{
    std::lock_guard lock(mutex_);
    const Footage::FootageInfo& in = engine_->info();
    json controls = json::array();
    for (const Runner::ControlInfo& c : controls_) {
        if (c.index == 0) continue;
        json j;
        j["index"] = c.index;
        j["label"] = c.label;
        j["checkbox"] = c.checkboxText;
        j["script"] = c.scriptName;
        j["description"] = c.description;
        j["type"] = c.type == PF_Param_GROUP_END ? std::string("end") : Footage::controlTypeName(c);
        j["value"] = hasValue(c) && !c.scriptName.empty();
        j["animatable"] = c.animatable();
        j["percent"] = c.percent;
        j["precision"] = c.precision;
        j["slider"] = {c.sliderMin, c.sliderMax};
        j["valid"] = {c.validMin, c.validMax};
        j["items"] = c.popupItems;
        j["default"] = numbers(c.defaultValue);
        if (j["value"].get<bool>()) {
            j["defaultText"] = Footage::formatSettingValue(c, c.defaultValue);
            j["accepts"] = Footage::acceptedValues(c);
        }
        controls.push_back(j);
    }
    const auto [w, h] = engine_->frameSize();
    json folders = json::array();
    for (const std::string& f : folders_.folders()) folders.push_back(f);
    char cwd[4096] = {};
    return {
        {"input",
         {{"name", engine_->inputName()},
          {"first", engine_->firstFrame()},
          {"last", engine_->lastFrame()},
          {"fps", in.rate.value()},
          {"width", w},
          {"height", h},
          {"depth", Runner::depthName(engine_->depth())},
          {"alpha", in.hasAlpha}}},
        {"output", options_.render.output},
        {"overwrite", options_.render.overwrite},
        {"folders", folders},
        {"cwd", getcwd(cwd, sizeof cwd - 1) ? std::string(cwd) : std::string()},
        {"effect", module_->registration().name ? module_->registration().name : ""},
        {"controls", controls},
    };
}

json Session::status()
{
    std::lock_guard lock(mutex_);
    const RenderState& r = *render_;
    double elapsed = r.seconds;
    if (r.state == "running") elapsed = std::chrono::duration<double>(Clock::now() - r.started).count();
    json render = {{"state", r.state},   {"output", r.output},   {"done", r.done},  {"total", r.total},
                   {"elapsed", elapsed}, {"message", r.message}, {"notes", r.notes}};
    if (r.state == "running" && r.done > 0) render["left"] = elapsed / r.done * (r.total - r.done);
    json sets = json::array();
    for (const std::string& a : assignments()) sets.push_back(a);
    return {{"revision", snapshot_.revision}, {"command", command()}, {"sets", sets}, {"render", render}};
}

json Session::values(int frame)
{
    const ControlSnapshot snap = snapshot();
    const std::vector<Runner::ParamValue> v = valuesAt(snap, frame);
    std::lock_guard lock(mutex_);
    json list = json::array();
    for (const Runner::ControlInfo& c : controls_) {
        if (!hasValue(c) || c.scriptName.empty()) continue;
        json keys = json::array();
        // The keys of the same settings as the values.
        if (const auto it = snap.keyFrames.find(c.index); it != snap.keyFrames.end())
            for (const int f : it->second) keys.push_back(f);
        const Runner::ParamValue& value = v[size_t(c.index)];
        list.push_back({{"index", c.index},
                        {"v", numbers(value)},
                        {"text", Footage::formatSettingValue(c, value)},
                        {"keys", keys}});
    }
    return {{"revision", snap.revision}, {"frame", frame}, {"controls", list}};
}

long Session::setValue(int index, const std::string& text, int frame)
{
    std::lock_guard lock(mutex_);
    const Runner::ControlInfo& c = control(index);
    Runner::ParamValue v;
    try {
        v = Footage::parseControlValue(c, text);
    } catch (const std::exception& e) {
        throw RequestError(400, e.what());
    }
    auto it = entries_.find(index);
    if (it != entries_.end() && !it->second.keys.empty()) {
        it->second.keys[frame] = v;
        return changed(false);
    }
    if (v == c.defaultValue) {
        const bool removed = it != entries_.end();
        if (removed) entries_.erase(it);
        return removed ? changed(true) : snapshot_.revision;
    }
    entries_[index].constant = v;
    return changed(false);
}

long Session::toggleKey(int index, int frame)
{
    {
        std::lock_guard lock(mutex_);
        const Runner::ControlInfo& c = control(index);
        if (!c.animatable())
            throw RequestError(400, "\"" + Footage::controlDisplayName(c) + "\" cannot vary over time");
    }
    const ControlSnapshot snap = snapshot();
    const Runner::ParamValue v = valuesAt(snap, frame)[size_t(index)];
    std::lock_guard lock(mutex_);
    if (snapshot_.revision != snap.revision) return snapshot_.revision;  // another tab changed it meanwhile
    const Runner::ControlInfo& c = control(index);
    Entry& e = entries_[index];
    if (e.keys.erase(frame) == 0) {
        e.keys[frame] = v;
        return changed(false);
    }
    if (!e.keys.empty()) return changed(false);
    e.constant = v;
    if (v == c.defaultValue) {
        entries_.erase(index);
        return changed(true);
    }
    return changed(false);
}

long Session::clearKeys(int index, int frame)
{
    {
        std::lock_guard lock(mutex_);
        control(index);
    }
    const ControlSnapshot snap = snapshot();
    const Runner::ParamValue v = valuesAt(snap, frame)[size_t(index)];
    std::lock_guard lock(mutex_);
    if (snapshot_.revision != snap.revision) return snapshot_.revision;
    const Runner::ControlInfo& c = control(index);
    const auto it = entries_.find(index);
    if (it == entries_.end() || it->second.keys.empty()) return snapshot_.revision;
    it->second.keys.clear();
    it->second.constant = v;
    if (v == c.defaultValue) {
        entries_.erase(it);
        return changed(true);
    }
    return changed(false);
}

long Session::reset(int index)
{
    std::lock_guard lock(mutex_);
    if (index == -1) {
        const bool removed = !entries_.empty();
        entries_.clear();
        return removed ? changed(true) : snapshot_.revision;
    }
    control(index);
    return entries_.erase(index) ? changed(true) : snapshot_.revision;
}

void Session::openPreset(const std::string& path)
{
    std::string file;
    try {
        file = folders_.resolve(path);
    } catch (const PathRefused& e) {
        throw RequestError(403, e.what());
    }
    std::lock_guard lock(mutex_);
    ControlOptions read(controls_);
    try {
        read.readPreset(file);
    } catch (const std::exception& e) {
        throw RequestError(400, e.what());
    }
    bool removed = false;
    for (const auto& [index, setting] : read.settings()) {
        Entry e;
        e.constant = setting.value;
        for (const Runner::Keyframe& k : setting.keys) e.keys[int(k.first)] = k.second;
        if (e.keys.empty() && e.constant == controls_[size_t(index)].defaultValue) {
            removed = entries_.erase(index) > 0 || removed;
            continue;
        }
        entries_[index] = e;
    }
    changed(removed);
}

void Session::savePreset(const std::string& path, bool overwrite)
{
    std::string file;
    try {
        file = folders_.resolve(path);
    } catch (const PathRefused& e) {
        throw RequestError(403, e.what());
    }
    std::vector<std::string> sets;
    {
        std::lock_guard lock(mutex_);
        sets = assignments();
    }
    try {
        // As `watchcam controls --set ... --write-preset` writes it: through a fresh host, so controls that
        // follow others are written as the module left them.
        Runner::Host host(*module_, valuesHostSettings());
        ControlOptions settings = Footage::controlOptionsFrom(host.controls(), "", sets);
        settings.applyTo(host);
        settings.takeFrom(host);
        settings.writePresetFile(file, overwrite);
    } catch (const std::exception& e) {
        throw RequestError(400, e.what());
    }
}

json Session::presetFiles()
{
    json out = json::array();
    char cwdBuffer[4096] = {};
    const std::string cwd = getcwd(cwdBuffer, sizeof cwdBuffer - 1) ? cwdBuffer : "";
    for (const std::string& folder : folders_.folders()) {
        DIR* dir = opendir(folder.c_str());
        if (!dir) continue;
        std::vector<std::string> names;
        while (const dirent* d = readdir(dir)) {
            const std::string name = d->d_name;
            if (name.empty() || name[0] == '.' || name.size() < 5 || name.substr(name.size() - 4) != ".xml")
                continue;
            struct stat s { };
            if (lstat((folder + "/" + name).c_str(), &s) == 0 && S_ISREG(s.st_mode))
                names.push_back(folder == cwd ? name : folder + "/" + name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& n : names) out.push_back(n);
    }
    return out;
}

void Session::startRender(const std::string& path, bool overwrite)
{
    std::string output = path;
    if (output.empty()) output = options_.render.output;
    if (output.empty()) throw RequestError(400, "no OUTPUT was given to watchcam preview: type a file name");
    if (output != options_.render.output) {
        try {
            output = folders_.resolve(output);
        } catch (const PathRefused& e) {
            throw RequestError(403, e.what());
        }
    }
    std::lock_guard lock(mutex_);
    RenderState& r = *render_;
    if (r.state == "running")
        throw RequestError(409, "a render is running (to " + r.output + "): cancel it or wait");
    if (r.thread.joinable()) r.thread.join();
    Footage::RenderOptions options = options_.render;
    options.output = output;
    options.overwrite = overwrite;
    r.state = "running";
    r.output = output;
    r.message.clear();
    r.notes.clear();
    r.done = 0;
    r.total = 0;
    r.seconds = 0;
    r.cancelling = false;
    r.started = Clock::now();
    r.thread =
        std::thread([this, options, settings = snapshot_.settings] { renderThread(options, settings); });
}

void Session::renderThread(Footage::RenderOptions options, std::shared_ptr<const ControlOptions> controls)
{
    options.progress = [this](int done, int total) {
        std::lock_guard lock(mutex_);
        render_->done = done;
        render_->total = total;
    };
    options.note = [this](const std::string& text) {
        std::lock_guard lock(mutex_);
        render_->notes.push_back(text);
    };
    std::string state = "done", message;
    std::unique_ptr<Footage::RenderJob> job;
    try {
        job = std::make_unique<Footage::RenderJob>(options);
        controls->applyTo(job->host(), job->inputInfo().firstFrame);
        {
            std::lock_guard lock(mutex_);
            render_->job = job.get();
            render_->total = job->lastFrame() - job->firstFrame() + 1;
            if (render_->cancelling) job->requestAbort(SIGINT);
        }
        job->run();
    } catch (const Footage::Interrupted&) {
        state = "cancelled";
    } catch (const std::exception& e) {
        state = "failed";
        message = e.what();
    }
    {
        std::lock_guard lock(mutex_);
        render_->job = nullptr;
    }
    job.reset();  // its temporary files go before the state says it ended
    std::lock_guard lock(mutex_);
    if (state == "failed" && render_->cancelling) state = "cancelled";
    render_->state = state;
    render_->message = message;
    render_->seconds = std::chrono::duration<double>(Clock::now() - render_->started).count();
}

void Session::cancelRender()
{
    std::lock_guard lock(mutex_);
    if (render_->state != "running") return;
    render_->cancelling = true;
    if (render_->job) render_->job->requestAbort(SIGINT);
}

std::string Session::command(const std::string& output) const
{
    std::string out = output.empty() ? options_.render.output : output;
    if (out.empty()) out = "OUTPUT";
    std::string line = "watchcam render ";
    line += options_.render.demo ? std::string("--demo") : shellWord(options_.render.input);
    line += " " + shellWord(out);
    for (const std::string& a : options_.renderArgs) line += " " + shellWord(a);
    for (const std::string& a : assignments()) line += " --set " + shellWord(a);
    return line;
}

}  // namespace Kiln::Preview
