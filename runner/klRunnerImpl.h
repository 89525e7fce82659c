/*
 * Internals of the substitute host shared by its source files: the per-host state behind Host, the worlds
 * it owns, and the C callback tables handed to the module. Not for users of the runner.
 *
 * The C callbacks find their host through the effect reference (checked against the registry of live
 * hosts); the few without one (handles, suite broker) use the host whose call is being served. No C++
 * exception ever crosses the module boundary: a callback that fails keeps its message in `pendingError`
 * (or, when the frame source threw, the exception itself) and answers with an error code; the host raises
 * it once the module has returned.
 */
#ifndef KL_RUNNER_IMPL_H
#define KL_RUNNER_IMPL_H

#include "runner/klRunner.h"
#include "runner/klRunnerMemory.h"

#include <atomic>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Kiln::Runner {

// A world over pixels the host owns (`image`), or a view of a frame the frame source holds (`image` empty).
struct HostWorld {
    Image image;
    PF_EffectWorld world{};
};
std::unique_ptr<HostWorld> makeWorld(Image image, PF_RationalScale pixelAspect);
std::unique_ptr<HostWorld> viewWorld(const Image& frame, PF_RationalScale pixelAspect);

struct ControlState {
    ParamValue value;  // used while there are no keys
    std::vector<Keyframe> keys;  // sorted by frame
};

struct Host::Impl {
    Impl(Module& module, const HostSettings& settings);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    Module& module;
    HostSettings settings;
    KeptMemory kept;
    PF_InteractCallbacks inter{};
    PF_UtilCallbacks utils{};
    SPBasicSuite basic{};

    std::vector<ControlInfo> controls;
    std::vector<ControlState> states;
    std::vector<std::string> popupNames;  // the joined names each popup record points at
    bool declaring = false;

    PF_Handle globalData = nullptr;
    PF_Handle sequenceData = nullptr;
    A_long outFlags = 0, outFlags2 = 0;
    A_u_long myVersion = 0;
    bool globalUp = false, sequenceUp = false;

    std::function<const Image&(int, Depth)> frameSource;
    Image blankLayer[3];  // the layer without a source, per depth (made on first use)
    std::atomic<int> abortRequested{0};
    static_assert(std::atomic<int>::is_always_lock_free, "requestAbort must be safe in a signal handler");
    bool cancelAnswered = false;  // progress or abort answered PF_Interrupt_CANCEL during this call

    // The call being served.
    enum class Phase { None, PreRender, SmartRender, Render };
    struct LayerPixels {
        std::unique_ptr<HostWorld> world;
        long outstanding = 0;
    };
    Phase phase = Phase::None;
    double frame = 0;
    Depth depth = Depth::Eight;
    struct LayerRequest {
        double frame = 0;
        PF_LRect rect{};  // the part of the layer asked for, within the layer
    };
    std::map<A_long, LayerRequest> layerRequests;  // pre-render checkout id -> what was asked
    std::map<A_long, LayerPixels> layerPixels;
    PF_EffectWorld* output = nullptr;
    HostWorld* canvas = nullptr;

    std::map<A_long, std::unique_ptr<HostWorld>> paramCheckouts;  // ticket -> layer world (null for values)
    A_long nextTicket = 1 << 20;
    std::map<void*, std::unique_ptr<HostWorld>> newWorlds;  // PF_NewWorld, by pixel address

    std::vector<PF_Cmd> log;
    std::string lastMessage;
    std::string pendingError;
    std::exception_ptr pendingException;  // thrown by the frame source during a checkout

    std::atomic<long> liveHandles{0}, handlesAllocated{0}, liveLayerCheckouts{0}, liveParamCheckouts{0},
        liveWorlds{0}, suiteAcquires{0}, suiteReleases{0}, badCalls{0};
    std::atomic<long> allocationBudget{-1};

    PF_PixelFormat reportedFormat = 0;
    int specMajor, specMinor;
    A_long applId;
    bool headless;

    PF_ProgPtr effectRef() { return reinterpret_cast<PF_ProgPtr>(this); }
    std::string who() const;  // "module <name>" for messages

    // One call into the module; records the command and takes back what out_data carries.
    A_long invoke(PF_Cmd cmd, double frame, std::vector<PF_ParamDef>* params, PF_EffectWorld* output,
                  void* extra);
    // Throws for a failed call: a callback's own failure, a cancel, or the module's code and message.
    void check(A_long result, PF_Cmd cmd, double frame, bool render);

    std::vector<PF_ParamDef> paramsAt(double frame, const PF_EffectWorld* layer) const;
    ParamValue valueAt(int index, double frame) const;
    // A value the module wrote (changed record or PF_UpdateParamUI) becomes the control's value at `frame`.
    void adoptValue(int index, const PF_ParamDef& def, double frame);
    double frameOfTime(A_long time, A_u_long scale) const;
    // The input layer's frame as a world viewing the source's pixels; throws RunnerError when the frame
    // source fails.
    std::unique_ptr<HostWorld> layerWorld(double frame, Depth depth);
    void fail(const std::string& message);  // keeps the first failure of a call
    // Keeps the exception being handled for check(); answers the module's error code.
    PF_Err failWithCurrentException();
    void endCall();  // drops everything the call's checkouts held
    void declare(const PF_ParamDef& def);  // add_param
    void finishDeclaration();
    void close();  // set-downs
};

void installCallbacks(Host::Impl& impl);
// Registry of live hosts for the C callbacks.
void registerHost(Host::Impl* impl);
void unregisterHost(Host::Impl* impl);
Host::Impl* hostOfRef(PF_ProgPtr ref);
// The host whose call runs on this thread (set by invoke); null outside calls.
struct CurrentHostScope {
    explicit CurrentHostScope(Host::Impl* impl);
    ~CurrentHostScope();
    Host::Impl* previous;
};
// Frees every handle the host still owns.
void disposeHandlesOf(Host::Impl* impl);
std::vector<uint8_t> handleBytes(PF_Handle handle);
PF_PreRenderCallbacks* preRenderCallbacks();
PF_SmartRenderCallbacks* smartRenderCallbacks();

}  // namespace Kiln::Runner

#endif
