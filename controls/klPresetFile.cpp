#include "controls/klPresetFile.h"

#include "exceptions/klException.h"
#include "footage/klFootageError.h"
#include "param/klParamSet.h"
#include "param/klParamXML.h"
#include "runner/klRunnerValues.h"
#include "xml/klXMLParser.h"
#include "xml/klXMLStackedParser.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

namespace Kiln::Footage {

namespace {

using Runner::ControlInfo;

// One control as a parameter of the preset's set: its element kind, what it holds and, once a document
// has named it, the line where it did.
class PresetControl : public Param::Param {
public:
    PresetControl(const ControlInfo& control, int position, ControlSetting setting)
        : Param(control.scriptName), control_(control), type_(presetTypeName(control)), position_(position),
          setting_(std::move(setting))
    { }

    const char* typeName() const override { return type_.c_str(); }

    void writeXML(std::ostream& out, bool) const override
    {
        out << "  <" << type_;
        writeAttributes(out, false);
        if (setting_.animated())
            out << "keys='" << XML::escapeAttribute(formatKeyframes(control_, setting_.keys)) << "' />\n";
        else
            out << "value='" << XML::escapeAttribute(formatSettingValue(control_, setting_.value))
                << "' />\n";
    }

    const ControlInfo& control() const { return control_; }
    int position() const { return position_; }
    const ControlSetting& setting() const { return setting_; }
    int line() const { return line_; }
    void take(ControlSetting setting, int line)
    {
        setting_ = std::move(setting);
        line_ = line;
    }

private:
    const ControlInfo& control_;
    std::string type_;
    int position_;
    ControlSetting setting_;
    int line_ = 0;
};

// The locked set of every control a preset may name, and the first error this reader found in a document
// (the XML layer words its own).
class PresetSet : public Param::ParamSet {
public:
    // Every control that has a value and a script name, at its default; with `only`, just the controls it
    // holds, with their values.
    PresetSet(const std::vector<ControlInfo>& controls, const ControlSettings* only) : controls_(controls)
    {
        for (size_t i = 0; i < controls.size(); ++i) {
            const ControlInfo& c = controls[i];
            if (!Runner::hasValue(c.type) || c.scriptName.empty() || getParam(c.scriptName, false)) continue;
            ControlSetting s;
            s.value = c.defaultValue;
            if (only) {
                const auto v = only->find(int(i));
                if (v == only->end()) continue;
                s = v->second;
            }
            createParam<PresetControl>(c, int(i), s);
        }
        setLocked(true);
    }

    const std::vector<ControlInfo>& controls() const { return controls_; }

    void fail(XML::StackedParser& parser, const std::string& element, const std::string& text)
    {
        if (failureLine == 0) {
            failureLine = parser.currentLine();
            failure = text;
        }
        parser.fail(element, text);
    }

    bool sawRoot = false;
    int failureLine = 0;
    std::string failure;

private:
    const std::vector<ControlInfo>& controls_;
};

bool isPresetElement(const std::string& name)
{
    for (const char* kind : {"double", "int", "bool", "choice", "rgb", "rgba", "angle", "pos2d"})
        if (name == kind) return true;
    return false;
}

// A colour may be written as "rgb" or "rgba" whether or not it gives an alpha.
bool kindFits(const std::string& element, const std::string& type)
{
    return element == type || (type == "rgb" && element == "rgba");
}

// Why a name is not one a preset takes, with the script name the user probably meant.
std::string unknownNameText(const std::vector<ControlInfo>& controls, const std::string& name)
{
    try {
        const ControlInfo& c = controls[size_t(findControlByName(controls, name))];
        if (c.scriptName.empty())
            return "\"" + controlDisplayName(c) + "\" has no script name, so no preset can set it";
        return "\"" + name + "\" is not a script name; presets name controls by script name (" +
               c.scriptName + ")";
    } catch (const ControlOptionError& e) {
        return e.what();
    }
}

class PresetControlElement : public Param::BaseParamXMLElement {
public:
    PresetControlElement(PresetSet* set, const std::string& element) : BaseParamXMLElement(set, element) { }

    void start(XML::StackedParser& parser, XML::Attributes& attributes) override
    {
        auto* set = static_cast<PresetSet*>(set_);
        const std::string scriptName = attributes.get("name");
        if (scriptName.empty())
            return set->fail(parser, name(),
                             "<" + name() + "> needs a name attribute: the script name of a control");
        auto* control = static_cast<PresetControl*>(set->getParam(scriptName, false));
        if (control == nullptr)
            return set->fail(parser, name(), unknownNameText(set->controls(), scriptName));
        const ControlInfo& c = control->control();
        if (!kindFits(name(), control->typeName()))
            return set->fail(parser, name(),
                             scriptName + ": \"" + controlDisplayName(c) + "\" is written <" +
                                 control->typeName() + " name='" + scriptName + "' value='...' />, not <" +
                                 name() + ">");
        if (control->line() != 0)
            return set->fail(parser, name(),
                             scriptName + " is given twice, on lines " + std::to_string(control->line()) +
                                 " and " + std::to_string(parser.currentLine()));
        type_ = control->typeName();
        BaseParamXMLElement::start(parser, attributes);
        if (parser.failed() || param_ == nullptr) return;

        std::string value, keys;
        const bool hasValue = attributes.take("value", value);
        const bool hasKeys = attributes.take("keys", keys);
        if (hasValue == hasKeys)
            return set->fail(parser, name(),
                             scriptName +
                                 (hasValue ? ": give a value or keys attribute, not both"
                                           : ": needs a value='...' or keys='FRAME:VALUE,...' attribute"));
        try {
            ControlSetting s;
            if (hasKeys)
                s = parseKeyframes(c, keys);
            else
                s.value = parseControlValue(c, value);
            control->take(std::move(s), parser.currentLine());
        } catch (const ControlOptionError& e) {
            set->fail(parser, name(), scriptName + "=" + (hasKeys ? keys : value) + ": " + e.what());
        }
    }

protected:
    std::string expectedType() const override { return type_; }
    Param::Param* create(const std::string&) const override { return nullptr; }  // the set is locked

private:
    std::string type_;
};

class PresetSetElement : public XML::ParseElement {
public:
    explicit PresetSetElement(PresetSet* set) : ParseElement("paramset"), set_(set) { set_->sawRoot = true; }

