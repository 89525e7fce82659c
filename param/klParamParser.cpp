#include "param/klColGradXML.h"
#include "param/klParamXML.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

namespace Kiln::Param {

namespace {

using Factory = Param* (*)(const std::string&);

template <class T>
Param* make(const std::string& name)
{
    return new T(name);
}

const std::map<std::string, Factory>& factories()
{
    static const std::map<std::string, Factory> table = {
        {"pushbutton", &make<PushButton>},
        {"bool", &make<Bool>},
        {"string", &make<String>},
        {"roto", &make<Roto>},
        {"int", &make<Int>},
        {"rgb", &make<RGBColour>},
        {"rgba", &make<RGBAColour>},
        {"double", &make<Double>},
        {"xsize", &make<XSize>},
        {"ysize", &make<YSize>},
        {"xpos", &make<XPos>},
        {"ypos", &make<YPos>},
        {"scale", &make<Scale>},
        {"angle", &make<Angle>},
        {"timepos", &make<TimePos>},
        {"timesize", &make<TimeSize>},
        {"double2", &make<Double2>},
        {"size2d", &make<Size2D>},
        {"pos2d", &make<Pos2D>},
        {"scale2d", &make<Scale2D>},
        {"angle2d", &make<Angle2D>},
        {"rectd", &make<RectD>},
        {"recti", &make<RectI>},
        {"group", &make<Group>},
        {"page", &make<Page>},
    };
    return table;
}

// The element names that "paramset" hands to ParamXMLElement.
bool isValueElement(const std::string& name)
{
    return name != "group" && name != "page" && factories().count(name);
}

}  // namespace

Param* createParamOfType(const std::string& typeName, const std::string& name)
{
    auto it = factories().find(typeName);
    return it == factories().end() ? nullptr : it->second(name);
}

bool takeIntAttribute(XML::Attributes& attributes, const char* name, int32_t& value)
{
    std::string text;
    if (!attributes.take(name, text)) return false;
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno != 0 || n < INT32_MIN || n > INT32_MAX) return false;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') ++end;
    if (*end != '\0') return false;
    value = static_cast<int32_t>(n);
    return true;
}

// ---------------------------------------------------------------------------------------
// paramset

ParamSetXMLElement::ParamSetXMLElement(ParamSet* set) : ParseElement("paramset"), set_(set)
{
    if (set == nullptr)
        throw Kiln::Exceptions::NullPointer("Kiln::Param::ParamSetXMLElement::ParamSetXMLElement", __FILE__,
                                            __LINE__, "Null ParamSet set in parser, must not be null");
}

