#include "exceptions/klException.h"

#include "exceptions/klExceptionStack.h"

#include <cctype>
#include <cstring>
#include <mutex>
#include <sstream>

namespace Kiln::Errors {

// ---- Argument -------------------------------------------------------------

Argument::Argument(bool v) : kind_(Bool) { v_.b = v; }
Argument::Argument(int v) : kind_(Int) { v_.i = v; }
Argument::Argument(float v) : kind_(Float) { v_.d[0] = v; }
Argument::Argument(double v) : kind_(Float) { v_.d[0] = v; }
Argument::Argument(char v) : kind_(Char) { v_.c = v; }
Argument::Argument(const char* text) : kind_(StaticText) { v_.text = text; }
Argument::Argument(const std::string& text) : kind_(String), owned_(text) { }

Argument Argument::fromWide(long double v, bool fits)
{
    if (fits) return Argument(static_cast<int>(v));
    return Argument(static_cast<double>(v));
}

Argument Argument::vec2(double a, double b)
{
    Argument r;
    r.kind_ = Double2;
    r.v_.d[0] = a, r.v_.d[1] = b;
    return r;
}

Argument Argument::rgb(double r, double g, double b)
{
    Argument a;
    a.kind_ = Double3;
    a.v_.d[0] = r, a.v_.d[1] = g, a.v_.d[2] = b;
    return a;
}

Argument Argument::rgba(double r, double g, double b, double alpha)
{
    Argument a;
    a.kind_ = Double4;
    a.v_.d[0] = r, a.v_.d[1] = g, a.v_.d[2] = b, a.v_.d[3] = alpha;
    return a;
}

void Argument::write(std::ostream& out) const
{
    switch (kind_) {
    case Bool: out << v_.b; break;
    case Float: out << v_.d[0]; break;
    case Int: out << v_.i; break;
    case Char: out << v_.c; break;
    case StaticText: out << '\'' << (v_.text ? v_.text : "") << '\''; break;
    case String: out << '\'' << owned_ << '\''; break;
    case Double2:
    case Double3:
    case Double4: {
        const int n = kind_ - Double2 + 2;
        out << '[';
        for (int k = 0; k < n; ++k) out << (k ? ", " : "") << v_.d[k];
        out << ']';
        break;
    }
    default: out << "unknown"; break;
    }
}

std::string Argument::str() const
{
    std::ostringstream s;
    write(s);
    return s.str();
}

// ---- Templates ------------------------------------------------------------

int placeholderCount(const char* format)
{
    int n = 0;
    for (const char* p = format; p && *p; ++p)
        if (p[0] == '@' && std::isdigit(static_cast<unsigned char>(p[1]))) ++n;
    return n;
}

void Template::addFormatString(const char* format)
{
    const int n = placeholderCount(format);
    if (n > 6)
        throw Exceptions::ExException::TooManyTemplateVars("Kiln::Errors::Template::addFormatString",
                                                           __FILE__, __LINE__, n);
    if (formats.count(n))
        throw Exceptions::ExException::DuplicateTemplateFormat("Kiln::Errors::Template::addFormatString",
                                                               __FILE__, __LINE__);
    formats[n] = format;
}

const char* Template::format(int count) const
{
    auto it = formats.find(count);
    return it == formats.end() ? nullptr : it->second;
}

namespace {

struct BuiltIn {
    Code code;
    const char* formats[5];  // by placeholder count
};

const BuiltIn kBuiltIn[kCodeCount] = {
    {OK, {"OK"}},
    {UnknownError, {"Unknown error"}},
    {OutOfRange,
     {"Out of range", "@1 out of range", "Range is @1 to @2", "@1 not in range @2 to @3",
      "@1 == @2 not in range @3 to @4"}},
    {WrongType, {"Wrong type supplied/requested", "@1 required", "@1 should be @2", "@1 should be @2 or @3"}},
    {Failed, {"Failed", "@1 failed", "Failed to @1 @2", "Failed to @1 @2 - @3"}},
    {AllocationFailed,
     {"Failed to allocated memory", "Failed to allocated @1 bytes", "@2 failed to allocated @1 bytes"}},
    {Overflow, {"Arithmetic Overflow", "@1 overflowed.", "@1 overflowed with result @2."}},
    {Underflow, {"Arithmetic Underflow", "@1 arithmetic Underflow"}},
    {Undefined, {"Item was Undefined", "@1 is undefined", "@1 is undefined for @2"}},
    {NullPointer, {"Null pointer", "@1 is null"}},
    {TooMany,
     {"Too many items", "@1 exceeds maximum allowable 'items'", "@1 exceeds maximum allowable '@2'"}},
    {Duplicate,
     {"Duplicate not allowed", "Duplicate @1 not allowed", "@1 is a duplicate @2 and is not allowed"}},
    {NotRegistered, {"Not registered", "@1 is not registered", "@1 @2 is not registered"}},
    {NeedsDefault, {"A default is needed.", "@1 requires a default."}},
    {NotSupported, {"Not supported", "@1 are/is not supported", "@1 does/do not support @2"}},
    {Missing, {"Missing item.", "@1 is missing.", "@1 is missing @2"}},
    {UnknownItem, {"Missing item.", "@1 is an unknown.", "@1 is an unknown @2."}},
    {BadValue, {"Bad value.", "@1 is a bad value.", "@1 has a bad value @2."}},
    {TooBig, {"Too big.", "@1 is too big.", "@1 is greater than @2."}},
    {TooSmall, {"Too small.", "@1 is too small.", "@1 is less than @2."}},
    {Busy, {"Busy doing something else.", "@1 is busy doing something else.", "@1 is busy doing @2."}},
    {Locked, {"Locked object.", "@1 is locked.", "@1 is locked, cannot @2."}},
    {AssertionFailed, {"Assertion failed.", "Assertion failed: @1"}},
    {RuntimeError, {"Unspecified runtime error", "Runtime error [@1]", "[@1] '@2'"}},
};

std::mutex gInitMutex;

}  // namespace

void validateTemplates(Code first, Code last)
{
    for (Code c = first; c <= last; ++c) {
        if (!isRegistered(c))
            throw Exceptions::ExException::UnregisteredErrorEnum("Kiln::Errors::Initialise", __FILE__,
                                                                 __LINE__, c);
        if (!getTemplate(c).format(0))
            throw Exceptions::ExException::ErrorEnumNeedsDefault("Kiln::Errors::Initialise", __FILE__,
                                                                 __LINE__, c);
    }
}

void Initialise()
{
    // Held across the whole fill so a second caller waits for a complete registry.
    std::lock_guard lock(gInitMutex);
    if (templateCount() > 0) return;
    try {
        for (const BuiltIn& b : kBuiltIn) {
            Template t(b.code);
            for (int n = 4; n >= 0; --n)
                if (b.formats[n]) t.addFormatString(b.formats[n]);
            addTemplate(t);
        }
        validateTemplates(0, kCodeCount - 1);
    } catch (Exceptions::ExceptionI& e) {
        Exceptions::Stack::add(e, "Kiln::Errors::Initialise", __FILE__, __LINE__);
        throw;
    }
}

// ---- Records --------------------------------------------------------------

const char* fileNameOf(const char* path)
{
    if (!path) return nullptr;
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') name = p;
    return name;
}

ErrorRecord makeRecord(Code code, const char* function, const char* file, int line,
                       std::initializer_list<Argument> values)
{
    ErrorRecord r;
    r.code = code;
    r.formats = getTemplate(code).formats;
    int index = 0;
    for (const Argument& a : values) r.values.emplace(index++, a);
    r.function = function;
    r.file = fileNameOf(file);
    r.line = line;
    return r;
}

bool ErrorRecord::hasFormat() const { return formats.count(static_cast<int>(values.size())) != 0; }

std::string ErrorRecord::message() const
{
    std::ostringstream out;
    auto it = formats.find(static_cast<int>(values.size()));
    if (it == formats.end()) {
        // No text for this value count: fall back on the plain text of the code.
        auto zero = formats.find(0);
        out << '"';
        if (formats.empty())
            out << "Unregistered Error (" << code << ')';
        else if (zero != formats.end() && zero->second)
            out << zero->second;
        out << '"';
        return out.str();
    }
    const char* f = it->second ? it->second : "";
    for (std::size_t i = 0; f[i]; ++i) {
        if (f[i] == '@' && std::isdigit(static_cast<unsigned char>(f[i + 1]))) {
            auto v = values.find(f[i + 1] - '1');
            if (v != values.end())
                v->second.write(out);
            else
                out << "unknown";
            ++i;
        } else {
            out << f[i];
        }
    }
    return out.str();
}

}  // namespace Kiln::Errors

namespace Kiln::Exceptions {

ExceptionI::ExceptionI() { record_.formats = Errors::getTemplate(Errors::UnknownError).formats; }

ExceptionI::~ExceptionI() = default;

void ExceptionI::stampNames() const
{
    record_.className = name();
    record_.groupName = group();
}

}  // namespace Kiln::Exceptions
