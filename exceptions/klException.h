#pragma once
// The exception family of the system.
//
// Every failure is an exception derived from Kiln::Exceptions::ExceptionI, thrown
// by value and caught by reference. An exception carries an error code, the raising
// function's full name, its source file and line and up to three typed values; its
// text is never stored but filled on demand from the code's message template
// ("@1 is too small." for one value, "Too small." for none). The templates live in
// one process-wide registry filled once by Kiln::Errors::Initialise.
//
// Raising:  throw Kiln::Exceptions::BadValue("Kiln::Quantise::Buckets::Buckets",
//                                            __FILE__, __LINE__, "levels", 40);
// A const char* value is kept as a pointer: pass only literals or texts that
// outlive the exception; pass std::string for anything built at run time.
#include "exceptions/klRefCounter.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <map>
#include <string>
#include <type_traits>
#include <utility>

namespace Kiln::Errors {

using Code = int32_t;

enum CodeValue : Code {
    OK = 0,
    UnknownError,
    OutOfRange,
    WrongType,
    Failed,
    AllocationFailed,
    Overflow,
    Underflow,
    Undefined,
    NullPointer,
    TooMany,
    Duplicate,
    NotRegistered,
    NeedsDefault,
    NotSupported,
    Missing,
    UnknownItem,
    BadValue,
    TooBig,
    TooSmall,
    Busy,
    Locked,
    AssertionFailed,
    RuntimeError
};
inline constexpr int kCodeCount = 24;

// One typed value of an exception, copied by value.
class Argument {
public:
    enum Kind : int {
        Empty = 0,
        Bool = 1,
        Float = 3,
        Int = 4,
        Char = 7,
        StaticText = 8,
        String = 9,
        Double2 = 16,
        Double3 = 17,
        Double4 = 18
    };

    Argument() = default;
    Argument(bool v);
    Argument(int v);
    Argument(float v);
    Argument(double v);
    Argument(char v);
    Argument(const char* text);  // kept as a pointer: the text must outlive the exception
    Argument(const std::string& text);  // owned copy
    // Other integer types: written in decimal when they fit 32 bits, else as a float.
    template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
             !std::is_same_v<T, int>) Argument(T v)
        : Argument(fromWide(static_cast<long double>(v), std::in_range<int32_t>(v)))
    { }

    static Argument vec2(double a, double b);
    static Argument rgb(double r, double g, double b);
    static Argument rgba(double r, double g, double b, double a);

    Kind kind() const { return kind_; }
    // The written form used in messages: bool "1"/"0", texts in single quotes,
    // vectors as "[a, b]", an empty value as "unknown".
    void write(std::ostream& out) const;
    std::string str() const;

private:
    static Argument fromWide(long double v, bool fits);

    Kind kind_ = Empty;
    union {
        bool b;
        int32_t i;
        char c;
        const char* text;
        double d[4];
    } v_{};
    std::string owned_;
};

using FormatMap = std::map<int, const char*>;  // placeholder count -> static format text

// Placeholders are '@' followed by one decimal digit.
int placeholderCount(const char* format);

// The message template of one error code.
class Template {
public:
    explicit Template(Code code = UnknownError) : code(code) { }

    // Adds a format under its placeholder count. Raises TooManyTemplateVars for
    // more than 6 placeholders and DuplicateTemplateFormat when the count is taken.
    void addFormatString(const char* format);
    // The format for a placeholder count, or nullptr.
    const char* format(int count) const;

    Code code;
    FormatMap formats;
};

// Registers a template under its code; raises DuplicateTemplate when the code is taken.
void addTemplate(const Template& t);
// A copy of the code's template; an unregistered code gives one without formats.
Template getTemplate(Code code);
bool isRegistered(Code code);
std::size_t templateCount();
// Fills the registry with the built-in templates and checks codes 0..23; does
// nothing once the registry holds anything. Safe to call from several threads.
void Initialise();
// Raises UnregisteredErrorEnum / ErrorEnumNeedsDefault for the first code in
// [first, last] without a template / without a 0-value format.
void validateTemplates(Code first, Code last);

// The state an exception carries.
struct ErrorRecord {
    Code code = UnknownError;
    FormatMap formats;  // copied from the registry at construction
    std::map<int, Argument> values;  // index 0 is "@1"
    const char* function = nullptr;  // static full function name
    const char* file = nullptr;  // source file name from its last separator
    int32_t line = 0;
    const char* className = nullptr;  // set when recorded at a catch site
    const char* groupName = nullptr;

