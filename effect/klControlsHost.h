#pragma once
// A host of fixed values (wrapper/klFixedHost.h) whose values are the effect's controls, read by script
// name: the filter adapters' host, less where each keeps its values.
//
// Reads take the kinds of the controls table, with the conversions the plug-in module's host applies:
// scale controls as fractions, colours 8-bit channel / 255 (a colour whose name + "Alpha" is a value has
// that slider, percent of 255 truncated, as its alpha), choices as the values their entries map to
// ("Global Default" filtering as at high quality: the picture a filter gives is the final one).
// ParameterUndefined for a name that is none of the adapter's values, WrongType for a read of another
// kind. The one clip is "Source".
#include "effect/klWatchcamControls.h"
#include "wrapper/klFixedHost.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace Kiln::Watchcam {

class ControlsHost : public Kiln::Wrapper::FixedHost {
public:
    ControlsHost(int32_t frame, double rate, KlTexture<Kiln::PixARGB8>& output);

    bool hasParam(const std::string& name) override;
    double getDoubleParam(const std::string& name, double time) override;
    double getScaleParam(const std::string& name, double time) override;
    int getIntParam(const std::string& name, double time) override;
    bool getBoolParam(const std::string& name, double time) override;
    KlRGBAColF getRGBAParam(const std::string& name, double time) override;

protected:
    // The control behind one of the adapter's value names and where the adapter keeps its value (`slot`);
    // nullptr for a name that is none.
    virtual const ControlSpec* value(const std::string& name, int32_t& slot) const = 0;
    // The value in a slot: sliders in their units, check boxes 0 or 1, choices the 0-based entry.
    virtual double number(int32_t slot) const = 0;
    // A colour's 8-bit red, green, blue.
    virtual const std::array<uint8_t, 3>& colour(int32_t slot) const = 0;

private:
    // The slot of a name whose control is of one of `kinds`; the exceptions above.
    int32_t slotOf(const char* function, const std::string& name, const char* word,
                   std::initializer_list<ValueKind> kinds, const ControlSpec** control = nullptr) const;
};

}  // namespace Kiln::Watchcam
