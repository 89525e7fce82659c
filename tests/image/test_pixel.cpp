#include "image/klFunctors.h"
#include "image/klPixel.h"
#include "image/klTexture.h"

#include "exceptions/klException.h"
#include "imageTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace Kiln;
using KilnImageTest::memoryService;

TEST(Pixel, IntegerStoresTruncateTowardZero)
{
    EXPECT_EQ(Pixel::storeChannel<uint8_t>(254.99f), 254);
    EXPECT_EQ(Pixel::storeChannel<uint8_t>(0.99f), 0);
    EXPECT_EQ(Pixel::storeChannel<uint8_t>(256.5f), 0);  // kept modulo 256
    EXPECT_EQ(Pixel::storeChannel<uint16_t>(32768.7f), 32768);
    EXPECT_EQ(Pixel::storeChannel<uint16_t>(-1.5f), 65535);  // -1 modulo 65536
    EXPECT_EQ(Pixel::storeChannel<int32_t>(-2.9), -2);
    EXPECT_FLOAT_EQ(Pixel::storeChannel<float>(0.3f), 0.3f);
    PixARGB8::Work w;
    w.a = 255.9f;
    w.r = 127.5f;
    w.g = 1.2f;
    w.b = 0.0f;
    const PixARGB8 p = PixARGB8::fromWork(w);
    EXPECT_EQ(p.a, 255);
    EXPECT_EQ(p.r, 127);
    EXPECT_EQ(p.g, 1);
}

TEST(DataHandle, TakesMemoryFromTheHostService)
{
    auto& svc = memoryService();
    const int before = svc.live.load();
    {
        auto* h = new Image::DataHandle(1000);
        EXPECT_EQ(svc.live.load(), before + 1);
        EXPECT_GE(svc.lastBytes, 1000u + sizeof(void*));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(h->data()) % 16, 0u);
        // The pointer-sized word in front of the block names the service's block.
        EXPECT_EQ(reinterpret_cast<void**>(h->data())[-1], svc.lastBlock);
        void* block = svc.lastBlock;
        h->addRef();
        h->release();
        EXPECT_EQ(svc.live.load(), before + 1);
        h->release();
        EXPECT_EQ(svc.lastReleased, block);
    }
    EXPECT_EQ(svc.live.load(), before);

    // Textures share their memory; the last holder gives it back.
    {
        KlTexture<PixARGB16> a(5, 3);
        EXPECT_EQ(a.rowBytes() % 16, 0);
        KlTexture<PixARGB16> b = a;
        KlTexture<PixARGB16> c = std::move(b);
        EXPECT_EQ(c.data(), a.data());
        EXPECT_EQ(a.holder()->refCount(), 2);
        EXPECT_EQ(svc.live.load(), before + 1);
    }
    EXPECT_EQ(svc.live.load(), before);
}

TEST(DataHandle, FailingOrMissingServiceRaisesOutOfMemory)
{
    auto& svc = memoryService();
    svc.fail = true;
    try {
        Image::DataHandle h(1024);
        FAIL() << "no exception";
    } catch (const Exceptions::OutOfMemory& e) {
        EXPECT_STREQ(e.record().function, "Kiln::Image::DataHandle::DataHandle");
        EXPECT_EQ(e.message(), "'Image allocation' failed to allocated 1024 bytes");
    }
    EXPECT_THROW(KlTexture<PixARGB8>(16, 16), Exceptions::OutOfMemory);
    svc.fail = false;
    EXPECT_THROW(KlTexture<PixARGBF>(200000000, 1), Exceptions::OutOfMemory);  // stride beyond 32 bits

    Memory::setHostMemoryService(nullptr);
    EXPECT_THROW(Image::DataHandle(16), Exceptions::OutOfMemory);
    Memory::setHostMemoryService(&svc);
    EXPECT_EQ(svc.live.load(), 0);

    Memory::SimpleHandle s(100);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s.data()) % 16, 0u);
    EXPECT_EQ(s.size(), 100u);
}

namespace {
class KeepAlive : public KlRefCounter {
public:
    explicit KeepAlive(bool* gone) : gone_(gone) { }
    ~KeepAlive() override { *gone_ = true; }

private:
    bool* gone_;
};
}  // namespace

TEST(Texture, ForeignMemoryAndCreateLike)
{
    bool gone = false;
    auto* owner = new KeepAlive(&gone);
    PixARGB8 rows[2][3] = {};
    rows[1][2] = {255, 7, 8, 9};
    {
        // Bottom-up memory: the view starts at the last row and steps backwards.
        KlTexture<PixARGB8> view(&rows[1][0], 3, 2, -static_cast<int32_t>(sizeof(rows[0])), 0, 0, owner);
        owner->release();  // the view keeps it alive
        EXPECT_FALSE(gone);
        EXPECT_EQ(view.pixelAddress(2, 0)->r, 7);
        EXPECT_EQ(view.pixelAddress(2, 1), &rows[0][2]);

        view.setEdgeModes(KlEdgeWrap, KlEdgeReflect);
        view.setEdgeColour({1, 2, 3, 4});
        view.setWindow(1, 0, 2, 1);
        KlTexture<PixARGB8> like = KlTexture<PixARGB8>::createLike(view);
        EXPECT_NE(like.data(), view.data());
        EXPECT_EQ(like.width(), 3);
        EXPECT_EQ(like.height(), 2);
        EXPECT_EQ(like.xAxis().edgeMode, KlEdgeWrap);
        EXPECT_EQ(like.xAxis().lo, 1);
        EXPECT_TRUE(like.edgeColour() == view.edgeColour());
        EXPECT_GT(like.rowBytes(), 0);
    }
    EXPECT_TRUE(gone);
}

