#include "obs/klObsFilter.h"

#include "effect/klWatchcamParams.h"
#include "obs/klObsSettings.h"
#include "obs/klObsWorker.h"

#include <obs-module.h>
#include <util/platform.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace Kiln::Obs {

namespace {

using Kiln::Watchcam::ControlSpec;
using Kiln::Watchcam::ControlType;
using Kiln::Watchcam::kControls;

// How long the graphics thread waits for the first frame of a size.
constexpr std::chrono::milliseconds kFirstFrameWait{1000};

struct FrameKey {
    uint64_t ns = 0;
    uint64_t generation = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    bool operator==(const FrameKey&) const = default;
};

struct Filter {
    explicit Filter(obs_source_t* source)
        : context(source), worker(std::make_unique<Worker>([source](const std::string& failure) {
              blog(LOG_WARNING, "[Security Camera] '%s': frame left unfiltered: %s",
                   obs_source_get_name(source), failure.c_str());
          }))
    { }

    obs_source_t* context;

    std::mutex valuesMutex;  // the values are set on OBS's UI thread and read on the graphics thread
    Values values;
    uint64_t generation = 0;
    std::array<std::string, Kiln::Watchcam::kControlCount> complaints;  // what the log last said per control

    std::atomic<uint64_t> asyncTimestamp{0};
    std::atomic<bool> hasAsyncFrame{false};

    std::unique_ptr<Worker> worker;

