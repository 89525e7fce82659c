#pragma once
// The state the shared post-processing stage keeps with each effect: built with
// the effect, pointing back at it. The stage itself (crops, gains, blending) uses
// it to remember what it has already done to the current render.
#include <string>

namespace Kiln::Wrapper {

class EffectI;

class PostProcessingHelper {
public:
    explicit PostProcessingHelper(EffectI* effect) : effect_(effect) { }

    EffectI* effect() const { return effect_; }
    // The source crop and edge set-up has been applied to the source texture.
    bool cropsApplied = false;
    // The blend and alpha finish have run on the output.
    bool finished = false;
    // The clip the stage reads its source from ("" until it is chosen).
    std::string name;

private:
    EffectI* effect_;
};

}  // namespace Kiln::Wrapper
