#include "effect/klHeldFrame.h"

#include "exceptions/klException.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

namespace Kiln::Watchcam {

namespace {

// Read when the module loads, so that a test can load a copy of it with reuse switched off.
const bool gNoReuse = parseNoReuse(std::getenv("KILN_NO_REUSE"));

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kP3 = 0x165667B19E3779F9ull;
constexpr uint64_t kP4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kP5 = 0x27D4EB2F165667C5ull;

uint64_t read64(const unsigned char* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

uint32_t read32(const unsigned char* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

uint64_t round64(uint64_t acc, uint64_t input)
{
    acc += input * kP2;
    acc = std::rotl(acc, 31);
    return acc * kP1;
}

uint64_t merge64(uint64_t acc, uint64_t v)
{
    acc ^= round64(0, v);
    return acc * kP1 + kP4;
}

uint64_t avalanche(uint64_t h)
{
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return h;
}

uint32_t floatBits(float v) { return std::bit_cast<uint32_t>(v); }
uint64_t doubleBits(double v) { return std::bit_cast<uint64_t>(v); }

void writeAxis(const KlTexAxis& a, int32_t (&out)[14])
{
    const int32_t v[14] = {a.size,        int32_t(floatBits(a.originF)),
                           a.origin,      a.edgeMode,
                           a.lo,          a.hi,
                           a.count,       a.origin2,
                           a.regionStart, a.regionEnd,
                           a.regionLen,   int32_t(a.flags),
                           a.wantLo,      a.wantHi};
    std::copy(v, v + 14, out);
}

// Row hashes on the worker threads; each row is seeded with its index, so a row moved is a change.
template <class Px>
class RowHashes final : public KlMultiProcessor {
public:
    explicit RowHashes(const KlTexture<Px>& t)
        : texture_(t), rows_(t.yAxis().memoryLength()),
          rowBytes_(size_t(t.xAxis().memoryLength()) * sizeof(Px)), hashes_(size_t(std::max(rows_, 0)))
    { }

    void process() override
    {
        const KlRowBand band = bandRows(0, rows_);
        for (int32_t y = band.begin; y < band.end; ++y) {
            if (shouldStop()) return;
            hashes_[size_t(y)] = hashBytes(texture_.rowAt(y), rowBytes_, uint64_t(y));
        }
    }

    uint64_t combined() const
    {
        uint64_t h = kP5 + uint64_t(rows_) * kP1 + rowBytes_;
        for (uint64_t r : hashes_) h = std::rotl(h ^ round64(0, r), 27) * kP1 + kP4;
        return avalanche(h);
    }

private:
    const KlTexture<Px>& texture_;
    int32_t rows_;
    size_t rowBytes_;
    std::vector<uint64_t> hashes_;
};

template <class Px>
constexpr int kKeptIndex = std::is_same_v<Px, PixARGB8>    ? 1
                           : std::is_same_v<Px, PixARGB16> ? 2
                                                           : 3;

}  // namespace

bool parseNoReuse(const char* text)
{
    return text != nullptr && text[0] != '\0' && std::strcmp(text, "0") != 0;
}

bool reuseSwitchedOff() { return gNoReuse; }

uint64_t hashBytes(const void* data, size_t n, uint64_t seed)
{
    const auto* p = static_cast<const unsigned char*>(data);
    const unsigned char* const end = p + n;
    uint64_t h;
    if (n >= 32) {
        uint64_t v1 = seed + kP1 + kP2, v2 = seed + kP2, v3 = seed, v4 = seed - kP1;
        const unsigned char* const limit = end - 32;
        do {
            v1 = round64(v1, read64(p));
            v2 = round64(v2, read64(p + 8));
            v3 = round64(v3, read64(p + 16));
            v4 = round64(v4, read64(p + 24));
            p += 32;
        } while (p <= limit);
        h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
        h = merge64(h, v1);
        h = merge64(h, v2);
        h = merge64(h, v3);
        h = merge64(h, v4);
    } else {
        h = seed + kP5;
    }
    h += uint64_t(n);
    for (; p + 8 <= end; p += 8) h = std::rotl(h ^ round64(0, read64(p)), 27) * kP1 + kP4;
    if (p + 4 <= end) {
        h ^= uint64_t(read32(p)) * kP1;
        h = std::rotl(h, 23) * kP2 + kP3;
        p += 4;
    }
    for (; p < end; ++p) {
        h ^= uint64_t(*p) * kP5;
        h = std::rotl(h, 11) * kP1;
    }
    return avalanche(h);
}

bool HeldKey::sameApartFromPixels(const HeldKey& o) const
{
    HeldKey a = *this;
    a.pixels = o.pixels;
    return a == o;
}

template <class Px>
HeldKey heldKey(const KlTexture<Px>& source, const Settings& s, const RenderFacts& f, int32_t frameWidth,
                int32_t frameHeight)
{
    HeldKey k;
    k.depth = int32_t(sizeof(Px));
    writeAxis(source.xAxis(), k.axes[0]);
    writeAxis(source.yAxis(), k.axes[1]);
    k.regionFlag = source.hasRegion() ? 1u : 0u;
    static_assert(sizeof(Px) <= sizeof(k.edgeColour));
    std::memcpy(k.edgeColour, &source.edgeColour(), sizeof(Px));
    k.sx = doubleBits(f.sx);
    k.syAdj = doubleBits(f.syAdj);
    k.pixelAspect = doubleBits(f.pixelAspect);
    k.frameWidth = frameWidth;
    k.frameHeight = frameHeight;
    k.lens = lensOn(s);
    if (k.lens) {
        const LensGeometry g = lensGeometry(s, f, frameWidth, frameHeight);
        k.lensK = floatBits(g.k);
        k.lensRadiusX = floatBits(g.radiusX);
        k.lensRadiusY = floatBits(g.radiusY);
        k.lensCentreX = floatBits(g.centreX);
        k.lensCentreY = floatBits(g.centreY);
        k.lensFilter = g.filter;
    }
    k.blur = blurOn(s);
    if (k.blur) {
        const BlurSizes b = blurSizes(s, f);
        k.blurX = floatBits(b.x);
        k.blurY = floatBits(b.y);
        k.blurIterations = b.iterations;
    }
    k.quantise = s.quantise;
    if (k.quantise) k.quantiseLevels = s.quantiseLevels;
    return k;
}

template <class Px>
bool hashPixels(const KlTexture<Px>& texture, KlInterruptHook* hook, uint64_t& hash)
{
    RowHashes<Px> rows(texture);
    rows.setInterruptHook(hook);
    rows.execute();
    if (hook != nullptr && hook->interrupted.load() != 0) return false;
    hash = rows.combined();
    return true;
}

bool heldLikely(const Settings& s, const RenderFacts& f)
{
    if (std::fabs(s.playSpeed) < 1.0) return true;
    if (s.hasRepeatFrames) return s.repeatFrames > 1 || s.repeatFrames < -1;
    // Without the parameter the camera runs at the layer's rate; a rate of 0 drops nothing.
    return s.hasFramesPerSec && s.framesPerSec > 0.0 && f.hostRate / s.framesPerSec > 1.0;
}

// ---- HeldFrame ------------------------------------------------------------------------------------

void HeldFrame::release()
{
    std::lock_guard<std::mutex> lock(mutex_);
    kept_ = std::monostate{};
    key_ = HeldKey{};
}

bool HeldFrame::holding()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return kept_.index() != 0;
}

HeldFrame::Use::Use(HeldFrame* held)
{
    if (held != nullptr && !reuseSwitchedOff() && held->mutex_.try_lock()) held_ = held;
}

HeldFrame::Use::~Use()
{
    if (held_ != nullptr) held_->mutex_.unlock();
}

bool HeldFrame::Use::mayMatch(const HeldKey& key) const
{
    return held_ != nullptr && held_->kept_.index() != 0 && held_->key_.sameApartFromPixels(key);
}

template <class Px>
KlTexture<Px> HeldFrame::Use::find(const HeldKey& key) const
{
    if (held_ == nullptr || held_->kept_.index() != size_t(kKeptIndex<Px>) || !(held_->key_ == key))
        return {};
    return std::get<kKeptIndex<Px>>(held_->kept_);
}

void HeldFrame::Use::release()
{
    if (held_ == nullptr) return;
    held_->kept_ = std::monostate{};
    held_->key_ = HeldKey{};
}

template <class Px>
KlTexture<Px> HeldFrame::Use::allocateLike(const KlTexture<Px>& source)
{
    if (held_ == nullptr) return {};
    try {
        return KlTexture<Px>::createLike(source);
    } catch (const Kiln::Exceptions::OutOfMemory&) {
        // The host has no memory to spare: the render goes on without keeping anything.
        return {};
    } catch (const std::bad_alloc&) {
        return {};
    }
}

template <class Px>
void HeldFrame::Use::keep(const HeldKey& key, const KlTexture<Px>& picture)
{
    if (held_ == nullptr || picture.isNull()) return;
    held_->kept_.template emplace<kKeptIndex<Px>>(picture);
    held_->key_ = key;
}

#define KL_HELD_FRAME_DEPTH(Px)                                                                              \
    template HeldKey heldKey<Px>(const KlTexture<Px>&, const Settings&, const RenderFacts&, int32_t,         \
                                 int32_t);                                                                   \
    template bool hashPixels<Px>(const KlTexture<Px>&, KlInterruptHook*, uint64_t&);                         \
    template KlTexture<Px> HeldFrame::Use::find<Px>(const HeldKey&) const;                                   \
    template KlTexture<Px> HeldFrame::Use::allocateLike<Px>(const KlTexture<Px>&);                           \
    template void HeldFrame::Use::keep<Px>(const HeldKey&, const KlTexture<Px>&);

KL_HELD_FRAME_DEPTH(PixARGB8)
KL_HELD_FRAME_DEPTH(PixARGB16)
KL_HELD_FRAME_DEPTH(PixARGBF)

#undef KL_HELD_FRAME_DEPTH

}  // namespace Kiln::Watchcam
