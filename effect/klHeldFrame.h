#pragma once
// The held frame: what the render routine keeps of one source frame for the next renders that show it.
//
// With a camera frame rate below the layer's (the default 5 on 25 fps footage), several output frames
// in a row show the same source frame. The lens, the blur and the quantiser depend on nothing but that
// frame and controls that stay put, so their result is kept, one per effect instance, and the next
// render of the same picture starts at the monitor sampler. The sampler, the scan lines and the finish
// depend on the frame number and run every time.
//
// A kept picture is used only when everything it was made from is the same, compared bit for bit
// (HeldKey): the depth; the source texture's geometry, region, valid window, edge modes and edge colour;
// a 64-bit hash of every byte of the source's memory (a host may hand other pixels for a time it asked
// before); the render scale, pixel aspect and layer size; and the settings each of the three stages
// runs with, as read at this render's time (so an animated radius, strength or blur is compared at
// every frame). Anything else releases the kept picture.
//
// Memory: the kept picture is one image of the source's size from the host's memory service, taken in
// place of the image the first stage would otherwise write. When the host refuses it, nothing is kept
// and the render goes on as without reuse. It is released when the instance goes (HeldFrame's
// destructor, release()), when a render shows something else, and whenever the size changes.
//
// Threads: a host may render one instance on several threads at once. A render uses the held frame only
// when it gets the instance's lock without waiting; the others render as without reuse.
//
// Adapters: keep one HeldFrame per effect instance, for as long as the instance lives, and pass it to
// renderFrame (klRenderFrame.h). The plug-in module keeps them beside the sequence data
// (host/klAEHeldFrames.h); an adapter with an instance object of its own makes it a member.
//
// Switching off: KILN_NO_REUSE set to anything but "" or "0" when the module loads turns reuse off for
// the process, so that tests can compare every frame with the routine that computes everything.
#include "effect/klRenderRoutine.h"
#include "image/klMultiProcessor.h"
#include "image/klPixel.h"
#include "image/klTexture.h"

#include <cstdint>
#include <mutex>
#include <variant>

namespace Kiln::Watchcam {

// True when KILN_NO_REUSE switched reuse off (read once per process).
bool reuseSwitchedOff();
// KILN_NO_REUSE text -> off: set and neither empty nor "0".
bool parseNoReuse(const char* text);

// What a kept picture was made from. Floats are kept as their bits.
struct HeldKey {
    int32_t depth = 0;  // bytes per pixel
    // The source texture.
    int32_t axes[2][14] = {};
    uint32_t regionFlag = 0;
    uint8_t edgeColour[16] = {};
    // The render facts and layer size.
    uint64_t sx = 0, syAdj = 0, pixelAspect = 0;
    int32_t frameWidth = 0, frameHeight = 0;
    // The stages.
    bool lens = false;
    uint32_t lensK = 0, lensRadiusX = 0, lensRadiusY = 0, lensCentreX = 0, lensCentreY = 0;
    int32_t lensFilter = 0;
    bool blur = false;
    uint32_t blurX = 0, blurY = 0;
    int32_t blurIterations = 0;
    bool quantise = false;
    int32_t quantiseLevels = 0;
    // The source's bytes.
    uint64_t pixels = 0;

    bool operator==(const HeldKey&) const = default;
    // Equal apart from the pixel hash.
    bool sameApartFromPixels(const HeldKey& o) const;
};

// The key of a render (pixels left 0). `lens` is the lens switch.
template <class Px>
HeldKey heldKey(const KlTexture<Px>& source, const Settings& s, const RenderFacts& f, int32_t frameWidth,
                int32_t frameHeight);

// A 64-bit hash of every pixel of the texture's memory (its region when one is set), rows spread over the
// worker threads; the value does not depend on how the rows are split. False when the hook stopped it.
template <class Px>
bool hashPixels(const KlTexture<Px>& texture, KlInterruptHook* hook, uint64_t& hash);

// A hash of n bytes in the manner of xxHash64 (the same value for the same bytes and seed on every
// machine of the same byte order).
uint64_t hashBytes(const void* data, size_t n, uint64_t seed);

// Whether the next renders are likely to show this source frame again: the camera holds frames (a frame
// rate between 0 and the layer's, or a repeat count above 1), or the play speed is below 1 either way.
// Only then is a picture kept; a kept one is used whenever it matches.
bool heldLikely(const Settings& s, const RenderFacts& f);

class HeldFrame {
public:
    HeldFrame() = default;
    ~HeldFrame() = default;
    HeldFrame(const HeldFrame&) = delete;
    HeldFrame& operator=(const HeldFrame&) = delete;

    // Releases the kept picture (waits for a render using it).
    void release();
    // Whether a picture is kept.
    bool holding();

    // One render's use of the held frame. Inactive (every call does nothing) when there is no held frame,
    // reuse is switched off, or another render holds it.
    class Use {
    public:
        explicit Use(HeldFrame* held);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        bool active() const { return held_ != nullptr; }
        // Whether the kept picture may match `key` (all but the pixels are the same).
        bool mayMatch(const HeldKey& key) const;
        // The kept picture when it was made from exactly `key`, else a null texture.
        template <class Px>
        KlTexture<Px> find(const HeldKey& key) const;
        void release();
        // New memory like `source` for the picture to keep; a null texture when the host refuses it.
        template <class Px>
        KlTexture<Px> allocateLike(const KlTexture<Px>& source);
        // Keeps `picture` as made from `key`.
        template <class Px>
        void keep(const HeldKey& key, const KlTexture<Px>& picture);

    private:
        HeldFrame* held_ = nullptr;
    };

private:
    using Kept = std::variant<std::monostate, KlTexture<PixARGB8>, KlTexture<PixARGB16>, KlTexture<PixARGBF>>;
    std::mutex mutex_;
    HeldKey key_;
    Kept kept_;
};

}  // namespace Kiln::Watchcam
