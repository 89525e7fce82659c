#pragma once
// Element handlers of effect descriptions: "effect", "clipset", "clip". The
// "paramset" child is read by the parameter-set elements, "description" by a
// description element. Effect and clip attributes are compared case-sensitively.
#include "wrapper/klWrapperEffect.h"
#include "xml/klXMLStackedParser.h"

#include <string>

namespace Kiln::Wrapper {

class EffectXMLElement : public XML::ParseElement {
public:
    // NullPointer for a null effect.
    explicit EffectXMLElement(EffectI* effect);
    std::optional<bool> foldAttributeNames() const override { return false; }
    void start(XML::StackedParser& parser, XML::Attributes& attributes) override;
    XML::ParseElement* childElement(XML::StackedParser& parser, const std::string& child) override;

private:
    EffectI* effect_;
};

class ClipSetXMLElement : public XML::ParseElement {
public:
    // NullPointer ("Null ClipSet set in parser, must not be null") for a null set.
    explicit ClipSetXMLElement(ClipSet* clips);
    std::optional<bool> foldAttributeNames() const override { return false; }
    XML::ParseElement* childElement(XML::StackedParser& parser, const std::string& child) override;

private:
    ClipSet* clips_;
};

class ClipXMLElement : public XML::ParseElement {
public:
    explicit ClipXMLElement(ClipSet* clips) : ParseElement("clip"), clips_(clips) { }
    std::optional<bool> foldAttributeNames() const override { return false; }
    void start(XML::StackedParser& parser, XML::Attributes& attributes) override;

private:
    ClipSet* clips_;
};

}  // namespace Kiln::Wrapper
