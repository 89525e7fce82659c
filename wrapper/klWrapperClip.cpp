#include "wrapper/klWrapperClip.h"

#include <ostream>

namespace Kiln::Wrapper {

Clip::~Clip() = default;

namespace {

const char* edgeWord(int32_t edges)
{
    switch (edges) {
    case Clip::EdgeColour: return "colour";
    case Clip::EdgeRepeat: return "repeat";
    case Clip::EdgeReflect: return "reflect";
    case Clip::EdgeWrap: return "wrap";
    default: return nullptr;
    }
}

}  // namespace

void Clip::writeAttributes(std::ostream& out, bool full) const
{
    HostedObject::writeAttributes(out, full);
    out << "\n";
    auto flag = [&out](const char* name, bool v) {
        out << "    " << name << "='" << (v ? "true" : "false") << "'\n";
    };
    flag("optional", optional_);
    flag("ismask", ismask_);
    flag("tiles", tiles_);
    flag("temporal", temporal_);
    out << (cropping_ == CroppingMethods ? "    cropping='methods'"
            : cropping_ == CroppingCrops ? "    cropping='crops'"
                                         : "    cropping='none'")
        << "\n";
    out << (fields_ == FieldsBoth     ? "    fields='both'"
            : fields_ == FieldsSingle ? "    fields='single'"
                                      : "    fields='double'")
        << "\n";
    if (const char* w = edgeWord(xedges_)) out << "    xedges='" << w << "'";
    out << "\n";
    if (const char* w = edgeWord(yedges_)) out << "    yedges='" << w << "'";
    out << "\n";
}

void Clip::writeXML(std::ostream& out, bool full) const
{
    out << "  <clip";
    writeAttributes(out, full);
    out << "  />\n";
}

}  // namespace Kiln::Wrapper
