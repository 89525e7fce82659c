#pragma once
// The element stack: each open element of a document is handled by one element
// object. The current element decides which children it accepts (childElement),
// each new element consumes its own attributes (start), receives its character
// data and is told when it ends. A refused child stops the whole parse with a
// located message; after the first recorded error no handler is called again.
//
// A document is read through a RootElement that stands for the document itself
// and accepts exactly one root element name:
//
//     Kiln::XML::RootElement<ParamSetXMLElement, ParamSet*> root("paramset", &set);
//     Kiln::XML::StackedParser parser(root);
//     parser.parse(text);
#include "exceptions/klException.h"
#include "xml/klXMLParser.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Kiln::XML {

class StackedParser;

class ParseElement {
public:
    explicit ParseElement(std::string name) : name_(std::move(name)) { }
    virtual ~ParseElement();
    ParseElement(const ParseElement&) = delete;
    ParseElement& operator=(const ParseElement&) = delete;

    // A new element object for the child, or null after recording an error.
    // Default: "cannot be a child element of <name>".
    virtual ParseElement* childElement(StackedParser& parser, const std::string& child);
    // Called once with the element's attributes; take() what is understood.
    virtual void start(StackedParser& parser, Attributes& attributes);
    // Character data inside the element; ignored by default.
    virtual void characters(StackedParser& parser, const char* text, int length);
    // Called at the end tag.
    virtual void end(StackedParser& parser);
    // Whether this element's attribute names are compared in lower case; empty
    // follows the parser's setting.
    virtual std::optional<bool> foldAttributeNames() const { return std::nullopt; }

    const std::string& name() const { return name_; }

private:
    std::string name_;
};

// A "description" element: collects its character data.
class DescriptionParseElement : public ParseElement {
public:
    DescriptionParseElement() : ParseElement("description") { }
    void characters(StackedParser& parser, const char* text, int length) override;
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// A description element that hands its text to the described object at the end
// tag (object->setDescription(text)).
template <class Ref>
class AutoRefObjectDescriptionParseElement : public DescriptionParseElement {
public:
    explicit AutoRefObjectDescriptionParseElement(Ref object) : object_(object) { }
    void end(StackedParser&) override
    {
        if (object_) object_->setDescription(text());
    }

private:
    Ref object_;
};

class StackedParser : public Parser {
public:
    // The root element is owned by the caller and must outlive the parser.
    explicit StackedParser(ParseElement& root);
    ~StackedParser() override;

    void startElement(const std::string& name, Attributes& attributes) override;
    void endElement(const std::string& name) override;
    void characters(const char* text, int length) override;

    ParseElement& root() const { return root_; }
    ParseElement* current() const { return current_; }

private:
    ParseElement& root_;
    ParseElement* current_;
    std::vector<ParseElement*> stack_;  // the elements below current, most recent last
};

// Stands for the document: accepts only the expected root element and hands it a
// new Element built from the holder (for example a ParamSet*).
template <class Element, class Holder>
class RootElement : public ParseElement {
public:
    RootElement(std::string rootName, Holder holder)
        : ParseElement(""), rootName_(std::move(rootName)), holder_(holder)
    { }

    ParseElement* childElement(StackedParser& parser, const std::string& child) override
    {
        if (child == rootName_) return new Element(holder_);
        parser.fail(child, "Expecting root XML element '" + rootName_ + "'");
        return nullptr;
    }

    const std::string& rootName() const { return rootName_; }

private:
    std::string rootName_;
    Holder holder_;
};

// Reads a document (text or an open file) whose root element `rootName` is handled by Element(holder).
template <class Element, class Holder, class Source>
void parseDocument(const std::string& rootName, Holder holder, Source source)
{
    RootElement<Element, Holder> root(rootName, holder);
    StackedParser parser(root);
    parser.parse(source);
}

// Opens `path` for reading and hands the file to read(FILE*), closing it afterwards; a file that cannot
// be opened raises FileOpen("open file for reading", path) from the caller's function, file and line.
template <class Read>
void readFile(const std::string& path, const char* function, const char* file, int line, Read&& read)
{
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        throw Kiln::Exceptions::File::FileOpen(function, file, line, "open file for reading", path);
    struct Closer {
        std::FILE* f;
        ~Closer() { std::fclose(f); }
    } closer{f};
    read(f);
}

}  // namespace Kiln::XML
