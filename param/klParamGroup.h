#pragma once
// Layout parameters: a group lists parameter names in order; a page places
// parameter names in a grid of rows and columns (one name per cell). A
// LayoutSet keeps the pages of a set in order.
#include "param/klParam.h"

#include <map>
#include <string>
#include <vector>

namespace Kiln::Param {

class Group : public Param {
public:
    explicit Group(const std::string& name) : Param(name) { }
    const char* typeName() const override { return "group"; }

    void addParam(const std::string& name) { names_.push_back(name); }
    bool contains(const std::string& name) const;
    const std::vector<std::string>& params() const { return names_; }

    void writeXML(std::ostream& out, bool full) const override;

private:
    std::vector<std::string> names_;
};

class Page : public Param {
public:
    using Row = std::map<int32_t, std::string>;  // column -> name
    using Grid = std::map<int32_t, Row>;  // row -> cells

    explicit Page(const std::string& name) : Param(name) { }
    const char* typeName() const override { return "page"; }

    // AssertionFailed("!getParamAtPosition(row, column)") when the cell is taken.
    void addParam(const std::string& name, int32_t row, int32_t column);
    // The name in a cell, or null.
    const std::string* getParamAtPosition(int32_t row, int32_t column) const;
    const Grid& grid() const { return grid_; }

    void writeXML(std::ostream& out, bool full) const override;

private:
    Grid grid_;
};

class LayoutSet {
public:
    LayoutSet() = default;
    LayoutSet(const LayoutSet&) = delete;
    LayoutSet& operator=(const LayoutSet&) = delete;
    virtual ~LayoutSet();

    // Keeps a reference to the page.
    void addPage(Page* page);
    const std::vector<Page*>& pages() const { return pages_; }

private:
    std::vector<Page*> pages_;
};

}  // namespace Kiln::Param
