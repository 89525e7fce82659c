#include "wrapper/klWrapperEffect.h"

#include "xml/klXMLParser.h"

#include <ostream>

namespace Kiln::Wrapper {

EffectI::EffectI(const std::string& name) : postProcessing_(this) { attributes_.name = name; }

EffectI::~EffectI() = default;

void EffectI::attachHost(HostI* host)
{
    host_ = host;
    setHost(host);
    setClipHost(host);
}

double EffectI::currentTime() { return host_ ? host_->currentTime() : 0.0; }

bool EffectI::regionOfInterest(const std::string&, const float[4], float[4]) { return false; }

void EffectI::writeEffectXML(std::ostream& out, bool full) const
{
    using XML::escapeAttribute;
    const Attributes& a = attributes_;
    auto flag = [&out](const char* name, bool v) {
        out << " " << name << "='" << (v ? "true" : "false") << "'";
    };
    out << "<effect name='" << escapeAttribute(a.name) << "'";
    if (!a.label.empty()) out << " label='" << escapeAttribute(a.label) << "'";
    if (!a.group.empty()) out << " group='" << escapeAttribute(a.group) << "'";
    flag("temporalAccess", a.temporalAccess);
    flag("supportsTiles", a.supportsTiles);
    flag("fieldRenderTwiceAlways", a.fieldRenderTwiceAlways);
    flag("sequentialRender", a.sequentialRender);
    out << " fields='"
        << (a.fields == FieldsSingle   ? "single"
            : a.fields == FieldsDouble ? "double"
                                       : "both")
        << "'";
    std::string depths, components;
    if (a.bitdepths & Depth8) depths += " 8";
    if (a.bitdepths & Depth16) depths += " 16";
    if (a.bitdepths & DepthFloat) depths += " float";
    if (a.components & ComponentColour) components += " colour";
    if (a.components & ComponentAlpha) components += " alpha";
    if (!depths.empty()) out << " bitdepths='" << depths.substr(1) << "'";
    if (!components.empty()) out << " components='" << components.substr(1) << "'";
    out << ">\n";
    if (!a.description.empty())
        out << "<description>" << escapeAttribute(a.description) << "</description>\n";
    writeClipsXML(out, full);
    writeXML(out, full);
    out << "</effect>\n";
}

}  // namespace Kiln::Wrapper
