#include "xml/klXMLStackedParser.h"

namespace Kiln::XML {

ParseElement::~ParseElement() = default;

ParseElement* ParseElement::childElement(StackedParser& parser, const std::string& child)
{
    parser.fail(child, "cannot be a child element of " + name_);
    return nullptr;
}

void ParseElement::start(StackedParser&, Attributes&) { }

void ParseElement::characters(StackedParser&, const char*, int) { }

void ParseElement::end(StackedParser&) { }

void DescriptionParseElement::characters(StackedParser&, const char* text, int length)
{
    if (text != nullptr && length > 0) text_.append(text, static_cast<std::size_t>(length));
}

StackedParser::StackedParser(ParseElement& root) : root_(root), current_(&root) { }

StackedParser::~StackedParser()
{
    if (current_ != &root_) delete current_;
    for (ParseElement* e : stack_)
        if (e != &root_) delete e;
}

void StackedParser::startElement(const std::string& name, Attributes& attributes)
{
    std::unique_ptr<ParseElement> child(current_->childElement(*this, name));
    if (failed()) return;
    if (!child) {
        fail(name, " element is not handled");
        return;
    }
    if (std::optional<bool> fold = child->foldAttributeNames()) attributes.setFolding(*fold);
    stack_.push_back(current_);
    current_ = child.release();
    current_->start(*this, attributes);
}

void StackedParser::endElement(const std::string&)
{
    if (failed()) return;
    current_->end(*this);
    if (stack_.empty()) return;  // an end tag without a matching start: expat never sends one
    if (current_ != &root_) delete current_;
    current_ = stack_.back();
    stack_.pop_back();
}

void StackedParser::characters(const char* text, int length)
{
    if (!failed() && current_ != nullptr) current_->characters(*this, text, length);
}

}  // namespace Kiln::XML
