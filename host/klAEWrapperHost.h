#pragma once
// The host adapter: the effect's host during one host call (a render, a pre-render or a control
// update). It translates between the effect's parameters, known by name and value kind, and the
// host's controls, known by index and raw record.
//
// Mapping. Each effect name is bound to a host index with a kind that fixes the conversion
// (klAEConvert.h): Bool checkbox; Int integer slider; Double fixed slider; Scale fixed slider in
// percent, read as a fraction; Angle in radians; RGBColour and RGBAColour with channels 0..1;
// Double2 point; Choice through the name's popup map (host item, 0-based, to the effect's value,
// optionally resolved at read time, and back).
//
// Reading. At the current render time a value comes from the parameter array the host passed;
// at any other time (or without an array, as in a pre-render) the control is checked out and
// checked back in before the read returns.
//
// Times are frames of the layer. Integrals of a value sample it at whole frames:
//   integrate(t0, t1) = ∫ v(floor(s)) ds over [c(t0), c(t1)], c clamping into [0, last frame],
// so that from frame 0 to a whole frame t it is v(0) + v(1) + ... + v(t - 1): a constant speed 1
// gives t, 0 gives 0, -1 gives -t, and a speed of 1 for frames 0..9 then 0 holds at 10. The
// derivative at t is the central difference of the whole frames around t.
//
// Every failure is an exception naming the operation ("Kiln::AfterEffects::Wrapper::Host::...").
#include "host/klAEWrapperClip.h"
#include "param/klNamedParamSet.h"
#include "sdk/klHostAPI.h"
#include "wrapper/klWrapperHostI.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Kiln::AfterEffects::Wrapper {

enum class ParamKind : int32_t {
    Bool = 1,
    Double = 3,
    Int = 4,
    RGBColour = 5,
    RGBAColour = 6,
    Choice = 7,
    Double2 = 11,
    Scale = 13,
    Angle = 15
};

class Host;

// Supplies a popup entry's value at read time.
using PopupResolver = int32_t (*)(const Host& host);
struct PopupEntry {
    PopupResolver resolver = nullptr;
    int32_t value = 0;
    int32_t hostItem = 0;  // 0-based
};
// Host item (0-based) -> entry.
using PopupMap = std::map<int32_t, PopupEntry>;

// The value of an entry that follows the render quality: 2 at high quality, else 1.
int32_t qualityResolver(const Host& host);
// A popup item value that asks for qualityResolver instead of a fixed value.
inline constexpr int32_t kResolveFromQuality = -1;

struct ParamMapping {
    int32_t index = 0;
    ParamKind kind = ParamKind::Double;
};

// The pre-render binds layer 0 to an unbounded region: origin -1e6 on both axes, size 3e6.
inline constexpr double kUnboundedRegion = 1000000.0;

// The frames the host supplied for a render.
struct RenderWorlds {
    PF_EffectWorld* input = nullptr;  // the source frame; null: params[0]
    PF_EffectWorld* output = nullptr;  // the output world
    bool smart = false;  // a smart render: params may be null
};