    // The graphics thread's.
    gs_texrender_t* texrender = nullptr;
    gs_stagesurf_t* stage = nullptr;
    gs_texture_t* texture = nullptr;
    uint64_t uploaded = 0;
    FrameResult result;
    FrameKey lastKey;
    bool hasKey = false;
    // For the log when the filter goes: frames handed to the worker, and new frames that found it busy.
    uint64_t submittedFrames = 0;
    uint64_t busyFrames = 0;
    // Time the graphics thread spent in the filter (reading back, uploading, drawing), and its calls.
    uint64_t renderNs = 0;
    uint64_t renderCalls = 0;
    uint64_t readBackNs = 0;  // of which reading back and handing over frames
};

const char* labelOf(const ControlSpec& c) { return c.label[0] != '\0' ? c.label : c.checkboxText; }

// ---- settings ---------------------------------------------------------------------------------

void readSetting(Filter& f, obs_data_t* settings, const ControlSpec& c)
{
    obs_data_item_t* item = obs_data_item_byname(settings, c.scriptName);
    if (item == nullptr) return;
    std::string why;
    Outcome outcome = Outcome::Taken;
    const obs_data_type type = obs_data_item_gettype(item);
    switch (c.type) {
    case ControlType::Checkbox:
        if (type == OBS_DATA_BOOLEAN)
            outcome = f.values.setNumber(c.index, obs_data_item_get_bool(item) ? 1.0 : 0.0, why);
        else if (type == OBS_DATA_NUMBER)
            outcome = f.values.setNumber(c.index, obs_data_item_get_double(item), why);
        else
            outcome = Outcome::Refused;
        break;
    case ControlType::Popup:
        if (type == OBS_DATA_STRING) {
            const char* text = obs_data_item_get_string(item);
            outcome = f.values.setChoice(c.index, text != nullptr ? text : "", why);
        } else {
            outcome = Outcome::Refused;
        }
        break;
    case ControlType::Colour:
        if (type == OBS_DATA_NUMBER)
            outcome = f.values.setColour(c.index, uint32_t(obs_data_item_get_int(item)), why);
        else
            outcome = Outcome::Refused;
        break;
    default:
        if (type == OBS_DATA_NUMBER)
            outcome = f.values.setNumber(c.index, obs_data_item_get_double(item), why);
        else
            outcome = Outcome::Refused;
        break;
    }
    obs_data_item_release(&item);
    if (outcome == Outcome::Refused && why.empty())
        why = std::string("\"") + labelOf(c) + "\": a value of the wrong type refused";
    std::string& said = f.complaints[size_t(c.index)];
    if (!why.empty() && why != said)
        blog(LOG_WARNING, "[Security Camera] '%s': %s", obs_source_get_name(f.context), why.c_str());
    said = why;
}

void update(void* data, obs_data_t* settings)
{
    auto& f = *static_cast<Filter*>(data);
    std::lock_guard<std::mutex> lock(f.valuesMutex);
    for (const ControlSpec& c : kControls)
        if (isSetting(c)) readSetting(f, settings, c);
    ++f.generation;
}

void defaults(obs_data_t* settings)
{
    for (const ControlSpec& c : kControls) {
        if (!isSetting(c)) continue;
        switch (c.type) {
        case ControlType::Checkbox: obs_data_set_default_bool(settings, c.scriptName, c.dflt != 0); break;
        case ControlType::Popup:
            obs_data_set_default_string(settings, c.scriptName,
                                        Kiln::Watchcam::choiceNames(c)[size_t(defaultEntry(c))].c_str());
            break;
        case ControlType::Colour:
            obs_data_set_default_int(settings, c.scriptName, defaultObsColour(c));
            break;
        case ControlType::IntSlider:
            obs_data_set_default_int(settings, c.scriptName, (long long)c.dflt);
            break;
        default: obs_data_set_default_double(settings, c.scriptName, c.dflt); break;
        }
    }
}

obs_property_t* addProperty(obs_properties_t* props, const ControlSpec& c)
{
    switch (c.type) {
    case ControlType::Checkbox: return obs_properties_add_bool(props, c.scriptName, labelOf(c));
    case ControlType::Popup: {
        obs_property_t* p = obs_properties_add_list(props, c.scriptName, c.label, OBS_COMBO_TYPE_LIST,
                                                    OBS_COMBO_FORMAT_STRING);
        for (const std::string& name : Kiln::Watchcam::choiceNames(c))
            obs_property_list_add_string(p, name.c_str(), name.c_str());
        return p;
    }
    case ControlType::Colour: return obs_properties_add_color(props, c.scriptName, c.label);
    case ControlType::IntSlider:
        return obs_properties_add_int_slider(props, c.scriptName, c.label, int(c.sliderMin), int(c.sliderMax),
                                             1);
    default: {
        obs_property_t* p = obs_properties_add_float_slider(props, c.scriptName, c.label, c.sliderMin,
                                                            c.sliderMax, sliderStep(c));
        if (Kiln::Watchcam::kControlTexts[c.index].percent) obs_property_float_set_suffix(p, "%");
        return p;
    }
    }
}

obs_properties_t* properties(void*)
{
    obs_properties_t* top = obs_properties_create();
    obs_properties_t* props = top;
    for (const ControlSpec& c : kControls) {
        if (c.type == ControlType::GroupStart) {
            props = obs_properties_create();
            const std::string key = "group" + std::to_string(c.index);
            obs_property_t* g = obs_properties_add_group(top, key.c_str(), c.label, OBS_GROUP_NORMAL, props);
            obs_property_set_long_description(g, Kiln::Watchcam::kControlTexts[c.index].description);
        } else if (c.type == ControlType::GroupEnd) {
            props = top;
        } else if (isSetting(c)) {
            obs_property_t* p = addProperty(props, c);
            obs_property_set_long_description(p, Kiln::Watchcam::kControlTexts[c.index].description);
        }
    }
    return top;
}

// ---- life -------------------------------------------------------------------------------------

const char* name(void*) { return obs_module_text("SecurityCamera"); }

void* create(obs_data_t* settings, obs_source_t* source)
{
    try {
        auto* f = new Filter(source);
        update(f, settings);
        return f;
    } catch (const std::exception& e) {
        blog(LOG_ERROR, "[Security Camera] cannot start the filter: %s", e.what());
        return nullptr;
    }
}

void destroy(void* data)
{
    auto* f = static_cast<Filter*>(data);
    blog(LOG_INFO,
         "[Security Camera] '%s': %llu frames filtered, %llu new frames left out while the worker was busy, "
         "%.2f ms on the graphics thread per call (%llu calls), %.2f ms per frame read back",
         obs_source_get_name(f->context), (unsigned long long)f->submittedFrames,
         (unsigned long long)f->busyFrames,
         f->renderCalls != 0 ? double(f->renderNs) / double(f->renderCalls) / 1e6 : 0.0,
         (unsigned long long)f->renderCalls,
         f->submittedFrames != 0 ? double(f->readBackNs) / double(f->submittedFrames) / 1e6 : 0.0);
    // Stops the frame in flight and joins the worker before the graphics objects go.
    f->worker.reset();
    obs_enter_graphics();
    gs_texrender_destroy(f->texrender);
    gs_stagesurface_destroy(f->stage);
    gs_texture_destroy(f->texture);
    obs_leave_graphics();
    delete f;
}

obs_source_frame* filterVideo(void* data, obs_source_frame* frame)
{
    auto& f = *static_cast<Filter*>(data);
    f.asyncTimestamp.store(frame->timestamp);
    f.hasAsyncFrame.store(true);
    return frame;
}

// ---- frames -----------------------------------------------------------------------------------

// Draws the source below the filter into the texrender and hands its pixels to the worker; the
// submission's serial number, 0 when nothing was submitted.
uint64_t readBack(Filter& f, obs_source_t* target, obs_source_t* parent, uint32_t cx, uint32_t cy,
                  const FrameJob& job)
{
    if (f.texrender == nullptr) f.texrender = gs_texrender_create(GS_BGRA, GS_ZS_NONE);
    if (f.texrender == nullptr) return 0;
    gs_texrender_reset(f.texrender);
    gs_blend_state_push();
    gs_blend_function(GS_BLEND_ONE, GS_BLEND_ZERO);
    bool drawn = false;
    if (gs_texrender_begin(f.texrender, cx, cy)) {
        vec4 clear;
        vec4_zero(&clear);
        gs_clear(GS_CLEAR_COLOR, &clear, 0.0f, 0);
        gs_ortho(0.0f, float(cx), 0.0f, float(cy), -100.0f, 100.0f);
        const uint32_t flags = obs_source_get_output_flags(target);
        if (target == parent && (flags & OBS_SOURCE_CUSTOM_DRAW) == 0 && (flags & OBS_SOURCE_ASYNC) == 0)
            obs_source_default_render(target);
        else
            obs_source_video_render(target);
        gs_texrender_end(f.texrender);
        drawn = true;
    }
    gs_blend_state_pop();
    if (!drawn) return 0;

    if (f.stage != nullptr &&
        (gs_stagesurface_get_width(f.stage) != cx || gs_stagesurface_get_height(f.stage) != cy)) {
        gs_stagesurface_destroy(f.stage);
        f.stage = nullptr;
    }
    if (f.stage == nullptr) f.stage = gs_stagesurface_create(cx, cy, GS_BGRA);
    if (f.stage == nullptr) return 0;
    gs_stage_texture(f.stage, gs_texrender_get_texture(f.texrender));
    uint8_t* pixels = nullptr;
    uint32_t linesize = 0;
    if (!gs_stagesurface_map(f.stage, &pixels, &linesize)) return 0;
    uint64_t serial = 0;
    try {
        serial = f.worker->submit(job, pixels, int32_t(cx), int32_t(cy), int32_t(linesize));
    } catch (const std::bad_alloc&) {
        blog(LOG_WARNING, "[Security Camera] '%s': out of memory for a %ux%u frame",
             obs_source_get_name(f.context), cx, cy);
    }
    gs_stagesurface_unmap(f.stage);
    return serial;
}

void draw(Filter& f, uint32_t cx, uint32_t cy)
{
    const uint32_t w = uint32_t(f.result.width);
    const uint32_t h = uint32_t(f.result.height);
    if (f.texture != nullptr &&
        (gs_texture_get_width(f.texture) != w || gs_texture_get_height(f.texture) != h)) {
        gs_texture_destroy(f.texture);
        f.texture = nullptr;
    }
    if (f.texture == nullptr) {
        f.texture = gs_texture_create(w, h, GS_BGRA, 1, nullptr, GS_DYNAMIC);
        f.uploaded = 0;
    }
    if (f.texture == nullptr) return;
    if (f.uploaded != f.result.serial) {
        gs_texture_set_image(f.texture, f.result.pixels.data(), w * 4, false);
        f.uploaded = f.result.serial;
    }
    // The bytes as they are: the effect's 8-bit picture is what the source shows.
    const bool srgb = gs_framebuffer_srgb_enabled();
    gs_enable_framebuffer_srgb(false);
    gs_effect_t* effect = obs_get_base_effect(OBS_EFFECT_DEFAULT);
    gs_effect_set_texture(gs_effect_get_param_by_name(effect, "image"), f.texture);
    while (gs_effect_loop(effect, "Draw")) gs_draw_sprite(f.texture, 0, cx, cy);
    gs_enable_framebuffer_srgb(srgb);
}

void filterFrame(Filter& f);

void videoRender(void* data, gs_effect_t*)
{
    auto& f = *static_cast<Filter*>(data);
    const uint64_t start = os_gettime_ns();
    filterFrame(f);
    f.renderNs += os_gettime_ns() - start;
    ++f.renderCalls;
}

void filterFrame(Filter& f)
{
    obs_source_t* target = obs_filter_get_target(f.context);
    obs_source_t* parent = obs_filter_get_parent(f.context);
    const uint32_t cx = target != nullptr ? obs_source_get_base_width(target) : 0;
    const uint32_t cy = target != nullptr ? obs_source_get_base_height(target) : 0;
    if (parent == nullptr || cx == 0 || cy == 0) {
        obs_source_skip_video_filter(f.context);
        return;
    }

    FrameJob job;
    const bool async = (obs_source_get_output_flags(parent) & OBS_SOURCE_ASYNC) != 0;
    job.ns = async && f.hasAsyncFrame.load() ? f.asyncTimestamp.load() : obs_get_video_frame_time();
    obs_video_info ovi{};
    if (obs_get_video_info(&ovi)) job.rate = {ovi.fps_num, ovi.fps_den};
    FrameKey key;
    {
        std::lock_guard<std::mutex> lock(f.valuesMutex);
        job.values = f.values;
        key = {job.ns, f.generation, cx, cy};
    }

    // A new frame (a new time, new settings or a new size) goes to the worker unless one still waits
    // there: the worker is behind, this frame is left out (and the source not drawn for it), and the
    // next new frame tries again.
    uint64_t submitted = 0;
    if (!f.hasKey || !(key == f.lastKey)) {
        if (f.worker->waiting()) {
            ++f.busyFrames;
        } else {
            const uint64_t start = os_gettime_ns();
            submitted = readBack(f, target, parent, cx, cy, job);
            f.readBackNs += os_gettime_ns() - start;
            if (submitted != 0) {
                f.lastKey = key;
                f.hasKey = true;
                ++f.submittedFrames;
            }
        }
    }
    f.worker->take(f.result);
    const bool fits = f.result.width == int32_t(cx) && f.result.height == int32_t(cy);
    if (!fits && submitted != 0) f.worker->waitFor(submitted, f.result, kFirstFrameWait);
    if (f.result.pixels.empty()) {
        obs_source_skip_video_filter(f.context);
        return;
    }
    // A frame of the old size, until the worker has one of the new size, stretched over it.
    draw(f, cx, cy);
}

obs_source_info makeInfo()
{
    obs_source_info info{};
    info.id = "watchcam_filter";
    info.type = OBS_SOURCE_TYPE_FILTER;
    info.output_flags = OBS_SOURCE_VIDEO;
    info.get_name = name;
    info.create = create;
    info.destroy = destroy;
    info.update = update;
    info.get_defaults = defaults;
    info.get_properties = properties;
    info.video_render = videoRender;
    info.filter_video = filterVideo;
    return info;
}

}  // namespace

const obs_source_info& filterInfo()
{
    static const obs_source_info info = makeInfo();
    return info;
}

}  // namespace Kiln::Obs
