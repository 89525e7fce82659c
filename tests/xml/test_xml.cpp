#include "exceptions/klException.h"
#include "xml/klXMLParser.h"
#include "xml/klXMLStackedParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using Kiln::XML::Attributes;
using Kiln::XML::ParseElement;
using Kiln::XML::StackedParser;

namespace {

// Records every event it sees; accepts children named in `accept` (any when empty),
// consumes the attributes named in `consume`.
struct Log {
    std::vector<std::string> events;
    std::vector<std::string> accept;
    std::vector<std::string> consume;
    std::string throwOn;  // element whose start raises DuplicateObject
};

class LogElement : public ParseElement {
public:
    LogElement(const std::string& name, Log& log) : ParseElement(name), log_(log) { }
    ParseElement* childElement(StackedParser& parser, const std::string& child) override
    {
        if (log_.accept.empty() ||
            std::find(log_.accept.begin(), log_.accept.end(), child) != log_.accept.end())
            return new LogElement(child, log_);
        return ParseElement::childElement(parser, child);
    }
    void start(StackedParser&, Attributes& attributes) override
    {
        std::string v, text = "start " + name();
        for (const auto& a : log_.consume)
            if (attributes.take(a, v)) text += " " + a + "=" + v;
        log_.events.push_back(text);
        if (name() == log_.throwOn)
            throw Kiln::Exceptions::DuplicateObject("LogElement::start", __FILE__, __LINE__, name());
    }
    void characters(StackedParser&, const char* text, int length) override
    {
        if (!log_.events.empty() && log_.events.back().rfind("text ", 0) == 0)
            log_.events.back().append(text, length);
        else
            log_.events.push_back("text " + std::string(text, length));
    }
    void end(StackedParser&) override { log_.events.push_back("end " + name()); }

private:
    Log& log_;
};

// RootElement builds Element(holder); LogElement wants (name, log).
class DocElement : public LogElement {
public:
    explicit DocElement(Log* log) : LogElement("doc", *log) { }
};
using DocRoot = Kiln::XML::RootElement<DocElement, Log*>;

std::string parseMessage(const std::string& text, Log& log, bool fold = true)
{
    DocRoot root("doc", &log);
    StackedParser parser(root);
    parser.setFoldAttributeNames(fold);
    try {
        parser.parse(text);
    } catch (const Kiln::Exceptions::XML::Parse& e) {
        return e.message();
    }
    return "";
}

}  // namespace

TEST(XmlAttributes, FoldingHasGetTake)
{
    const char* list[] = {"NAME", "x", "Colour", "red", nullptr};
    Attributes folded(list, true);
    EXPECT_TRUE(folded.has("name"));
    EXPECT_TRUE(folded.has("NaMe"));
    EXPECT_EQ(folded.get("colour"), "red");
    EXPECT_EQ(folded.get("missing"), "");
    EXPECT_EQ(folded.count(), 2u);

    std::string value = "unchanged";
    EXPECT_FALSE(folded.take("size", value));
    EXPECT_EQ(value, "unchanged");
    EXPECT_TRUE(folded.take("name", value));
    EXPECT_EQ(value, "x");
    EXPECT_EQ(folded.count(), 1u);
    EXPECT_FALSE(folded.has("name"));

    Attributes exact(list, false);
    EXPECT_FALSE(exact.has("name"));
    EXPECT_TRUE(exact.has("NAME"));
}

TEST(XmlAttributes, ListIsReadUpTo500Attributes)
{
    std::vector<std::string> storage;
    for (int i = 0; i < 700; ++i) {
        storage.push_back("a" + std::to_string(i));
        storage.push_back(std::to_string(i));
    }
    std::vector<const char*> list;
    for (const auto& s : storage) list.push_back(s.c_str());
    list.push_back(nullptr);
    Attributes attributes(list.data(), true);
    EXPECT_EQ(attributes.count(), 500u);
    EXPECT_TRUE(attributes.has("a499"));
    EXPECT_FALSE(attributes.has("a500"));
}

TEST(XmlAttributes, FoldedDuplicatesKeepTheFirst)
{
    const char* list[] = {"Name", "first", "NAME", "second", nullptr};
    Attributes attributes(list, true);
    EXPECT_EQ(attributes.count(), 1u);
    EXPECT_EQ(attributes.get("name"), "first");
}

TEST(XmlParser, EventsReachTheElementStack)
{
    Log log;
    log.consume = {"name"};
    EXPECT_EQ(parseMessage("<doc><item NAME='x'>hi</item><item name='y'/></doc>", log), "");
    std::vector<std::string> expected = {"start doc",         "start item name=x", "text hi", "end item",
                                         "start item name=y", "end item",          "end doc"};
    EXPECT_EQ(log.events, expected);
}

TEST(XmlParser, UnknownAttributesAreListedInNameOrder)
{
    Log log;
    log.consume = {"name"};
    std::string m = parseMessage("<doc>\n<item name='a' size='2' colour='red'/></doc>", log);
    EXPECT_EQ(m, "Failed to 'XML parsing,' 'At line2, element 'item' Unknown attributes 'colour' 'size''");
    Log one;
    one.consume = {"name"};
    EXPECT_NE(parseMessage("<doc><item colour='red'/></doc>", one).find("Unknown attributes 'colour''"),
              std::string::npos);
}