    XML::ParseElement* childElement(XML::StackedParser& parser, const std::string& child) override
    {
        if (isPresetElement(child)) return new PresetControlElement(set_, child);
        set_->fail(parser, child,
                   "<" + child +
                       "> is not a preset element (double, int, bool, choice, rgb, angle or pos2d)");
        return nullptr;
    }

private:
    PresetSet* set_;
};

std::string unquoted(const Errors::Argument& a)
{
    std::string s = a.str();
    if (s.size() >= 2 && s.front() == '\'' && s.back() == '\'') s = s.substr(1, s.size() - 2);
    return s;
}

// The XML layer's words as "line N: ...": "At line3, element 'x' ..." for a refused element, or a location
// "at line/column 3/5" beside expat's description of a malformed document.
std::string describeParseFailure(const Exceptions::XML::Parse& e)
{
    const auto& values = e.record().values;
    const std::string where = values.count(0) ? unquoted(values.at(0)) : "";
    const std::string what = values.count(1) ? unquoted(values.at(1)) : e.message();
    int line = 0, column = 0;
    if (std::sscanf(where.c_str(), "XML parsing, at line/column %d/%d", &line, &column) == 2)
        return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
    int consumed = 0;
    if (std::sscanf(what.c_str(), "At line%d, %n", &line, &consumed) == 1 && consumed > 0)
        return "line " + std::to_string(line) + ": " + what.substr(size_t(consumed));
    return what;
}

template <class Feed>
ControlSettings readPreset(const std::vector<ControlInfo>& controls, const std::string& name, Feed feed)
{
    Errors::Initialise();
    PresetSet set(controls, nullptr);
    try {
        XML::RootElement<PresetSetElement, PresetSet*> root("paramset", &set);
        XML::StackedParser parser(root);
        feed(parser);
    } catch (const Exceptions::XML::Parse& e) {
        if (set.failureLine != 0)
            throw FootageError(name,
                               abridged("line " + std::to_string(set.failureLine) + ": " + set.failure));
        throw FootageError(name, abridged(describeParseFailure(e)));
    } catch (const Exceptions::ExceptionI& e) {
        throw FootageError(name, abridged(e.message()));
    }
    if (!set.sawRoot) throw FootageError(name, "not a preset: there is no \"paramset\" element");
    ControlSettings settings;
    for (const Param::Param* p : set.params()) {
        const auto* control = static_cast<const PresetControl*>(p);
        if (control->line() != 0) settings[control->position()] = control->setting();
    }
    return settings;
}

}  // namespace

std::string presetTypeName(const ControlInfo& c)
{
    switch (c.type) {
    case PF_Param_FIX_SLIDER: return "double";
    case PF_Param_SLIDER: return "int";
    case PF_Param_CHECKBOX: return "bool";
    case PF_Param_POPUP: return "choice";
    case PF_Param_COLOR: return "rgb";
    case PF_Param_ANGLE: return "angle";
    case PF_Param_POINT: return "pos2d";
    default: return "";
    }
}

ControlSettings readPresetText(const std::vector<ControlInfo>& controls, const std::string& text,
                               const std::string& name)
{
    return readPreset(controls, name, [&text](XML::StackedParser& parser) { parser.parse(text); });
}

ControlSettings readPresetFile(const std::vector<ControlInfo>& controls, const std::string& path)
{
    // Read whole and parsed in one piece: fed in pieces, the XML reader goes over a long value or comment
    // again with every piece.
    const auto cannot = [&path] {
        return FootageError(path, std::string("cannot read the preset: ") + std::strerror(errno));
    };
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw cannot();
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat info { };
    if (fstat(fd, &info) != 0) throw cannot();
    if (!S_ISREG(info.st_mode)) throw FootageError(path, "not a regular file");
    if (info.st_size > kMaxPresetBytes) {
        char size[32];
        std::snprintf(size, sizeof size, "%.1f", double(info.st_size) / (1 << 20));
        throw FootageError(path, std::string("is ") + size + " MB; a preset may be at most " +
                                     std::to_string(kMaxPresetBytes >> 20) + " MB");
    }
    std::string text(size_t(info.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw cannot();
        if (n == 0) break;  // shorter than it was a moment ago
        done += size_t(n);
    }
    text.resize(done);
    return readPresetText(controls, text, path);
}

void writePreset(std::ostream& out, const std::vector<ControlInfo>& controls, const ControlSettings& values)
{
    Errors::Initialise();
    PresetSet set(controls, &values);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!-- watchcam preset: each control by script name, its value as the control shows it\n"
           "     (watchcam controls lists them); keys='FRAME:VALUE,...' animates a control,\n"
           "     frames being the input's frame numbers. -->\n";
    set.writeXML(out, false);
}

}  // namespace Kiln::Footage
