// Reads arbitrary bytes as a parameter-set document. Whatever reads without an
// exception must write a document that reads back into an equal set, both in
// full and short form, and the short form must also update the locked set itself.
#include "exceptions/klException.h"
#include "param/klParamSet.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

std::string written(const Kiln::Param::ParamSet& set, bool full)
{
    std::ostringstream out;
    set.writeXML(out, full);
    return out.str();
}

[[noreturn]] void broken(const char* what, const std::string& text, const Kiln::Exceptions::ExceptionI* e)
{
    std::fprintf(stderr, "%s\n--- document ---\n%s\n", what, text.c_str());
    if (e) std::fprintf(stderr, "--- %s: %s\n", e->name(), e->message().c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Kiln::Param::ParamSet set;
    try {
        set.parseXML(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const Kiln::Exceptions::ExceptionI&) {
        return 0;
    }
    for (bool full : {true, false}) {
        std::string text = written(set, full);
        Kiln::Param::ParamSet copy;
        try {
            copy.parseXML(text);
        } catch (const Kiln::Exceptions::ExceptionI& e) {
            broken("a written set does not read back", text, &e);
        }
        if (written(copy, full) != text) broken("a written set reads back differently", text, nullptr);
    }
    std::string brief = written(set, false);
    set.setLocked(true);
    try {
        set.parseXML(brief);
    } catch (const Kiln::Exceptions::ExceptionI& e) {
        broken("a locked set does not read its own short form", brief, &e);
    }
    if (written(set, false) != brief)
        broken("a locked set changed reading its own short form", brief, nullptr);
    return 0;
}
