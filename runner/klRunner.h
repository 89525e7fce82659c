/*
 * The substitute host: loads an effect module written to sdk/klHostAPI.h with dlopen and does for it what a
 * compositing host does -- start-up commands, the declared controls with their values and keyframes, global
 * and sequence data, memory handles, suites, parameter and layer checkouts, progress/abort, and both the
 * smart (pre-render + render) and the legacy render paths.
 *
 * Principles that hold for everything here:
 * - One call into the module at a time: every entry into the module is serialised by the host's mutex.
 * - Control values are kept in display units (what the user sees), converted to the module's records when a
 *   parameter array is built. Times handed to the module are frame * timeStep in units of 1/timeScale s.
 * - Everything handed to the module (handles, worlds, checkouts) is owned and tracked by the host, so tests
 *   can prove the module gives everything back (stats()).
 * - Memory is kept and reused as a real host keeps it: large handle blocks and worlds given back wait for the
 *   next request of their size (HostSettings::keptMemory), a layer checkout hands the module the frame the
 *   source holds instead of a copy, and nothing is cleared that the host API does not promise cleared.
 * - Failures are RunnerError with a message saying what went wrong and where; a render the user cancelled
 *   is RenderCancelled.
 */
#ifndef KL_RUNNER_H
#define KL_RUNNER_H

#include "sdk/klHostAPI.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Kiln::Runner {

struct RunnerError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The module stopped because the user asked it to (progress answered PF_Interrupt_CANCEL).
struct RenderCancelled : RunnerError {
    using RunnerError::RunnerError;
};

enum class Depth { Eight, Sixteen, Float };

const char* depthName(Depth d);  // "8", "16", "float"
size_t bytesPerPixel(Depth d);  // 4, 8, 16
PF_PixelFormat pixelFormatOf(Depth d);  // "argb", "ae16", "ae32"

// A picture in the host layout: pixels A, R, G, B; 16-bit channels hold 0..32768, float 0..1.
struct Image {
    int width = 0, height = 0;
    Depth depth = Depth::Eight;
    size_t rowBytes = 0;
    std::vector<uint8_t> pixels;

    static Image make(int w, int h, Depth d);  // cleared to transparent black
    template <class T>
    T* row(int y)
    {
        return reinterpret_cast<T*>(pixels.data() + size_t(y) * rowBytes);
    }
    template <class T>
    const T* row(int y) const
    {
        return reinterpret_cast<const T*>(pixels.data() + size_t(y) * rowBytes);
    }
};

// A rectangle of layer pixels: left and top included, right and bottom not.
struct Region {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool operator==(const Region&) const = default;
};

// A loaded module. Unloaded (dlclose) when destroyed; every Host made on it must be gone first.
class Module {
public:
    // Throws RunnerError when the file is missing, is not a loadable module, exports no `main` or no
    // registration record.
    static std::unique_ptr<Module> load(const std::string& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const KlRegistration& registration() const { return *registration_; }
    PF_EntryFunc entry() const { return entry_; }
    // Script name per parameter index (index 0 is the input layer); empty when the module exports none.
    const std::vector<std::string>& scriptNames() const { return scriptNames_; }
    // One-line description per parameter index; empty when the module exports none.
    const std::vector<std::string>& descriptions() const { return descriptions_; }
    const std::string& path() const { return path_; }  // absolute
    void* dlHandle() const { return handle_; }
    // Held around every call into the module: the module keeps process-wide state and is called one
    // command at a time, whichever host makes the call. Modules loaded from the same file share it.
    std::recursive_mutex& callMutex() const { return *callMutex_; }

private:
    Module() = default;
    void* handle_ = nullptr;
    PF_EntryFunc entry_ = nullptr;
    const KlRegistration* registration_ = nullptr;
    std::vector<std::string> scriptNames_;
    std::vector<std::string> descriptions_;
    std::string path_;
    std::shared_ptr<std::recursive_mutex> callMutex_;
};

// The application id the runner reports unless told otherwise. It is not the native host's id, so a
// module refreshes the enabled state of its controls before each render.
inline constexpr A_long kRunnerApplId = KL_FOURCC('K', 'l', 'R', 'n');

struct HostSettings {
    int width = 1920, height = 1080;
    int frameCount = 1;
    A_long timeScale = 2500;  // 25 frames per second
    A_long timeStep = 100;
    double downsampleX = 1, downsampleY = 1;
    double pixelAspect = 1;
    bool highQuality = true;
    bool smartPath = true;
    bool headless = true;
    int specMajor = 13, specMinor = 28;
    // Bytes of released memory the host keeps for reuse (handle blocks, worlds, outputs given back with
    // recycle()); 0 keeps none, so every request gets fresh memory.
    size_t keptMemory = size_t(256) << 20;
};

// A control value in display units: fixed/int slider and angle v[0]; popup the 1-based item; checkbox 0/1;
// colour a, r, g, b in 0..255; point x, y.
struct ParamValue {
    double v[4] = {0, 0, 0, 0};
    bool operator==(const ParamValue&) const = default;
};
using Keyframe = std::pair<double, ParamValue>;  // frame, value

struct ControlInfo {
    int index = 0;  // parameter index (0 is the input layer)
    std::string label;
    std::string checkboxText;
    std::string scriptName;  // from the module's export; empty when none
    std::string description;  // one line, from the module's export; empty when none
    PF_ParamType type = PF_Param_NO_DATA;
    ParamValue defaultValue;  // a popup's default is kept within its names
    double validMin = 0, validMax = 0, sliderMin = 0, sliderMax = 0;  // sliders only
    int precision = 0;
    bool percent = false;
    PF_ParamFlags flags = 0;
    A_long uiFlags = 0;  // PF_PUI_DISABLED when the module disabled the control
    std::vector<std::string> popupItems;  // every name is selectable, whatever count was declared
    // The record as the module declared it; its text pointers point at the host's own copies (valid while
    // the Host lives).
    PF_ParamDef def{};

