#include "param/klParamXML.h"
#include "wrapper/klWrapperEffectXML.h"

#include <sstream>

namespace Kiln::Wrapper {

namespace {

int32_t edgeMode(const std::string& word)
{
    if (word == "repeat") return Clip::EdgeRepeat;
    if (word == "reflect") return Clip::EdgeReflect;
    if (word == "wrap") return Clip::EdgeWrap;
    return Clip::EdgeColour;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// effect

EffectXMLElement::EffectXMLElement(EffectI* effect) : ParseElement("effect"), effect_(effect)
{
    if (effect == nullptr)
        throw Kiln::Exceptions::NullPointer("Kiln::Wrapper::EffectXMLElement::EffectXMLElement", __FILE__,
                                            __LINE__, "Null Effect set in parser, must not be null");
}

void EffectXMLElement::start(XML::StackedParser& parser, XML::Attributes& attributes)
{
    EffectI::Attributes& a = effect_->attributes();
    std::string text;
    if (!attributes.take("name", text)) return parser.fail(name(), "missing 'name' attribute");
    a.name = text;
    attributes.take("label", a.label);
    attributes.take("group", a.group);
    attributes.take("description", a.description);
    attributes.takeBoolean("temporalAccess", a.temporalAccess);
    attributes.takeBoolean("supportsTiles", a.supportsTiles);
    attributes.takeBoolean("fieldRenderTwiceAlways", a.fieldRenderTwiceAlways);
    attributes.takeBoolean("sequentialRender", a.sequentialRender);
    if (attributes.take("fields", text)) {
        if (text == "both")
            a.fields = EffectI::FieldsBoth;
        else if (text == "single")
            a.fields = EffectI::FieldsSingle;
        else if (text == "double")
            a.fields = EffectI::FieldsDouble;
        else
            return parser.fail(name(), "unknown value '" + text + "'  in 'fields' attribute");
    }
    if (attributes.take("bitdepths", text)) {
        std::istringstream in(text);
        for (std::string token; in >> token;) {
            if (token == "8")
                a.bitdepths |= EffectI::Depth8;
            else if (token == "16")
                a.bitdepths |= EffectI::Depth16;
            else if (token == "float")
                a.bitdepths |= EffectI::DepthFloat;
            else
                return parser.fail(name(), "unknown value '" + token + "'  in 'bitdepth' attribute");
        }
    }
    if (attributes.take("components", text)) {
        std::istringstream in(text);
        for (std::string token; in >> token;) {
            if (token == "colour")
                a.components |= EffectI::ComponentColour;
            else if (token == "alpha")
                a.components |= EffectI::ComponentAlpha;
            else
                return parser.fail(name(), "unknown value '" + token + "'  in 'components' attribute");
        }
    }
}

XML::ParseElement* EffectXMLElement::childElement(XML::StackedParser& parser, const std::string& child)
{
    if (child == "clipset") return new ClipSetXMLElement(effect_);
    if (child == "description") return new XML::AutoRefObjectDescriptionParseElement<EffectI*>(effect_);
    if (child == "paramset") return new Kiln::Param::ParamSetXMLElement(effect_);
    parser.fail(child, "unknown type of effect element");
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// clipset and clip

ClipSetXMLElement::ClipSetXMLElement(ClipSet* clips) : ParseElement("clipset"), clips_(clips)
{
    if (clips == nullptr)
        throw Kiln::Exceptions::NullPointer("Kiln::Wrapper::ClipSetXMLElement::ClipSetXMLElement", __FILE__,
                                            __LINE__, "Null ClipSet set in parser, must not be null");
}

XML::ParseElement* ClipSetXMLElement::childElement(XML::StackedParser& parser, const std::string& child)
{
    if (child == "clip") return new ClipXMLElement(clips_);
    parser.fail(child, "unknown type of clipset element");
    return nullptr;
}

void ClipXMLElement::start(XML::StackedParser& parser, XML::Attributes& attributes)
{
    std::string clipName, text;
    if (!attributes.take("name", clipName)) return parser.fail(name(), "needs a name attribute");
    Clip* clip = clips_->clipDescription(clipName);
    if (clip == nullptr) return parser.fail(name(), "with name = '" + clipName + "' is unknown.");
    if (bool b; attributes.takeBoolean("optional", b)) clip->setOptional(b);
    if (bool b; attributes.takeBoolean("ismask", b)) clip->setIsmask(b);
    if (bool b; attributes.takeBoolean("tiles", b)) clip->setTiles(b);
    if (bool b; attributes.takeBoolean("temporal", b)) clip->setTemporal(b);
    if (attributes.take("cropping", text))
        clip->setCropping(text == "methods" ? Clip::CroppingMethods
                          : text == "crops" ? Clip::CroppingCrops
                                            : Clip::CroppingNone);
    if (attributes.take("fields", text))
        clip->setFields(text == "both"     ? Clip::FieldsBoth
                        : text == "single" ? Clip::FieldsSingle
                                           : Clip::FieldsDouble);
    // "edges" first, so that "xedges" and "yedges" override it.
    if (attributes.take("edges", text)) {
        clip->setXEdges(edgeMode(text));
        clip->setYEdges(edgeMode(text));
    }
    if (attributes.take("xedges", text)) clip->setXEdges(edgeMode(text));
    if (attributes.take("yedges", text)) clip->setYEdges(edgeMode(text));
}

// ---------------------------------------------------------------------------------------
// EffectI reading

void EffectI::parseXML(const std::string& text)
{
    XML::parseDocument<EffectXMLElement>("effect", this, text);
}

void EffectI::parseXML(std::FILE* file) { XML::parseDocument<EffectXMLElement>("effect", this, file); }

void EffectI::parseXMLFile(const std::string& path)
{
    XML::readFile(path, "Kiln::Wrapper::EffectI::parseXMLFile", __FILE__, __LINE__,
                  [this](std::FILE* f) { parseXML(f); });
}

}  // namespace Kiln::Wrapper
