#include "wrapper/klWrapperClipSet.h"

#include "exceptions/klException.h"
#include "wrapper/klWrapperHostI.h"

#include <ostream>
#include <sstream>

namespace Kiln::Wrapper {

ClipSet::~ClipSet() = default;

Clip* ClipSet::createClip(const std::string& name)
{
    Kiln::RefPtr<Clip> clip(new Clip(name));
    hsAddObject(clip.get());
    return clip.get();
}

ClipI& ClipSet::hostClip(const std::string& name)
{
    if (clipHost_ == nullptr)
        throw Kiln::Exceptions::Wrapper::ClipUndefined("Kiln::Wrapper::ClipSet::hostClip", __FILE__, __LINE__,
                                                       name);
    return clipHost_->getClip(name);
}

void ClipSet::reportFetchImageFailure(const std::string& name, double time)
{
    std::ostringstream frame;
    frame << "frame " << time;
    throw Kiln::Exceptions::Wrapper::FetchNonOptionalImageFailed(
        "Kiln::Wrapper::ClipSet::reportFetchImageFailure", __FILE__, __LINE__, "checkout",
        "image from clip: \"" + name + "\"", frame.str());
}

void ClipSet::writeClipsXML(std::ostream& out, bool full) const
{
    out << "<clipset>\n";
    for (const Clip* c : hsObjects()) c->writeXML(out, full);
    out << "</clipset>\n";
}

}  // namespace Kiln::Wrapper