    // The filled template for the value count. Without a format for that count it
    // is the 0-value format in double quotes, or "Unregistered Error (<code>)" in
    // double quotes when the code has no template.
    std::string message() const;
    // True when formats hold an entry for the value count.
    bool hasFormat() const;
};

// The text of a path from its last '/' or '\\' (separator included); the whole path without one.
const char* fileNameOf(const char* path);

ErrorRecord makeRecord(Code code, const char* function, const char* file, int line,
                       std::initializer_list<Argument> values);

}  // namespace Kiln::Errors

namespace Kiln::Exceptions {

template <class... A>
concept ExceptionValues = sizeof...(A) <= 3 && (std::is_constructible_v<Errors::Argument, const A&> && ...);

class ExceptionI : public KlRefCounter {
public:
    ~ExceptionI() override;

    virtual Errors::Code code() const = 0;
    virtual ExceptionI* clone() const = 0;  // heap copy of the leaf class, count 1
    virtual const char* name() const = 0;  // leaf class name, e.g. "BadValue"
    virtual const char* group() const = 0;  // intermediate class name, e.g. "Exception"
    // Whether e is of this object's leaf class or a class derived from it.
    virtual bool admits(const ExceptionI& e) const = 0;

    const Errors::ErrorRecord& record() const { return record_; }
    std::string message() const { return record_.message(); }
    // Copies name() and group() into the record; catch sites do this on the caught object.
    void stampNames() const;

protected:
    ExceptionI();  // type probe: code 1, nothing else
    template <class... A>
    requires ExceptionValues<A...> ExceptionI(const char* function, const char* file, int line,
                                              Errors::Code code, const A&... values)
        : record_(Errors::makeRecord(code, function, file, line, {Errors::Argument(values)...}))
    { }

private:
    // Mutable so a catch site can stamp the class names into the object it caught.
    mutable Errors::ErrorRecord record_;
};

// Value counts a leaf offers: bit n for n values, kProbe for the argument-less probe.
inline constexpr unsigned kV0 = 1, kV1 = 2, kV2 = 4, kV3 = 8, kProbe = 16;

// Supplies the five virtual operations of a leaf: Self names itself in kName,
// Group names the group in kGroup.
template <class Self, class Group, Errors::Code C, unsigned Forms>
class Leaf : public Group {
public:
    Errors::Code code() const override { return C; }
    ExceptionI* clone() const override { return new Self(static_cast<const Self&>(*this)); }
    const char* name() const override { return Self::kName; }
    const char* group() const override { return Group::kGroup; }
    bool admits(const ExceptionI& e) const override { return dynamic_cast<const Self*>(&e) != nullptr; }

