#pragma once
// XML elements of a gradient:
//   <value cyclic='false' interp='linear'>
//     <node position='0.5' value='1 0 0 1' id='2'/>
//   </value>
// A node with an id replaces the node with that id (or is appended with it); a
// node without one is appended.
#include "param/klColGrad.h"
#include "param/klParamTypes.h"
#include "xml/klXMLParser.h"
#include "xml/klXMLStackedParser.h"

#include <sstream>
#include <string>

template <class Colour>
class KlGradNodeXMLParseElement : public Kiln::XML::ParseElement {
public:
    KlGradNodeXMLParseElement(KlGradDescription<Colour>& gradient, const std::string& element)
        : ParseElement(element), gradient_(gradient)
    { }

    void start(Kiln::XML::StackedParser& parser, Kiln::XML::Attributes& attributes) override
    {
        std::string position, value, id;
        if (!attributes.take("position", position)) {
            parser.fail(name(), "Grad node element missing 'position' attribute'");
            return;
        }
        if (!attributes.take("value", value)) {
            parser.fail(name(), "Grad node element missing 'value' attribute'");
            return;
        }
        float p = 0.0f;
        Colour c{};
        long long nodeId = -1;
        {
            std::istringstream in(position);
            if (!Kiln::Param::readNumber(in, p))
                return parser.fail(name(), "Grad node element has a bad 'position' attribute");
        }
        {
            std::istringstream in(value);
            for (int i = 0; i < Colour::channels; ++i)
                if (!Kiln::Param::readNumber(in, c[i]))
                    return parser.fail(name(), "Grad node element has a bad 'value' attribute");
        }
        if (attributes.take("id", id)) {
            std::istringstream in(id);
            if (!(in >> nodeId) || nodeId < -1 || nodeId > 2147483647)
                return parser.fail(name(), "Grad node element has a bad 'id' attribute");
        }
        gradient_.setNode(c, p, static_cast<int32_t>(nodeId));
    }

private:
    KlGradDescription<Colour>& gradient_;
};

template <class Colour>
class KlGradXMLParseElement : public Kiln::XML::ParseElement {
public:
    KlGradXMLParseElement(KlGradDescription<Colour>& gradient, const std::string& element)
        : ParseElement(element), gradient_(gradient)
    { }

    void start(Kiln::XML::StackedParser& parser, Kiln::XML::Attributes& attributes) override
    {
        std::string text;
        if (bool b; attributes.takeBoolean("cyclic", b)) gradient_.setCyclic(b);
        if (attributes.take("interp", text)) {
            if (text == "linear")
                gradient_.setInterpolation(KlGradDescription<Colour>::Linear);
            else if (text == "cubic")
                gradient_.setInterpolation(KlGradDescription<Colour>::Cubic);
            else
                parser.fail("grad", "Grad element has unknown value for the 'interp' attribute");
        }
    }

    Kiln::XML::ParseElement* childElement(Kiln::XML::StackedParser& parser, const std::string& child) override
    {
        if (child == "node") return new KlGradNodeXMLParseElement<Colour>(gradient_, child);
        return ParseElement::childElement(parser, child);
    }

private:
    KlGradDescription<Colour>& gradient_;
};
