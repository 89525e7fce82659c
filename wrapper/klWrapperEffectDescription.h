#pragma once
// Which parameters and clips the shared post-processing stage reads from an
// effect. DefaultEffectDescriptionI names the framework's standard ones.
#include <cstdint>
#include <string>
#include <vector>

namespace Kiln::Wrapper {

// One named item the stage reads.
struct DescribedItem {
    enum Kind : int32_t { Clip = 0, Choice = 1, Number = 2, Boolean = 3 };
    Kind kind = Number;
    std::string name;
    bool optional = false;  // the effect may lack it; the stage then uses its fallback
    bool operator==(const DescribedItem&) const = default;
};

class EffectDescriptionI {
public:
    virtual ~EffectDescriptionI() = default;
    // The blend's clip and parameters; false (and nothing added) when the effect
    // does not blend. `flag` 1 asks for an effect that does not blend.
    virtual bool blendParameters(int32_t flag, std::vector<DescribedItem>& items) const = 0;
    // The parameters and clip of the alpha finish ("Process").
    virtual void processParameters(std::vector<DescribedItem>& items) const = 0;
};

class DefaultEffectDescriptionI : public EffectDescriptionI {
public:
    // The clip "Source", the choice blendMethod and the numbers blendEffect,
    // blendSrc and blendMix.
    bool blendParameters(int32_t flag, std::vector<DescribedItem>& items) const override;
    // The choice postAlphaYesNoNo (the "Process" control) and the clip "Source".
    void processParameters(std::vector<DescribedItem>& items) const override;
};

}  // namespace Kiln::Wrapper
