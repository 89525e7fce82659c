#pragma once
// The XML front-end: one parser object per document over expat.
//
// Expat's start-tag, end-tag and character-data events arrive at the three pure
// virtual operations below. Handlers report problems in the document with fail(),
// which records a located message ("At line12, element 'option' ...") and stops
// the parse; the parse then raises one Kiln::Exceptions::XML::Parse exception.
// Exceptions raised by the handlers themselves (for example DuplicateObject from a
// parameter set) are carried across expat's C frames and re-raised unchanged once
// expat has returned.
//
// A parser reads one document and is then destroyed.
#include <cstddef>
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct XML_ParserStruct;

namespace Kiln::XML {

// The attributes of one start tag. Names are lower-cased when folding is on, both
// when the entries are stored and when they are looked up. Handlers consume what
// they understand with take(); what is left after the handler counts as unknown.
class Attributes {
public:
    // Expat's name/value list is read up to this many entries (500 attributes).
    static constexpr int kMaxListEntries = 1000;

    explicit Attributes(bool fold = true);
    // From expat's null-terminated name/value list. Of two names that fold to the
    // same text the first one counts.
    Attributes(const char** list, bool fold);

    void add(const std::string& name, const std::string& value);
    // Rebuilds the entries from the names as given, folded or not. Used before
    // anything is taken, when an element compares its attribute names exactly.
    void setFolding(bool fold);
    bool has(const std::string& name) const;
    // The value, or an empty string when absent; does not consume.
    std::string get(const std::string& name) const;
    // When present: copies the value out, removes the entry and returns true.
    // Otherwise returns false and leaves `value` unchanged.
    bool take(const std::string& name, std::string& value);
    // take() of a boolean attribute, read with parseBoolean.
    bool takeBoolean(const std::string& name, bool& value);

    // The number of entries not yet consumed.
    std::size_t count() const { return entries_.size(); }
    const std::map<std::string, std::string>& entries() const { return entries_; }
    bool folds() const { return fold_; }

private:
    std::string key(const std::string& name) const;

    bool fold_;
    std::map<std::string, std::string> entries_;
    std::vector<std::pair<std::string, std::string>> given_;  // names and values as in the tag
};

class Parser {
public:
    // Size of each piece read from a file.
    static constexpr int kFileBufferSize = 10240;

    Parser();
    virtual ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    virtual void startElement(const std::string& name, Attributes& attributes) = 0;
    virtual void endElement(const std::string& name) = 0;
    virtual void characters(const char* text, int length) = 0;

    // Parses a whole document held in memory.
    virtual void parse(const std::string& text);
    virtual void parse(const char* text, std::size_t length);
    // Reads an open file to its end in pieces of kFileBufferSize bytes.
    void parse(std::FILE* file);

    // Records "At line<n>, element '<element>' <message>" and stops the parse.
    void fail(const std::string& element, const std::string& message);

    bool failed() const { return failed_; }
    const std::string& message() const { return message_; }
    int depth() const { return depth_; }
    int currentLine() const;
    int currentColumn() const;

    // Attribute names are compared in lower case while this is on (the default).
    void setFoldAttributeNames(bool fold) { fold_ = fold; }
    bool foldAttributeNames() const { return fold_; }

protected:
    // Called when expat reports failure: re-raises a handler's exception, raises
    // Parse for a recorded message or a syntax error, and returns quietly for a
    // document in which no element was ever started (an empty document).
    void throwParsingException();

private:
    static void onStart(void* self, const char* name, const char** attributes);
    static void onEnd(void* self, const char* name);
    static void onCharacters(void* self, const char* text, int length);
    // Stops expat after a handler raised; the exception is re-raised by parse.
    void keepException(std::exception_ptr e);
    bool halted() const { return failed_ || pending_ != nullptr; }

    XML_ParserStruct* parser_;
    int depth_ = 0;
    std::string message_;
    bool failed_ = false;
    bool fold_ = true;
    bool started_ = false;  // an element was started: "no element found" is then a real error
    std::exception_ptr pending_;
};

// The boolean reading of attribute text: after leading white space (tab, space,
// newline, carriage return, form feed) the text is true when it begins with
// "true", "yes", "vero" or "vrai" in any case; otherwise when its number, read with
// automatic base (decimal, 0x hexadecimal, leading-zero octal), is not 0.
bool parseBoolean(const std::string& text);

// Attribute value text made safe for a quoted attribute: the five markup
// characters become entities and tab, line feed and carriage return become
// character references so that they survive attribute normalisation. Bytes that
// XML 1.0 cannot carry (other control characters, malformed UTF-8) become U+FFFD,
// so the written document is always well-formed.
std::string escapeAttribute(const std::string& text);

}  // namespace Kiln::XML