XML::ParseElement* ParamSetXMLElement::childElement(XML::StackedParser& parser, const std::string& child)
{
    if (isValueElement(child)) return new ParamXMLElement(set_, child);
    if (child == "choice") return new ChoiceXMLElement(set_);
    if (child == "colourgrad" || child == "grad") return new ParamGradXMLElement(set_, child);
    if (child == "alias") return new ParamAliasXMLElement(set_);
    if (child == "group") return new GroupXMLElement(set_);
    if (child == "page") return new PageXMLElement(set_);
    parser.fail(child, "unknown type of parameter element");
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// Parameter elements

void BaseParamXMLElement::start(XML::StackedParser& parser, XML::Attributes& attributes)
{
    std::string paramName = attributes.get("name");
    if (paramName.empty()) return parser.fail(name(), "needs a name attribute");
    Param* param = set_->getParam(paramName, false);
    if (param == nullptr) {
        if (set_->isLocked()) return parser.fail(name(), "with name = '" + paramName + "' is unknown.");
        RefPtr<Param> created(create(paramName));
        set_->addParam(created.get());
        param = created.get();
    } else if (param->typeName() != expectedType()) {
        return parser.fail(name(), "with name = '" + paramName + "' exists and has a different type.");
    }
    attributes.take("name", paramName);
    try {
        param->readAttributes(attributes);
    } catch (const Kiln::Exceptions::BadValue& e) {
        return parser.fail(name(), e.message());
    }
    param_ = param;
}

Param* ParamXMLElement::create(const std::string& paramName) const
{
    return createParamOfType(name(), paramName);
}

// ---------------------------------------------------------------------------------------
// choice

void ChoiceXMLElement::start(XML::StackedParser& parser, XML::Attributes& attributes)
{
    BaseParamXMLElement::start(parser, attributes);
    if (param_ == nullptr) return;
    attributes.take("default", default_);
    attributes.take("value", value_);
}

XML::ParseElement* ChoiceXMLElement::childElement(XML::StackedParser& parser, const std::string& child)
{
    auto* choice = static_cast<Choice*>(param_);
    if (choice != nullptr && child == "option") return new ChoiceOptionXMLElement(choice, child);
    if (choice != nullptr && child == "alias") return new ChoiceOptionAliasXMLElement(choice);
    return ParseElement::childElement(parser, child);
}

void ChoiceXMLElement::end(XML::StackedParser& parser)
{
    auto* choice = static_cast<Choice*>(param_);
    if (choice == nullptr) return;
    // The writer spells a value no option has as a number that is no label or alias.
    const std::string* text = nullptr;
    try {
        if (!value_.empty()) {
            text = &value_;
            choice->parseValue(value_, true);
        }
        if (!default_.empty() && !set_->isLocked()) {
            text = &default_;
            choice->parseDefault(default_, true);
        }
    } catch (const Kiln::Exceptions::BadValue&) {
        parser.fail(name(), "'" + *text + "' is not an option to the choice parameter " + choice->name());
    }
}

void ChoiceOptionXMLElement::start(XML::StackedParser& parser, XML::Attributes& attributes)
{
    std::string label, description;
    if (!attributes.take("label", label)) return parser.fail(name(), "choice option needs a label");
    attributes.take("description", description);
    // Without a value the option takes the next position.
    int32_t value = static_cast<int32_t>(choice_->options().size());
    if (attributes.has("value") && !takeIntAttribute(attributes, "value", value))
        return parser.fail(name(), "choice option '" + label + "' has a bad value");
    // Reading a written set back (a locked set, or the same document twice) meets
    // its own options again: the same label with the same value is not a duplicate.
    const ChoiceOption* same = choice_->optionByLabel(label);
    if (same != nullptr && same->value == value) {
        choice_->setOptionDescription(label, description);
        return;
    }
    choice_->addOption(label, value, description);
}

void BaseAliasXMLElement::start(XML::StackedParser& parser, XML::Attributes& attributes)
{
    std::string alias, original;
    if (!attributes.take("name", alias)) return parser.fail(name(), "alias element needs a 'name' attribute");
    if (!attributes.take("original", original))
        return parser.fail(name(), "alias element needs an 'original' attribute");
    apply(alias, original);
}

// ---------------------------------------------------------------------------------------
// colourgrad

XML::ParseElement* ParamGradXMLElement::childElement(XML::StackedParser& parser, const std::string& child)
{
    auto* grad = static_cast<Grad*>(param_);
    if (grad != nullptr && child == "value")
        return new KlGradXMLParseElement<KlRGBAColF>(grad->gradient(), child);
    if (grad != nullptr && child == "default")
        return new KlGradXMLParseElement<KlRGBAColF>(grad->defaultGradient(), child);
    return ParseElement::childElement(parser, child);
}

// ---------------------------------------------------------------------------------------
// group and page

XML::ParseElement* GroupXMLElement::childElement(XML::StackedParser& parser, const std::string& child)
{
    if (param_ != nullptr && child == "param")
        return new GroupParamXMLElement(static_cast<Group*>(param_), child);
    return ParseElement::childElement(parser, child);
}

void GroupParamXMLElement::start(XML::StackedParser& parser, XML::Attributes& attributes)
{
    std::string paramName;
    if (!attributes.take("name", paramName)) return parser.fail(name(), "group param needs a name");
    // A group read again (a locked set, or a written set read back) lists each name once.
    if (!group_->contains(paramName)) group_->addParam(paramName);
}

XML::ParseElement* PageXMLElement::childElement(XML::StackedParser& parser, const std::string& child)
{
    auto* page = static_cast<Page*>(param_);
    if (page != nullptr && child == "column") return new PageColumnXMLElement(page, child, false);
    if (page != nullptr && child == "row") return new PageColumnXMLElement(page, child, true);
    return ParseElement::childElement(parser, child);
}

void PageColumnXMLElement::start(XML::StackedParser& parser, XML::Attributes& attributes)
{
    if (!takeIntAttribute(attributes, "position", position_))
        parser.fail(name(), "page element needs position ");
}

XML::ParseElement* PageColumnXMLElement::childElement(XML::StackedParser&, const std::string& child)
{
    return new PageRowXMLElement(page_, child, position_, isRow_);
}

void PageRowXMLElement::start(XML::StackedParser& parser, XML::Attributes& attributes)
{
    std::string paramName;
    int32_t position = 0;
    if (!attributes.take("name", paramName)) return parser.fail(name(), "page element needs a name ");
    if (!takeIntAttribute(attributes, "position", position))
        return parser.fail(name(), "page element needs position ");
    int32_t row = fixedIsRow_ ? fixed_ : position;
    int32_t column = fixedIsRow_ ? position : fixed_;
    const std::string* held = page_->getParamAtPosition(row, column);
    if (held != nullptr && *held == paramName) return;  // the same cell read again
    if (held != nullptr)
        return parser.fail(name(), "page cell " + std::to_string(row) + "/" + std::to_string(column) +
                                       " already holds '" + *held + "'");
    page_->addParam(paramName, row, column);
}

// ---------------------------------------------------------------------------------------
// ParamSet reading

void ParamSet::parseXML(const std::string& text)
{
    XML::parseDocument<ParamSetXMLElement>("paramset", this, text);
}

void ParamSet::parseXML(std::FILE* file) { XML::parseDocument<ParamSetXMLElement>("paramset", this, file); }

void ParamSet::parseXMLFile(const std::string& path)
{
    XML::readFile(path, "Kiln::Param::ParamSet::parseXMLFile", __FILE__, __LINE__,
                  [this](std::FILE* f) { parseXML(f); });
}

}  // namespace Kiln::Param
