#pragma once
// Element handlers of the parameter-set XML format.
//
//   <paramset>
//     <int name='gain' label='Gain' min='0' max='10' value='5'/>
//     <choice name='mode' value='High'>
//       <option label='Low' value='0'/> <option label='High' value='1'/>
//       <alias name='Fast' original='High'/>
//     </choice>
//     <colourgrad name='ramp'> <value cyclic='false' interp='linear'>
//       <node position='0.5' value='1 0 0 1' id='2'/> </value> </colourgrad>
//     <group name='g'> <param name='gain'/> </group>
//     <page name='p'> <column position='0'> <cell name='gain' position='1'/> </column> </page>
//     <alias name='amount' original='gain'/>
//   </paramset>
//
// An unlocked set gets the parameters it lacks; a locked set only has the
// attributes of its own parameters updated. The written forms of gradients
// ("grad") and pages (rows of cells) are read as well, so that whatever
// ParamSet::writeXML writes reads back into an equal set.
#include "param/klParamChoice.h"
#include "param/klParamGrad.h"
#include "param/klParamGroup.h"
#include "param/klParamSet.h"
#include "xml/klXMLStackedParser.h"

#include <string>

namespace Kiln::Param {

// Creates an unattached parameter of a type name ("int", "scale", "group", ...),
// or null for a name that is not a parameter type.
Param* createParamOfType(const std::string& typeName, const std::string& name);

// The root element "paramset".
class ParamSetXMLElement : public XML::ParseElement {
public:
    // NullPointer for a null set.
    explicit ParamSetXMLElement(ParamSet* set);
    XML::ParseElement* childElement(XML::StackedParser& parser, const std::string& child) override;

private:
    ParamSet* set_;
};

// The steps shared by every parameter element: name lookup, creation in an
// unlocked set, type check, then the parameter's own attributes.
class BaseParamXMLElement : public XML::ParseElement {
public:
    BaseParamXMLElement(ParamSet* set, const std::string& element) : ParseElement(element), set_(set) { }
    void start(XML::StackedParser& parser, XML::Attributes& attributes) override;

protected:
    // The typeName a parameter of this element must have.
    virtual std::string expectedType() const { return name(); }
    // A new parameter of the element's class.
    virtual Param* create(const std::string& paramName) const = 0;

    ParamSet* set_;
    Param* param_ = nullptr;  // null until start succeeded
};

// Every value element ("int", "double", "bool", "rgb", ...), and "group" / "page".
class ParamXMLElement : public BaseParamXMLElement {
public:
    using BaseParamXMLElement::BaseParamXMLElement;

protected:
    Param* create(const std::string& paramName) const override;
};

class ChoiceXMLElement : public BaseParamXMLElement {
public:
    explicit ChoiceXMLElement(ParamSet* set) : BaseParamXMLElement(set, "choice") { }
    void start(XML::StackedParser& parser, XML::Attributes& attributes) override;
    XML::ParseElement* childElement(XML::StackedParser& parser, const std::string& child) override;
    // Applies "value" and (in an unlocked set) "default" after the options.
    void end(XML::StackedParser& parser) override;

protected:
    Param* create(const std::string& paramName) const override { return new Choice(paramName); }

private:
    std::string value_;
    std::string default_;
};

class ChoiceOptionXMLElement : public XML::ParseElement {
public:
    ChoiceOptionXMLElement(Choice* choice, const std::string& element)
        : ParseElement(element), choice_(choice)
    { }
    void start(XML::StackedParser& parser, XML::Attributes& attributes) override;

private:
    Choice* choice_;
};

// "name" and "original", both required.
class BaseAliasXMLElement : public XML::ParseElement {
public:
    using ParseElement::ParseElement;
    void start(XML::StackedParser& parser, XML::Attributes& attributes) override;

protected:
    virtual void apply(const std::string& alias, const std::string& original) = 0;
};

class ParamAliasXMLElement : public BaseAliasXMLElement {
public:
    explicit ParamAliasXMLElement(ParamSet* set) : BaseAliasXMLElement("alias"), set_(set) { }

protected:
    void apply(const std::string& alias, const std::string& original) override
    {
        set_->aliasParam(alias, original);
    }

private:
    ParamSet* set_;
};

class ChoiceOptionAliasXMLElement : public BaseAliasXMLElement {
public:
    explicit ChoiceOptionAliasXMLElement(Choice* choice) : BaseAliasXMLElement("alias"), choice_(choice) { }

protected:
    void apply(const std::string& alias, const std::string& original) override
    {
        choice_->aliasOption(alias, original);
    }

private:
    Choice* choice_;
};

// "colourgrad" (and the written "grad"): children "value" and "default".
class ParamGradXMLElement : public BaseParamXMLElement {
public:
    ParamGradXMLElement(ParamSet* set, const std::string& element) : BaseParamXMLElement(set, element) { }
    XML::ParseElement* childElement(XML::StackedParser& parser, const std::string& child) override;

protected:
    std::string expectedType() const override { return "grad"; }
    Param* create(const std::string& paramName) const override { return new Grad(paramName); }
};

class GroupXMLElement : public BaseParamXMLElement {
public:
    explicit GroupXMLElement(ParamSet* set) : BaseParamXMLElement(set, "group") { }
    XML::ParseElement* childElement(XML::StackedParser& parser, const std::string& child) override;

protected:
    Param* create(const std::string& paramName) const override { return new Group(paramName); }
};

class GroupParamXMLElement : public XML::ParseElement {
public:
    GroupParamXMLElement(Group* group, const std::string& element) : ParseElement(element), group_(group) { }
    void start(XML::StackedParser& parser, XML::Attributes& attributes) override;

private:
    Group* group_;
};

class PageXMLElement : public BaseParamXMLElement {
public:
    explicit PageXMLElement(ParamSet* set) : BaseParamXMLElement(set, "page") { }
    XML::ParseElement* childElement(XML::StackedParser& parser, const std::string& child) override;

protected:
    Param* create(const std::string& paramName) const override { return new Page(paramName); }
};

// A "column" of the read form (cells give their row), or a "row" of the written
// form (cells give their column).
class PageColumnXMLElement : public XML::ParseElement {
public:
    PageColumnXMLElement(Page* page, const std::string& element, bool isRow)
        : ParseElement(element), page_(page), isRow_(isRow)
    { }
    void start(XML::StackedParser& parser, XML::Attributes& attributes) override;
    XML::ParseElement* childElement(XML::StackedParser& parser, const std::string& child) override;

private:
    Page* page_;
    bool isRow_;
    int32_t position_ = 0;
};

// One cell of a page, whatever its element name.
class PageRowXMLElement : public XML::ParseElement {
public:
    PageRowXMLElement(Page* page, const std::string& element, int32_t fixed, bool fixedIsRow)
        : ParseElement(element), page_(page), fixed_(fixed), fixedIsRow_(fixedIsRow)
    { }
    void start(XML::StackedParser& parser, XML::Attributes& attributes) override;

private:
    Page* page_;
    int32_t fixed_;
    bool fixedIsRow_;
};

// Reads an integer attribute (decimal, with sign); false when absent or not a number.
bool takeIntAttribute(XML::Attributes& attributes, const char* name, int32_t& value);

}  // namespace Kiln::Param