    Leaf() requires((Forms & kProbe) != 0) = default;
    template <class... A>
    requires(ExceptionValues<A...> && (Forms & (1u << sizeof...(A))) != 0)
        Leaf(const char* function, const char* file, int line, const A&... values)
        : Group(function, file, line, C, values...)
    { }
};

#define KL_EXCEPTION_GROUP(Class, Text)                                                                      \
    class Class : public ::Kiln::Exceptions::ExceptionI {                                                    \
    public:                                                                                                  \
        static constexpr const char* kGroup = Text;                                                          \
        using ::Kiln::Exceptions::ExceptionI::ExceptionI;                                                    \
    }

#define KL_EXCEPTION_LEAF(Class, Group, Code, Forms)                                                         \
    class Class final : public ::Kiln::Exceptions::Leaf<Class, Group, Code, Forms> {                         \
    public:                                                                                                  \
        static constexpr const char* kName = #Class;                                                         \
        using ::Kiln::Exceptions::Leaf<Class, Group, Code, Forms>::Leaf;                                     \
    }

KL_EXCEPTION_GROUP(Exception, "Exception");
KL_EXCEPTION_LEAF(BadValue, Exception, Errors::BadValue, kV0 | kV2 | kV3);
KL_EXCEPTION_LEAF(NullPointer, Exception, Errors::NullPointer, kV0 | kV1);
KL_EXCEPTION_LEAF(OutOfMemory, Exception, Errors::AllocationFailed, kProbe | kV1 | kV2);
KL_EXCEPTION_LEAF(WrongType, Exception, Errors::WrongType, kV0 | kV2);
KL_EXCEPTION_LEAF(FunctionUndefined, Exception, Errors::Undefined, kV1);
KL_EXCEPTION_LEAF(ObjectUndefined, Exception, Errors::Undefined, kV1);
KL_EXCEPTION_LEAF(DuplicateObject, Exception, Errors::Duplicate, kV1 | kV2);
KL_EXCEPTION_LEAF(Locked, Exception, Errors::Locked, kV0);
KL_EXCEPTION_LEAF(AssertionFailed, Exception, Errors::AssertionFailed, kV1);

namespace Param {
KL_EXCEPTION_GROUP(ParamException, "ParamException");
KL_EXCEPTION_LEAF(ParamUndefined, ParamException, Errors::Undefined, kV1);
KL_EXCEPTION_LEAF(ParamWrongType, ParamException, Errors::WrongType, kV1);
}  // namespace Param

namespace File {
KL_EXCEPTION_GROUP(FileException, "FileException");
KL_EXCEPTION_LEAF(FileOpen, FileException, Errors::Failed, kV2 | kV3);
KL_EXCEPTION_LEAF(DirectoryMake, FileException, Errors::Failed, kV3);
}  // namespace File

namespace Thread {
KL_EXCEPTION_GROUP(ThreadException, "ThreadException");
KL_EXCEPTION_LEAF(ThreadFailed, ThreadException, Errors::Failed, kV1);
}  // namespace Thread

namespace XML {
KL_EXCEPTION_GROUP(XMLException, "XMLException");
KL_EXCEPTION_LEAF(Parse, XMLException, Errors::Failed, kV2);
}  // namespace XML

namespace ExException {
KL_EXCEPTION_GROUP(ExException, "ExException");
KL_EXCEPTION_LEAF(TooManyTemplateVars, ExException, Errors::TooMany, kV1);
KL_EXCEPTION_LEAF(DuplicateTemplateFormat, ExException, Errors::Duplicate, kV0);
KL_EXCEPTION_LEAF(UnregisteredErrorEnum, ExException, Errors::NotRegistered, kV1);
KL_EXCEPTION_LEAF(ErrorEnumNeedsDefault, ExException, Errors::NeedsDefault, kV1);
KL_EXCEPTION_LEAF(DuplicateTemplate, ExException, Errors::Duplicate, kV0);
}  // namespace ExException

namespace Wrapper {
KL_EXCEPTION_GROUP(WrapperException, "WrapperException");
KL_EXCEPTION_LEAF(ParameterUndefined, WrapperException, Errors::Undefined, kV1);
KL_EXCEPTION_LEAF(ClipUndefined, WrapperException, Errors::Undefined, kV1);
KL_EXCEPTION_LEAF(FetchImageFailed, WrapperException, Errors::Failed, kV1 | kV3);
KL_EXCEPTION_LEAF(FetchNonOptionalImageFailed, WrapperException, Errors::Failed, kV3);
}  // namespace Wrapper

namespace AfterEffects {
KL_EXCEPTION_GROUP(AfterEffectsException, "AfterEffectsException");
KL_EXCEPTION_LEAF(InterruptedCritical, AfterEffectsException, Errors::Failed, kProbe | kV0);
KL_EXCEPTION_LEAF(ParameterAlreadyDefined, AfterEffectsException, Errors::Duplicate, kV0);
KL_EXCEPTION_LEAF(ClipAlreadyDefined, AfterEffectsException, Errors::Duplicate, kV1);
KL_EXCEPTION_LEAF(ParamCheckoutFailed, AfterEffectsException, Errors::Failed, kV2);
KL_EXCEPTION_LEAF(ClipCheckoutFailed, AfterEffectsException, Errors::Failed, kV2);
KL_EXCEPTION_LEAF(FeatureUnsupported, AfterEffectsException, Errors::NotSupported, kV0 | kV1);
KL_EXCEPTION_LEAF(TemporalUnsupported, AfterEffectsException, Errors::NotSupported, kV1);
KL_EXCEPTION_LEAF(NullSequenceData, AfterEffectsException, Errors::NullPointer, kV0);
KL_EXCEPTION_LEAF(ForwardMappingUndefined, AfterEffectsException, Errors::Undefined, kV1 | kV2);
KL_EXCEPTION_LEAF(BackwardMappingUndefined, AfterEffectsException, Errors::Undefined, kV1 | kV2);
}  // namespace AfterEffects

#undef KL_EXCEPTION_GROUP
#undef KL_EXCEPTION_LEAF

}  // namespace Kiln::Exceptions