    bool disabled() const { return (uiFlags & PF_PUI_DISABLED) != 0; }
    bool animatable() const;  // false for layers, groups and CANNOT_TIME_VARY controls
};

struct HandleStats {
    long liveHandles = 0;
    long handlesAllocated = 0;  // every successful host_new_handle
    long liveLayerCheckouts = 0;
    long liveParamCheckouts = 0;
    long liveWorlds = 0;  // PF_NewWorld minus PF_DisposeWorld
    long suiteAcquires = 0;
    long suiteReleases = 0;
    long badCalls = 0;  // callbacks given an unknown handle, record, checkout id or index
    long keptBytes = 0;  // released memory the host keeps for reuse (not owned by anyone)
};

class Host {
public:
    // Sends global set-up, parameter set-up and sequence set-up. Throws RunnerError when the module fails any.
    Host(Module& module, HostSettings settings);
    // Sends sequence set-down and global set-down (unless close() did), then frees whatever the module left.
    ~Host();
    // Sends the set-downs now; stats() stays readable so tests can see what the module did not give back.
    // Throws RunnerError when the module fails one (both are sent regardless).
    void close();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    const HostSettings& settings() const { return settings_; }
    const Module& module() const { return module_; }

    // --- controls ---
    const std::vector<ControlInfo>& controls() const;  // index i holds parameter i (0 is the input layer)
    // Parameter index by script name, else label, else checkbox text (exact); a control with a value wins
    // over a group of the same label; -1 when none.
    int findControl(const std::string& labelOrScriptName) const;
    // Sets a constant value (drops keyframes); a supervised control makes the module hear of the change.
    void setValue(int index, ParamValue value);
    void setKeyframes(int index, std::vector<Keyframe> keys);
    const std::vector<Keyframe>& keyframes(int index) const;
    ParamValue valueAt(int index, double frame) const;

    // --- input ---
    // The input layer's frame at a depth; the image must be width x height at that depth and stay valid and
    // unchanged until the render() that asked for it returns: the module reads it in place, as it reads a
    // real host's cached frame, and never writes it. Frames outside the clip are asked for as the first or
    // last frame. Without a source the layer is transparent black. An exception the source throws reaches the
    // caller of render() unchanged (after the module has been told the checkout failed).
    void setFrameSource(std::function<const Image&(int frame, Depth)> source);

    // --- rendering ---
    // The module's output for a frame. Its memory may be a picture given back with recycle(): the host API
    // does not promise a cleared output, so the module writes every pixel it renders.
    Image render(int frame, Depth depth);
    // Only `region` of the frame, as a tiling host asks for it: the smart path requests it in the pre-render
    // and hands out an output world of that size placed at the region (origin_x, origin_y), and layer pixels
    // only as far as the module's checkout asked; the legacy path hands out the whole output world with the
    // region as its extent hint. Returns the region's pixels. Throws RunnerError for an empty region or one
    // that leaves the layer.
    Image render(int frame, Depth depth, const Region& region);
    // Gives a finished picture's memory back to the host for later outputs and worlds of its size (kept
    // within HostSettings::keptMemory). Thread-safe; the image is left empty.
    void recycle(Image&& image);
    bool supportsDepth(Depth depth) const;  // from the module's out flags
    A_long outFlags() const;
    A_long outFlags2() const;

    void flatten();  // PF_Cmd_SEQUENCE_FLATTEN
    void resetup();  // PF_Cmd_SEQUENCE_RESETUP
    // The custom-UI area of a control drawn by the module (PF_Cmd_EVENT: new context, draw, close context)
    // into an 8-bit canvas of the given size.
    Image drawControl(int index, int width, int height);
    // PF_Cmd_ABOUT with an 8-bit canvas of the given size offered for the About box. A module that shows its box
    // in a window leaves the canvas transparent black; one without a display (a headless host, setHeadless(true),
    // says there is none) draws the box into it. Throws RunnerError when the module fails the command.
    Image about(int width = 500, int height = 500);
    // Async-signal-safe: the next progress call answers PF_Interrupt_CANCEL. clearAbort() re-arms.
    void requestAbort() noexcept;
    void clearAbort() noexcept;

    // --- test hooks ---
    HandleStats stats() const;
    void failAllocationsAfter(long n);  // host_new_handle fails after n more successes; negative: never
    // Sends any command with the parameter array at `frame` (params[0] a layer without pixels), the given
    // extra and output. Returns the module's result without throwing; values the module marked changed are
    // taken.
    A_long sendCommand(PF_Cmd cmd, void* extra, double frame = 0, PF_EffectWorld* output = nullptr);
    std::vector<PF_Cmd> commandLog() const;  // every command sent, in order
    void clearCommandLog();
    // out_data->return_msg of the last call. Non-empty after a render that went through, it is something
    // the module wanted the user to see.
    std::string lastMessage() const;
    PF_Handle globalData() const;
    PF_Handle sequenceData() const;
    std::vector<uint8_t> sequenceBytes() const;  // contents of the sequence-data handle; empty when none
    A_u_long moduleVersion() const;  // out_data->my_version from global set-up
    // What the world suite's PF_GetPixelFormat reports for every world; 0 (default) reports each world's own.
    void setReportedPixelFormat(PF_PixelFormat format);
    void setSpecVersion(int major, int minor);
    void setApplId(A_long id);  // kRunnerApplId by default
    void setHeadless(bool headless);

    // Opaque per-host state (public so the C callbacks can reach it).
    struct Impl;

private:
    Module& module_;
    HostSettings settings_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Kiln::Runner

#endif
