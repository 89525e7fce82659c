#include "param/klParamGrad.h"

#include <ostream>

namespace Kiln::Param {

KlColGradDescription Grad::value(double time) const
{
    NamedParamSetI* h = hostHolding();
    return h ? h->getGradParam(name(), time) : value_;
}

void Grad::writeGradient(std::ostream& out, const char* element, const KlColGradDescription& g)
{
    out << "<" << element << " cyclic=" << (g.cyclic() ? "'true'" : "'false'")
        << " interp=" << (g.interpolation() == KlColGradDescription::Cubic ? "'cubic'" : "'linear'") << ">\n";
    // Ids are written so that reading the element back replaces the same nodes.
    for (const auto& node : g.sortedNodes()) {
        out << "  <node value='";
        for (int i = 0; i < KlRGBAColF::channels; ++i) {
            writeNumber(out, node.colour[i]);
            out << ' ';
        }
        out << "'"
            << " position='";
        writeNumber(out, node.position);
        out << "'"
            << " id='" << node.id << "'"
            << "/>\n";
    }
    out << "</" << element << ">\n";
}

void Grad::writeXML(std::ostream& out, bool full) const
{
    out << "  <" << typeName();
    writeAttributes(out, full);
    out << ">\n";
    writeGradient(out, "value", value_);
    writeGradient(out, "default", default_);
    out << "  </" << typeName() << ">\n";
}

}  // namespace Kiln::Param