TEST(XmlParser, RefusedChildStopsTheParse)
{
    Log log;
    log.accept = {"choice"};
    std::string doc = "<doc>\n<choice>\n</choice>\n\n\n\n\n\n\n\n\n<option/>\n<choice/>\n</doc>";
    DocRoot root("doc", &log);
    StackedParser parser(root);
    try {
        parser.parse(doc);
        FAIL() << "no exception";
    } catch (const Kiln::Exceptions::XML::Parse& e) {
        EXPECT_EQ(e.code(), Kiln::Errors::Failed);
        EXPECT_STREQ(e.record().function, "Kiln::XML::Parser::throwParsingException");
        EXPECT_NE(std::string(e.record().file).find("klXMLParser"), std::string::npos);
        ASSERT_EQ(e.record().values.size(), 2u);
        EXPECT_EQ(e.record().values.at(0).str(), "'XML parsing,'");
    }
    EXPECT_EQ(parser.message(), "At line12, element 'option' cannot be a child element of doc");
    // Nothing after the refused element was started.
    int starts = 0;
    for (const auto& e : log.events) starts += e.rfind("start", 0) == 0;
    EXPECT_EQ(starts, 2);
}

TEST(XmlParser, SyntaxErrorsAndCutDocumentsGiveLineAndColumn)
{
    // expat reports a document cut off inside an element as "no element found", as for an empty one.
    struct Case {
        const char* doc;
        const char* where;
        const char* what;
    };
    for (const Case& c :
         {Case{"<doc>\n  <a></b>\n</doc>", "'XML parsing, at line/column 2/7'", "'mismatched tag'"},
          Case{"<doc>\n<item>", "'XML parsing, at line/column 2/6'", "'no element found'"}}) {
        Log log;
        DocRoot root("doc", &log);
        StackedParser parser(root);
        try {
            parser.parse(c.doc);
            ADD_FAILURE() << "no exception for " << c.doc;
        } catch (const Kiln::Exceptions::XML::Parse& e) {
            EXPECT_EQ(e.record().values.at(0).str(), c.where);
            EXPECT_EQ(e.record().values.at(1).str(), c.what);
        }
    }
    Log cut;
    EXPECT_NE(parseMessage("<doc><item name='x", cut), "");
}

TEST(XmlParser, EmptyDocumentRaisesNothing)
{
    for (const char* doc : {"", "   \n", "<?xml version='1.0'?>", "<!-- only a comment -->"}) {
        Log log;
        EXPECT_EQ(parseMessage(doc, log), "") << doc;
        EXPECT_TRUE(log.events.empty());
    }
}

TEST(XmlParser, InvalidUtf8AndDeepNesting)
{
    Log log;
    EXPECT_NE(parseMessage(std::string("<doc>\xff\xfe</doc>"), log), "");

    // Deeply nested accepted elements are unwound by the parser without recursion.
    std::string deep;
    for (int i = 0; i < 20000; ++i) deep += "<doc>";
    Log deepLog;
    deepLog.accept = {"doc"};
    EXPECT_NE(parseMessage(deep, deepLog), "");  // truncated: cleaned up, reported
    for (int i = 0; i < 20000; ++i) deep += "</doc>";
    Log whole;
    whole.accept = {"doc"};
    EXPECT_EQ(parseMessage(deep, whole), "");
    EXPECT_EQ(whole.events.size(), 40000u);
}

TEST(XmlParser, HandlerExceptionsPassThroughUnchanged)
{
    Log log;
    log.throwOn = "bad";
    DocRoot root("doc", &log);
    StackedParser parser(root);
    EXPECT_THROW(parser.parse("<doc><bad/><never/></doc>"), Kiln::Exceptions::DuplicateObject);
    EXPECT_EQ(log.events.back(), "start bad");
}

TEST(XmlParser, DescriptionCollectsAllText)
{
    struct Target {
        std::string text;
        void setDescription(const std::string& t) { text = t; }
    } target;
    using Desc = Kiln::XML::AutoRefObjectDescriptionParseElement<Target*>;
    Kiln::XML::RootElement<Desc, Target*> root("description", &target);
    StackedParser parser(root);
    parser.parse("<description>one &amp; <![CDATA[two]]>\nthree</description>");
    EXPECT_EQ(target.text, "one & two\nthree");
}

TEST(XmlText, BooleanRule)
{
    using Kiln::XML::parseBoolean;
    for (const char* t : {"true", "TRUE", "Yes", "yes please", "vero", "VRAI", " \t\n\r\ftrue", " 1", "0x10",
                          "010", "-3", "7abc"})
        EXPECT_TRUE(parseBoolean(t)) << t;
    for (const char* t : {"false", "no", "0", "", "   ", "tru", "0x0", "00", "abc", "\vtrue"})
        EXPECT_FALSE(parseBoolean(t)) << t;
}

TEST(XmlText, EscapedAttributesReadBack)
{
    using Kiln::XML::escapeAttribute;
    EXPECT_EQ(escapeAttribute("It's <a> & \"b\""), "It&apos;s &lt;a&gt; &amp; &quot;b&quot;");
    EXPECT_EQ(escapeAttribute("a\tb\nc\rd"), "a&#9;b&#10;c&#13;d");
    EXPECT_EQ(escapeAttribute(std::string("x\x01y")), "x\xef\xbf\xbdy");
    EXPECT_EQ(escapeAttribute("\xc3\xa9t\xc3\xa9"), "\xc3\xa9t\xc3\xa9");  // UTF-8 kept
    EXPECT_EQ(escapeAttribute("\xff"), "\xef\xbf\xbd");
    EXPECT_EQ(escapeAttribute("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");  // a surrogate

    std::string nasty = "It's \"quoted\" <tag> & \t tab\nline\r\xc3\xa9";
    Log log;
    log.consume = {"v"};
    EXPECT_EQ(parseMessage("<doc v='" + escapeAttribute(nasty) + "'/>", log), "");
    EXPECT_EQ(log.events.at(0), "start doc v=" + nasty);
}