TEST(Functors, MultiplyByAlpha)
{
    Processor::MultiplyByAlpha<PixARGB8> m8;
    PixARGB8 p{128, 255, 100, 1};
    m8(p);
    EXPECT_EQ(p.a, 128);
    EXPECT_EQ(p.r, 128);  // 255 * 128 / 255
    EXPECT_EQ(p.g, 50);  // 12800 / 255 = 50.19, truncated
    EXPECT_EQ(p.b, 0);
    PixARGB8 clear{0, 255, 255, 255};
    m8(clear);
    EXPECT_TRUE(clear == (PixARGB8{0, 0, 0, 0}));

    // 16 bits works in float: 32287 * 545 rounds to 17596416 = 537 * 32768 (integers would give 536).
    Processor::MultiplyByAlpha<PixARGB16> m16;
    PixARGB16 q{16384, 32768, 1001, 0};
    m16(q);
    EXPECT_EQ(q.r, 16384);
    EXPECT_EQ(q.g, 500);
    PixARGB16 q2{545, 32287, 32768, 1};
    m16(q2);
    EXPECT_EQ(q2.r, 537);
    EXPECT_EQ(q2.g, 545);
    EXPECT_EQ(q2.b, 0);

    Processor::MultiplyByAlpha<PixARGBF> mf;
    PixARGBF f{0.5f, 0.8f, 1.0f, 0.0f};
    mf(f);
    EXPECT_FLOAT_EQ(f.r, 0.4f);
    EXPECT_FLOAT_EQ(f.g, 0.5f);
}

TEST(Functors, UnMultiplyWhitePointClamp)
{
    Processor::UnMultiplyByAlpha<PixARGB8> u8;
    PixARGB8 p{128, 64, 200, 0};
    u8(p);
    EXPECT_EQ(p.r, 127);  // 64 * 255 / 128 = 127.5
    EXPECT_EQ(p.g, 255);  // clamped to M
    PixARGB8 zero{0, 9, 9, 9};
    u8(zero);
    EXPECT_TRUE(zero == (PixARGB8{0, 9, 9, 9}));
    Processor::UnMultiplyByAlpha<PixARGBF> uf;
    PixARGBF tiny{1e-6f, 0.5f, 0.5f, 0.5f};
    uf(tiny);
    EXPECT_FLOAT_EQ(tiny.r, 0.5f);  // alpha below 1/65535: unchanged
    PixARGBF half{0.5f, 0.25f, 0.75f, 0.0f};
    uf(half);
    EXPECT_FLOAT_EQ(half.r, 0.5f);
    EXPECT_FLOAT_EQ(half.g, 1.0f);

    PixARGB16 o{0, 1, 2, 3};
    Processor::WhitePointAlpha<PixARGB16>()(o);
    EXPECT_EQ(o.a, 32768);  // opaque 16-bit alpha
    PixARGB8 o8{0, 1, 2, 3};
    Processor::WhitePointAlpha<PixARGB8>()(o8);
    EXPECT_EQ(o8.a, 255);

    Processor::ClampChannel<PixARGBF> clamp{0, 0.0f, 1.0f};
    PixARGBF c{1.5f, 2.0f, -1.0f, 0.5f};
    clamp(c);
    EXPECT_FLOAT_EQ(c.a, 1.0f);
    EXPECT_FLOAT_EQ(c.r, 2.0f);
    Processor::ClampChannel<PixARGB16> clamp16{0, 0.0f, 32768.0f};
    PixARGB16 c16{65535, 1, 1, 1};
    clamp16(c16);
    EXPECT_EQ(c16.a, 32768);
}

TEST(Functors, ProcessorsOverImages)
{
    KlTexture<PixARGB8> img(3, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 3; ++x) *img.pixelAddress(x, y) = {128, 255, static_cast<uint8_t>(x), 10};
    Processor::Functor1<PixARGB8, Processor::MultiplyByAlpha<PixARGB8>> mul;
    mul.setDestination(&img);
    mul.setRectangle(1, 1, 2, 2);
    mul.run();
    EXPECT_EQ(img.pixelAddress(1, 1)->r, 128);
    EXPECT_EQ(img.pixelAddress(2, 2)->b, 5);
    EXPECT_EQ(img.pixelAddress(0, 1)->r, 255);  // outside the rectangle
    EXPECT_EQ(img.pixelAddress(1, 3)->r, 255);

    KlTexture<PixARGB8> src(2, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 2; ++x) *src.pixelAddress(x, y) = {static_cast<uint8_t>(y), 1, 2, 3};
    src.setEdgeColour({77, 0, 0, 0});
    Processor::Functor2<PixARGB8, PixARGB8, Processor::CopyAlpha<PixARGB8>> copyA;
    copyA.setSource(&src);
    copyA.setDestination(&img);
    copyA.run();
    EXPECT_EQ(img.pixelAddress(0, 3)->a, 3);
    EXPECT_EQ(img.pixelAddress(2, 0)->a, 77);  // beyond the source: its edge colour
    EXPECT_EQ(img.pixelAddress(0, 3)->r, 255);
    Processor::Functor2<PixARGB8, PixARGB8, Processor::CopyRGB<PixARGB8>> copyRGB;
    copyRGB.setSource(&src);
    copyRGB.setDestination(&img);
    copyRGB.run();
    EXPECT_TRUE(*img.pixelAddress(1, 2) == (PixARGB8{2, 1, 2, 3}));
}
