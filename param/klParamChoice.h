#pragma once
// A choice among labelled options. The value is an option's value (an int), not
// its position. Aliases give further names to existing option labels.
#include "param/klParam.h"

#include <map>
#include <string>
#include <vector>

namespace Kiln::Param {

struct ChoiceOption {
    std::string label;
    int32_t value = 0;
    std::string description;
    bool operator==(const ChoiceOption&) const = default;
};

class Choice : public Param {
public:
    explicit Choice(const std::string& name, int32_t defaultValue = 0)
        : Param(name), default_(defaultValue), value_(defaultValue)
    { }
    const char* typeName() const override { return "choice"; }

    // DuplicateObject(label, reason) when the label is an alias or an option's
    // label, or the value is an option's value.
    void addOption(const std::string& label, int32_t value, const std::string& description = std::string());
    // DuplicateObject when the alias is an option's label; replaces an earlier mapping.
    void aliasOption(const std::string& alias, const std::string& target);
    // Sets the value from a label, an alias or a number that is an option's value (with
    // `anyNumber`, any number); BadValue(text, " is not an option to the choice parameter ",
    // name) otherwise. Labels and aliases come first: a label "1" names its own option.
    void parseValue(const std::string& text, bool anyNumber = false);
    // The same reading for the default.
    void parseDefault(const std::string& text, bool anyNumber = false);
    // The text that reads back (with anyNumber) as v: the number, unless that is some option's label
    // or an alias; then the label of v's own option, else the number spelt otherwise ("+7", "+07", ...).
    std::string textOf(int32_t v) const;
    void setValueFromText(const std::string& text) override { parseValue(text); }

    const std::vector<ChoiceOption>& options() const { return options_; }
    const std::map<std::string, std::string>& aliases() const { return aliases_; }
    // The option with that label (aliases not followed) or value, or null.
    const ChoiceOption* optionByLabel(const std::string& label) const;
    const ChoiceOption* optionByValue(int32_t value) const;
    // Sets an existing option's description.
    void setOptionDescription(const std::string& label, const std::string& description);

    int32_t defaultValue() const { return default_; }
    void setDefault(int32_t v) { default_ = v; }
    int32_t storedValue() const { return value_; }
    // The value at a time (the host's when it holds this parameter).
    int32_t value(double time) const;
    // Stores an option's value (any value while there are no options; BadValue
    // otherwise) and hands it to a host that holds this parameter.
    void setValue(int32_t v);

    void writeXML(std::ostream& out, bool full) const override;

private:
    // The option value a text names, or false.
    bool resolve(const std::string& text, int32_t& value, bool anyNumber) const;

    std::vector<ChoiceOption> options_;
    std::map<std::string, std::size_t> byLabel_;
    std::map<int32_t, std::size_t> byValue_;
    std::map<std::string, std::string> aliases_;
    int32_t default_;
    int32_t value_;
};

}  // namespace Kiln::Param
