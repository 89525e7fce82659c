#include "xml/klXMLParser.h"

#include "exceptions/klException.h"

#include <expat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <string>

namespace Kiln::XML {

namespace {

std::string lowerCase(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Attributes

Attributes::Attributes(bool fold) : fold_(fold) { }

Attributes::Attributes(const char** list, bool fold) : fold_(fold)
{
    if (list == nullptr) return;
    for (int i = 0; i + 1 < kMaxListEntries && list[i] != nullptr; i += 2)
        add(list[i], list[i + 1] ? list[i + 1] : "");
}

void Attributes::setFolding(bool fold)
{
    if (fold == fold_) return;
    fold_ = fold;
    entries_.clear();
    for (const auto& [name, value] : given_) entries_.emplace(key(name), value);
}

std::string Attributes::key(const std::string& name) const { return fold_ ? lowerCase(name) : name; }

void Attributes::add(const std::string& name, const std::string& value)
{
    given_.emplace_back(name, value);
    entries_.emplace(key(name), value);
}

bool Attributes::has(const std::string& name) const { return entries_.count(key(name)) != 0; }

std::string Attributes::get(const std::string& name) const
{
    auto it = entries_.find(key(name));
    return it == entries_.end() ? std::string() : it->second;
}

bool Attributes::take(const std::string& name, std::string& value)
{
    auto it = entries_.find(key(name));
    if (it == entries_.end()) return false;
    value = it->second;
    entries_.erase(it);
    return true;
}

bool Attributes::takeBoolean(const std::string& name, bool& value)
{
    std::string text;
    if (!take(name, text)) return false;
    value = parseBoolean(text);
    return true;
}

// ---------------------------------------------------------------------------------------
// Parser

Parser::Parser() : parser_(XML_ParserCreate("UTF-8"))
{
    // The messages of the exceptions raised while parsing come from the templates.
    Kiln::Errors::Initialise();
    if (parser_ == nullptr)
        throw Kiln::Exceptions::OutOfMemory("Kiln::XML::Parser::Parser", __FILE__, __LINE__,
                                            static_cast<int>(sizeof(void*)), "XML parser");
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &Parser::onStart, &Parser::onEnd);
    XML_SetCharacterDataHandler(parser_, &Parser::onCharacters);
}

Parser::~Parser() { XML_ParserFree(parser_); }

int Parser::currentLine() const { return static_cast<int>(XML_GetCurrentLineNumber(parser_)); }

int Parser::currentColumn() const { return static_cast<int>(XML_GetCurrentColumnNumber(parser_)); }

void Parser::parse(const std::string& text) { parse(text.data(), text.size()); }

void Parser::parse(const char* text, std::size_t length)
{
    // expat takes an int length; anything longer goes in several pieces.
    constexpr std::size_t kPiece = std::size_t(1) << 30;
    do {
        std::size_t n = std::min(length, kPiece);
        bool last = n == length;
        if (XML_Parse(parser_, text, static_cast<int>(n), last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
            throwParsingException();
            return;
        }
        text += n;
        length -= n;
    } while (length > 0);
}

void Parser::parse(std::FILE* file)
{
    for (;;) {
        void* buffer = XML_GetBuffer(parser_, kFileBufferSize);
        if (buffer == nullptr)
            throw Kiln::Exceptions::OutOfMemory("Kiln::XML::Parser::parse", __FILE__, __LINE__,
                                                kFileBufferSize, "XML parser");
        std::size_t n = file ? std::fread(buffer, 1, kFileBufferSize, file) : 0;
        if (n == 0 && file && std::ferror(file))
            throw Kiln::Exceptions::XML::Parse("Kiln::XML::Parser::parse", __FILE__, __LINE__, "XML parsing,",
                                               "the file could not be read");
        if (XML_ParseBuffer(parser_, static_cast<int>(n), n == 0 ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
            throwParsingException();
            return;
        }
        if (n == 0) return;
    }
}

void Parser::fail(const std::string& element, const std::string& message)
{
    message_ += "At line" + std::to_string(currentLine()) + ", element '" + element + "' " + message;
    failed_ = true;
    XML_StopParser(parser_, XML_FALSE);
}

void Parser::keepException(std::exception_ptr e)
{
    if (pending_ == nullptr) pending_ = e;
    XML_StopParser(parser_, XML_FALSE);
}

void Parser::throwParsingException()
{
    if (pending_) {
        std::exception_ptr e = pending_;
        pending_ = nullptr;
        std::rethrow_exception(e);
    }
    if (failed_)
        throw Kiln::Exceptions::XML::Parse("Kiln::XML::Parser::throwParsingException", __FILE__, __LINE__,
                                           "XML parsing,", message_);
    XML_Error code = XML_GetErrorCode(parser_);
    // expat gives "no element found" both for an empty document and for one cut off
    // inside an open element; only the first is harmless.
    if (code == XML_ERROR_NONE || (code == XML_ERROR_NO_ELEMENTS && !started_)) return;
    std::string where = "XML parsing, at line/column " + std::to_string(currentLine()) + "/" +
                        std::to_string(currentColumn());
    const char* text = XML_ErrorString(code);
    throw Kiln::Exceptions::XML::Parse("Kiln::XML::Parser::throwParsingException", __FILE__, __LINE__, where,
                                       text ? text : "unknown XML error");
}

void Parser::onStart(void* self, const char* name, const char** list)
{
    auto* p = static_cast<Parser*>(self);
    ++p->depth_;
    p->started_ = true;
    if (p->halted()) return;
    try {
        Attributes attributes(list, p->fold_);
        p->startElement(name, attributes);
        if (!p->halted() && attributes.count() != 0) {
            std::string text = "Unknown attributes";
            for (const auto& entry : attributes.entries()) text += " '" + entry.first + "'";
            p->fail(name, text);
        }
    } catch (...) {
        p->keepException(std::current_exception());
    }
}

void Parser::onEnd(void* self, const char* name)
{
    auto* p = static_cast<Parser*>(self);
    if (!p->halted()) {
        try {
            p->endElement(name);
        } catch (...) {
            p->keepException(std::current_exception());
        }
    }
    --p->depth_;
}

void Parser::onCharacters(void* self, const char* text, int length)
{
    auto* p = static_cast<Parser*>(self);
    if (p->halted()) return;
    try {
        p->characters(text, length);
    } catch (...) {
        p->keepException(std::current_exception());
    }
}

}  // namespace Kiln::XML
