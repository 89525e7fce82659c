#include "effect/klWatchcamParams.h"

namespace Kiln::Watchcam {

std::vector<std::string> choiceNames(const ControlSpec& c)
{
    std::vector<std::string> names;
    if (choiceCount(c) == 0) return names;
    std::string current;
    for (const char* p = c.choices; *p; ++p) {
        if (*p == '|') {
            names.push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    names.push_back(current);
    return names;
}

namespace {

// "Has the set this name? Then the typed read at the render time, else the fallback."
struct Reader {
    Kiln::Param::NamedParamSetI& params;
    double time;

    bool has(const char* name) { return params.hasParam(name); }
    double scale(const char* name)
    {
        return has(name) ? params.getScaleParam(name, time) : fallbackValue(name);
    }
    double number(const char* name)
    {
        return has(name) ? params.getDoubleParam(name, time) : fallbackValue(name);
    }
    int32_t integer(const char* name)
    {
        return has(name) ? params.getIntParam(name, time) : static_cast<int32_t>(fallbackValue(name));
    }
    bool boolean(const char* name)
    {
        return has(name) ? params.getBoolParam(name, time) : fallbackValue(name) != 0;
    }
};

}  // namespace

Settings readSettings(Kiln::Param::NamedParamSetI& params, double time)
{
    Reader r{params, time};
    Settings s;
    s.postAlphaYesNoNo = r.integer("postAlphaYesNoNo");
    s.tvType = r.integer("TVType");
    if (r.has("tintColour")) s.tintColour = params.getRGBParam("tintColour", time);
    s.contrast = r.scale("contrast");
    s.brightness = r.scale("brightness");
    s.quantise = r.boolean("quantise");
    s.quantiseLevels = r.integer("quantiseLevels");
    s.playSpeed = r.scale("playSpeed");
    s.hasFramesPerSec = r.has("framesPerSec");
    if (s.hasFramesPerSec) s.framesPerSec = params.getDoubleParam("framesPerSec", time);
    s.lensEffect = r.boolean("lensEffect");
    s.lensRadius = r.number("lensRadius");
    s.lensStrength = r.scale("lensStrength");
    s.shashType = r.integer("shashType");
    s.seed = r.integer("seed");
    s.shashPeriod = r.integer("shashPeriod");
    s.shashMax = r.scale("shashMax");
    s.emInterference = r.scale("EMInterference");
    s.whiteDot = r.scale("whiteDot");
    s.scanlineWidth = r.integer("scanlineWidth");
    s.blur = r.number("blur");
    s.filtered = r.integer("filtered");
    s.blendMethod = r.integer("blendMethod");
    s.blendMix = r.number("blendMix");
    s.blendEffect = r.number("blendEffect");
    s.blendSrc = r.number("blendSrc");
    s.clampBlendAtFloat = r.boolean("clampBlendAtFloat");
    s.sourceXMethod = r.integer("SourceXMethod");
    s.sourceYMethod = r.integer("SourceYMethod");
    if (r.has("SourceEdgeColour")) s.sourceEdgeColour = params.getRGBAParam("SourceEdgeColour", time);
    s.sourceEdgeColourAlpha = r.scale("SourceEdgeColourAlpha");
    s.sourceLeft = r.number("SourceLeft");
    s.sourceRight = r.number("SourceRight");
    s.sourceBottom = r.number("SourceBottom");
    s.sourceTop = r.number("SourceTop");

    s.masterBreakup = r.scale("masterBreakup");
    s.breakupVariation = r.scale("breakupVariation");
    s.saturation = r.scale("saturation");
    s.redBrightness = r.scale("redBrightness");
    s.greenBrightness = r.scale("greenBrightness");
    s.blueBrightness = r.scale("blueBrightness");
    s.colourDegrade = r.scale("colourDegrade");
    s.colourThreshold = r.scale("colourThreshold");
    s.ghostImages = r.integer("ghostImages");
    s.ghostThreshold = r.scale("ghostThreshold");
    s.ghostDistance = r.number("ghostDistance");
    s.ghostStrength = r.scale("ghostStrength");
    s.edgeDistortion = r.number("edgeDistortion");
    s.edgeJaggedness = r.number("edgeJaggedness");
    s.edgeThreshold = r.scale("edgeThreshold");
    s.snowMax = r.scale("snowMax");
    s.snowSoftness = r.number("snowSoftness");
    s.snowSparseness = r.scale("snowSparseness");
    s.snowThreshold = r.scale("snowThreshold");
    if (r.has("lineAngle")) s.lineAngle = params.getAngleParam("lineAngle", time);
    s.lineSpacing = r.number("lineSpacing");
    s.lineSpeed = r.number("lineSpeed");
    s.lineThreshold = r.scale("lineThreshold");
    s.vertOffsetMax = r.scale("vertOffsetMax");
    s.vertOffThreshold = r.scale("vertOffThreshold");
    s.rollThreshold = r.scale("rollThreshold");
    s.vertRollSpeed = r.number("vertRollSpeed");
    const char* const guns[3] = {"redGunAlign", "greenGunAlign", "blueGunAlign"};
    for (int i = 0; i < 3; ++i) {
        s.hasGunAlign[i] = r.has(guns[i]);
        if (s.hasGunAlign[i]) s.gunAlign[i] = params.get2DDoubleParam(guns[i], time);
    }
    s.playMode = r.integer("playMode");
    s.resolution = r.scale("resolution");
    s.hasRepeatFrames = r.has("repeatFrames");
    if (s.hasRepeatFrames) s.repeatFrames = params.getIntParam("repeatFrames", time);
    s.shashThreshold = r.scale("shashThreshold");
    return s;
}

double playPosition(Kiln::Param::NamedParamSetI& params, double time)
{
    if (params.hasParam("playSpeed")) return params.integrateScaleParam("playSpeed", -1.0, time);
    return fallbackValue("playSpeed") * time;
}

}  // namespace Kiln::Watchcam
