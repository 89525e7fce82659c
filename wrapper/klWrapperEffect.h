#pragma once
// The base of every effect of the framework.
//
// An effect is at once its parameter set, its clip set and its layout set. Its
// description (name, label, capabilities) is data, built in code or read from an
// "effect" XML document:
//
//   <effect name='Blur' label='Blur' bitdepths='8 16 float' components='colour alpha'>
//     <description>Soft focus</description>
//     <clipset> <clip name='Source' optional='false' edges='reflect'/> </clipset>
//     <paramset> <double name='radius' value='2'/> </paramset>
//   </effect>
//
// While a host adapter serves a call, attachHost makes it the effect's host: every
// parameter getter and setter of the set, currentTime and every clip query are then
// answered by the host.
#include "param/klParamGroup.h"
#include "param/klParamSet.h"
#include "wrapper/klPostProcessingHelper.h"
#include "wrapper/klWrapperClipSet.h"
#include "wrapper/klWrapperHostI.h"

#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <string>

namespace Kiln::Wrapper {

class EffectI : public Kiln::Param::ParamSet, public ClipSet, public Kiln::Param::LayoutSet {
public:
    enum Fields : int32_t { FieldsBoth = 0, FieldsSingle = 1, FieldsDouble = 2 };
    enum BitDepths : uint32_t { Depth8 = 1, Depth16 = 2, DepthFloat = 4 };
    enum Components : uint32_t { ComponentColour = 1, ComponentAlpha = 2 };

    struct Attributes {
        std::string name;
        std::string label;
        std::string group;
        std::string description;
        bool temporalAccess = false;  // reads its clips at other times than the render time
        bool supportsTiles = false;  // can render a part of the output
        bool fieldRenderTwiceAlways = false;
        bool sequentialRender = false;
        int32_t fields = FieldsBoth;
        uint32_t bitdepths = 0;  // BitDepths flags
        uint32_t components = 0;  // Components flags
    };

    explicit EffectI(const std::string& name = std::string());
    ~EffectI() override;

    Attributes& attributes() { return attributes_; }
    const Attributes& attributes() const { return attributes_; }
    const std::string& name() const { return attributes_.name; }
    void setDescription(const std::string& text) { attributes_.description = text; }

    // Makes `host` the effect's host (null detaches it): parameters and clips are
    // then answered by it.
    virtual void attachHost(HostI* host);
    HostI* effectHost() const { return host_; }
    // The host's render time; 0 without a host.
    double currentTime() override;

    // Whether the effect's picture is straight (not premultiplied).
    virtual bool isStraight() const { return true; }
    // The part of `clip` (x0, x1, y0, y1) needed to render the output part `in`;
    // false when the effect does not say (the whole clip is then assumed).
    virtual bool regionOfInterest(const std::string& clip, const float in[4], float out[4]);

    PostProcessingHelper& postProcessing() { return postProcessing_; }

    // An "effect" document (attribute names and values are case-sensitive): from
    // text, an open file, or a path (FileOpen when it cannot be opened).
    void parseXML(const std::string& text) override;
    void parseXML(std::FILE* file) override;
    void parseXMLFile(const std::string& path) override;
    // The effect's own document: its attributes, description, clips and parameters.
    void writeEffectXML(std::ostream& out, bool full) const;

private:
    Attributes attributes_;
    HostI* host_ = nullptr;
    PostProcessingHelper postProcessing_;
};

}  // namespace Kiln::Wrapper
