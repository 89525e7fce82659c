#include "param/klParamChoice.h"

#include "param/klNamedParamSet.h"
#include "xml/klXMLParser.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ostream>

namespace Kiln::Param {

void Choice::addOption(const std::string& label, int32_t value, const std::string& description)
{
    if (aliases_.count(label))
        throw Kiln::Exceptions::DuplicateObject("Kiln::Param::Choice::addOption", __FILE__, __LINE__, label,
                                                "Tried to add a choice option for an existing alias");
    if (byLabel_.count(label))
        throw Kiln::Exceptions::DuplicateObject("Kiln::Param::Choice::addOption", __FILE__, __LINE__, label,
                                                "Tried to add a choice option for an existing option");
    if (byValue_.count(value))
        throw Kiln::Exceptions::DuplicateObject("Kiln::Param::Choice::addOption", __FILE__, __LINE__, label,
                                                "Tried to add a choice option for an existing value");
    options_.push_back(ChoiceOption{label, value, description});
    byLabel_[label] = options_.size() - 1;
    byValue_[value] = options_.size() - 1;
}

void Choice::aliasOption(const std::string& alias, const std::string& target)
{
    if (byLabel_.count(alias))
        throw Kiln::Exceptions::DuplicateObject("Kiln::Param::Choice::aliasOption", __FILE__, __LINE__, alias,
                                                "Tried to set a choice alias for an existing options");
    aliases_[alias] = target;
}

const ChoiceOption* Choice::optionByLabel(const std::string& label) const
{
    auto it = byLabel_.find(label);
    return it == byLabel_.end() ? nullptr : &options_[it->second];
}

const ChoiceOption* Choice::optionByValue(int32_t value) const
{
    auto it = byValue_.find(value);
    return it == byValue_.end() ? nullptr : &options_[it->second];
}

void Choice::setOptionDescription(const std::string& label, const std::string& description)
{
    auto it = byLabel_.find(label);
    if (it != byLabel_.end()) options_[it->second].description = description;
}

bool Choice::resolve(const std::string& text, int32_t& value, bool anyNumber) const
{
    auto alias = aliases_.find(text);
    const std::string& label = alias == aliases_.end() ? text : alias->second;
    if (const ChoiceOption* o = optionByLabel(label)) {
        value = o->value;
        return true;
    }
    // A number: white space and decimal digits, with one sign allowed in front of
    // the digits so that negative option values read back as written.
    bool digit = false, sign = false;
    for (char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            digit = true;
        } else if ((c == '-' || c == '+') && !digit && !sign) {
            sign = true;
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    if (!digit) return false;
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno != 0 || n < INT32_MIN || n > INT32_MAX) return false;
    if (!anyNumber && optionByValue(static_cast<int32_t>(n)) == nullptr) return false;
    value = static_cast<int32_t>(n);
    return true;
}

std::string Choice::textOf(int32_t v) const
{
    auto named = [this](const std::string& t) { return byLabel_.count(t) != 0 || aliases_.count(t) != 0; };
    std::string text = std::to_string(v);
    if (!named(text)) return text;
    // The number is some option's label: the option's own label, or the number spelt otherwise.
    const ChoiceOption* o = optionByValue(v);
    if (o != nullptr && !o->label.empty()) return o->label;
    const std::string digits = std::to_string(v < 0 ? -int64_t(v) : int64_t(v));
    for (std::string zeros; named(text); zeros += '0') text = (v < 0 ? "-" : "+") + zeros + digits;
    return text;
}

void Choice::parseValue(const std::string& text, bool anyNumber)
{
    int32_t v;
    if (!resolve(text, v, anyNumber))
        throw Kiln::Exceptions::BadValue("Kiln::Param::Choice::parseValue", __FILE__, __LINE__, text,
                                         " is not an option to the choice parameter ", name());
    value_ = v;
}

void Choice::parseDefault(const std::string& text, bool anyNumber)
{
    int32_t v;
    if (!resolve(text, v, anyNumber))
        throw Kiln::Exceptions::BadValue("Kiln::Param::Choice::parseValue", __FILE__, __LINE__, text,
                                         " is not an option to the choice parameter ", name());
    default_ = v;
}

int32_t Choice::value(double time) const
{
    NamedParamSetI* h = hostHolding();
    return h ? h->getIntParam(name(), time) : value_;
}

void Choice::setValue(int32_t v)
{
    if (!options_.empty() && optionByValue(v) == nullptr)
        throw Kiln::Exceptions::BadValue("Kiln::Param::Choice::setValue", __FILE__, __LINE__, name(), v);
    value_ = v;
    if (NamedParamSetI* h = hostHolding()) h->setIntParam(name(), v);
}

void Choice::writeXML(std::ostream& out, bool full) const
{
    out << "  <" << typeName();
    writeAttributes(out, full);
    if (full) out << " default='" << XML::escapeAttribute(textOf(default_)) << "' ";
    out << " value='" << XML::escapeAttribute(textOf(value_)) << "'>\n";
    for (const ChoiceOption& o : options_)
        out << "    <option label='" << XML::escapeAttribute(o.label) << "' description='"
            << XML::escapeAttribute(o.description) << "' value='" << o.value << "'/>\n";
    for (const auto& [alias, target] : aliases_)
        out << "    <alias name='" << XML::escapeAttribute(alias) << "' original='"
            << XML::escapeAttribute(target) << "' />\n";
    out << "  </" << typeName() << ">\n";
}

}  // namespace Kiln::Param