class Host : public Kiln::Wrapper::HostI {
public:
    // A control update or a non-smart render: the values of the current time are in `params`.
    Host(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[]);
    Host(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], const RenderWorlds& worlds);
    // A smart pre-render: no parameter array, every read is a checkout. NullPointer "output"
    // without the pre-render output record.
    Host(PF_InData* in_data, PF_OutData* out_data, PF_PreRenderExtra* extra);
    ~Host() override;
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // ---- mapping ------------------------------------------------------------------------------
    // ParameterAlreadyDefined for a name mapped before.
    void addParamMapping(int32_t index, const std::string& name, ParamKind kind);
    void addParamMapping(int32_t index, const std::string& name, int32_t kind);
    void addPopupMapping(int32_t index, const std::string& name, PopupMap map);
    // Entry k of `values` is the value of host item k; kResolveFromQuality asks qualityResolver.
    void addPopupMapping(int32_t index, const std::string& name, const std::vector<int32_t>& values);
    // Binds a clip to a host layer parameter; ClipAlreadyDefined for a name bound before. Layer 0
    // gets the render's current frame, when there is one.
    Clip& addClipMapping(const std::string& name, int32_t index);

    // ParameterUndefined / ClipUndefined for an unmapped name.
    int32_t getParamID(const std::string& name) const;
    int32_t getClipID(const std::string& name) const;
    const ParamMapping& getParam(const std::string& name) const;
    ParamKind getParameterType(const std::string& name) const;
    // Host item (0-based) -> effect value: ForwardMappingUndefined when the item has no entry.
    int32_t getForwardPopupMapping(const std::string& name, int32_t hostItem) const;
    // Effect value -> host item (0-based): BackwardMappingUndefined when no entry gives the value.
    int32_t getBackwardPopupMapping(const std::string& name, int32_t value) const;
    // The mapping table, ordered by name.
    const std::map<std::string, ParamMapping>& mappings() const { return mappings_; }

    // ---- render facts (HostI) -----------------------------------------------------------------
    double currentTime() override;  // frames
    double frameRate() override;  // time_scale / time_step, 0 without a step
    double renderScaleX() override;  // the host's downsample factors
    double renderScaleY() override;
    double pixelAspectRatio() override;
    // Whether the host asks the call to stop (its abort or progress callback answers non-zero).
    bool abort() override;
    int32_t frameCount() const;  // total_time / time_step, 0 when unknown
    bool highQuality() const;

    // ---- clips and output (HostI) -------------------------------------------------------------
    // ClipUndefined for an unbound name.
    Clip& getClip(const std::string& name) override;
    // The output world as a texture of the render's pixel type ("texture wrong template" otherwise).
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGB8>& texture) override { fetchOutputImage(texture); }
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGB16>& texture) override { fetchOutputImage(texture); }
    void fetchOutputImageRaw(KlTexture<Kiln::PixARGBF>& texture) override { fetchOutputImage(texture); }
    template <class Px>
    void fetchOutputImage(KlTexture<Px>& texture);

    PF_InData* inData() const { return in_data_; }
    PF_OutData* outData() const { return out_data_; }
    PF_ParamDef** params() const { return params_; }

    // ---- NamedParamSetI (the adapter has no host of its own) ----------------------------------
    KL_NAMED_PARAM_SET_OVERRIDES;
    double differentiateScaleParam(const std::string& name, double time);
    // Any value kind but colours and points, by its number: a choice by its effect value.
    void setParam(const std::string& name, double value);

    // ---- other --------------------------------------------------------------------------------
    // Shows text as the host's message.
    void sendMessage(const std::string& text);
    void setFramesNeeded(double time0, double time1);
    // The live sequence block's object list (word 1); NullSequenceData without sequence data.
    void setInstanceData(PF_Handle objects);
    // Tells the host that control `index` changed (flags or value): PF_UpdateParamUI. Hosts
    // without the Param Utils suite read the parameter array back instead: PF_Err_NONE.
    PF_Err updateParamUI(int32_t index) const;

private:
    void init(PF_InData* in_data, PF_OutData* out_data, const char* function);
    const ParamMapping& mapped(const char* function, const std::string& name) const;
    const ParamMapping& mappedAs(const char* function, const std::string& name, const char* word,
                                 std::initializer_list<ParamKind> kinds) const;
    // The control's record at `time` in `f`: from the array at the current time, else checked out.
    template <class F>
    auto readAt(const char* function, const std::string& name, const ParamMapping& m, PF_ParamType type,
                const char* word, double time, F&& f) -> decltype(f(std::declval<const PF_ParamDef&>()));
    Kiln::RefPtr<CheckinHandle> checkoutAEParam(const char* function, const std::string& name, int32_t index,
                                                double time) const;
    // The record of the current time to change, FeatureUnsupported(operation) without an array.
    PF_ParamDef& writable(const char* function, const char* operation, const std::string& name,
                          const ParamMapping& m, PF_ParamType type, const char* word);
    void changed(int32_t index);
    // Keyframe access: the stream suite, FeatureUnsupported(operation) without one.
    template <class F>
    void withStreams(const char* function, const char* operation, const std::string& name, F&& f);
    std::vector<double> keyTimes(const char* function, const char* operation, const std::string& name);
    // Frames a sum runs over: [0, last], last unbounded when the host gives no frame count.
    double lastFrame() const;
    double nowFrames() const;
    template <class V, class Sample>
    V integrate(const char* function, double time0, double time1, bool constant, Sample&& sample);
    template <class V, class Sample>
    V differentiate(const char* function, double time, Sample&& sample);
    bool animated(const std::string& name);

    PF_InData* in_data_ = nullptr;
    PF_OutData* out_data_ = nullptr;
    PF_ParamDef** params_ = nullptr;
    RenderWorlds worlds_;
    bool preRender_ = false;
    bool rendering_ = false;
    std::map<std::string, ParamMapping> mappings_;
    std::map<std::string, PopupMap> popups_;
    std::map<std::string, std::unique_ptr<Clip>> clips_;
};

}  // namespace Kiln::AfterEffects::Wrapper
