#pragma once
// The clips of an effect, kept by name. Descriptions (Clip) live here; images come
// from the host's clips (ClipI) once a host is set.
#include "image/klPixel.h"
#include "image/klTexture.h"
#include "param/klHostedObject.h"
#include "wrapper/klWrapperClip.h"
#include "wrapper/klWrapperClipI.h"

#include <iosfwd>
#include <string>

namespace Kiln::Wrapper {

class HostI;

class ClipSet : public Kiln::HostedSet<Clip> {
public:
    ClipSet() = default;
    virtual ~ClipSet();

    // Creates a clip description, adds it and returns it; the set holds the only reference.
    Clip* createClip(const std::string& name);
    // The description of a clip, or null.
    Clip* clipDescription(const std::string& name) const { return hsGetObject(name, false); }

    void setClipHost(HostI* host) { clipHost_ = host; }
    HostI* clipHost() const { return clipHost_; }
    // The host's clip of that name; ClipUndefined without a host or a binding.
    ClipI& hostClip(const std::string& name);

    // Fetches a clip's image at `time` into `texture`. A clip that yields no image
    // is reported with reportFetchImageFailure unless its description says it is
    // optional; then the result is false.
    template <class Px>
    bool fetchImage(const std::string& name, double time, KlTexture<Px>& texture)
    {
        if (hostClip(name).fetchImageRaw(time, texture)) return true;
        const Clip* d = clipDescription(name);
        if (d == nullptr || !d->optional()) reportFetchImageFailure(name, time);
        return false;
    }

    // Raises FetchNonOptionalImageFailed: Failed to 'checkout' 'image from clip: "<name>"' - 'frame <time>'.
    [[noreturn]] static void reportFetchImageFailure(const std::string& name, double time);

    // "<clipset>", each clip, "</clipset>".
    void writeClipsXML(std::ostream& out, bool full) const;

private:
    HostI* clipHost_ = nullptr;
};

}  // namespace Kiln::Wrapper
