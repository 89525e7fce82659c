#include "param/klParamGroup.h"

#include "xml/klXMLParser.h"

#include <algorithm>
#include <ostream>

namespace Kiln::Param {

bool Group::contains(const std::string& name) const
{
    return std::find(names_.begin(), names_.end(), name) != names_.end();
}

void Group::writeXML(std::ostream& out, bool full) const
{
    out << "  <" << typeName();
    writeAttributes(out, full);
    out << ">\n";
    for (const std::string& n : names_) out << "<param name=\"" << XML::escapeAttribute(n) << "\" />\n";
    out << "  </" << typeName() << ">\n";
}

void Page::addParam(const std::string& name, int32_t row, int32_t column)
{
    if (getParamAtPosition(row, column) != nullptr)
        throw Kiln::Exceptions::AssertionFailed("Kiln::Param::Page::addParam", __FILE__, __LINE__,
                                                "!getParamAtPosition(row, column)");
    grid_[row][column] = name;
}

const std::string* Page::getParamAtPosition(int32_t row, int32_t column) const
{
    auto r = grid_.find(row);
    if (r == grid_.end()) return nullptr;
    auto c = r->second.find(column);
    return c == r->second.end() ? nullptr : &c->second;
}

void Page::writeXML(std::ostream& out, bool full) const
{
    out << "  <" << typeName();
    writeAttributes(out, full);
    out << ">\n";
    for (const auto& [row, cells] : grid_) {
        out << "<row position=\"" << row << "\" >\n";
        for (const auto& [column, name] : cells)
            out << "<param name=\"" << XML::escapeAttribute(name) << "\" position=\"" << column << "\" />\n";
        out << "</row>\n";
    }
    out << "  </" << typeName() << ">\n";
}

LayoutSet::~LayoutSet()
{
    for (Page* p : pages_) p->release();
}

void LayoutSet::addPage(Page* page)
{
    if (page == nullptr) return;
    page->addRef();
    pages_.push_back(page);
}

}  // namespace Kiln::Param
