// Reads arbitrary bytes as an effect description for an effect with the clips
// "Source" and "Matte". What reads without an exception must write a document
// that reads back to the same description.
#include "exceptions/klException.h"
#include "wrapper/klWrapperEffect.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

class FuzzEffect : public Kiln::Wrapper::EffectI {
public:
    FuzzEffect()
    {
        createClip("Source");
        createClip("Matte")->setOptional(true);
    }
};

std::string written(const FuzzEffect& effect)
{
    std::ostringstream out;
    effect.writeEffectXML(out, true);
    return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzEffect effect;
    try {
        effect.parseXML(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const Kiln::Exceptions::ExceptionI&) {
        return 0;
    }
    std::string text = written(effect);
    FuzzEffect copy;
    try {
        copy.parseXML(text);
    } catch (const Kiln::Exceptions::ExceptionI& e) {
        std::fprintf(stderr, "a written effect does not read back\n%s\n%s: %s\n", text.c_str(), e.name(),
                     e.message().c_str());
        std::abort();
    }
    if (written(copy) != text) {
        std::fprintf(stderr, "a written effect reads back differently\n%s\n", text.c_str());
        std::abort();
    }
    return 0;
}
