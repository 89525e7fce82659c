#include "param/klHostedObject.h"

#include "xml/klXMLParser.h"

#include <ostream>

namespace Kiln {

HostedObject::~HostedObject() = default;

void HostedObject::writeAttributes(std::ostream& out, bool full) const
{
    out << " name='" << XML::escapeAttribute(name_) << "' ";
    if (!full) return;
    if (!description_.empty()) out << "description='" << XML::escapeAttribute(description_) << "' ";
    if (!label_.empty()) out << "label='" << XML::escapeAttribute(label_) << "' ";
}

}  // namespace Kiln
