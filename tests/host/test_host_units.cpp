// The module's pieces tested directly: version and build words, the obsolescence rule, the title's
// placement, return messages, parameter set-up refused by the host, the host memory blocks, the in_data
// slot and how failures become host results.
#include "exceptions/klException.h"
#include "exceptions/klExceptionStack.h"
#include "host/klAEEvents.h"
#include "host/klAEGlobals.h"
#include "host/klAEHooks.h"
#include "host/klAEMemory.h"
#include "host/klAERender.h"
#include "host/resources/klResources.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Kiln::AfterEffects;

TEST(HostUnits, BuildNumberAndVersionWord)
{
    const std::pair<const char*, int> builds[] = {{"v5", 5},  {"b12", 112}, {"a3", 23}, {"d", 3},
                                                  {"vv7", 7}, {"x9", 0},    {"", 0},    {nullptr, 0}};
    for (const auto& [text, build] : builds) EXPECT_EQ(decodeBuild(text), build) << (text ? text : "null");
    EXPECT_EQ(
        makeVersion(productInfo.major, productInfo.minor, kReleaseStage, decodeBuild(productInfo.build)),
        0x00108605u);
    // Each field keeps to its bits: build 9 bits, stage 2, minor 4, major 3.
    EXPECT_EQ(makeVersion(0, 0, 0, 0x3FF), 0x1FFu);
    EXPECT_EQ(makeVersion(9, 17, 0, 0), ((1u << 4) | 1u) << 15);
    EXPECT_EQ(makeVersion(7, 15, 3, 511), 0x3F87FFu);
}

TEST(HostUnits, ObsoleteFlagFollowsStringTwo)
{
    EXPECT_FALSE(isObsoleteText(nullptr));  // nothing loaded
    EXPECT_FALSE(isObsoleteText(""));
    EXPECT_FALSE(isObsoleteText("Lanternfly is not obsolete."));
    EXPECT_TRUE(isObsoleteText("Lanternfly is obsolete."));
    // The terminating NUL is part of the 28 bytes compared.
    EXPECT_TRUE(isObsoleteText("Lanternfly is not obsolete.!"));
    EXPECT_TRUE(isObsoleteText("Lanternfly is not obsolete"));
    EXPECT_FALSE(isObsoleteText(klLoadString(2)));
    EXPECT_EQ(klLoadString(3), nullptr);
    EXPECT_EQ(klFindBitmap("IDB_OTHER"), nullptr);
}

TEST(HostUnits, TitlePlacementAndBlit)
{
    struct Placement {
        PF_Rect frame;
        A_short h, v;
    };
    // Centred by integer halves, never left of or above the frame.
    for (const Placement& p : {Placement{{10, 20, 410, 90}, 60, 30}, Placement{{5, 5, 205, 45}, 5, 5},
                               Placement{{0, 0, 301, 51}, 0, 0}}) {
        const PF_Point o = titleOrigin(p.frame, 300, 50);
        EXPECT_EQ(o.h, p.h);
        EXPECT_EQ(o.v, p.v);
    }
    // A 3 x 2 picture at (2, -1) on a 4 x 3 canvas: only its part inside the clip lands.
    const uint8_t pixels[2 * 3 * 4] = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3,
                                       4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6};
    const KlBitmap bitmap{3, 2, 12, pixels};
    std::vector<uint8_t> memory(4 * 3 * 4 + 3 * 8, 0xEE);
    PF_EffectWorld canvas{};
    canvas.data = memory.data();
    canvas.width = 4;
    canvas.height = 3;
    canvas.rowbytes = 4 * 4 + 8;
    blitBitmap(bitmap, canvas, 2, -1, PF_Rect{0, 0, 100, 100});
    auto at = [&](int x, int y) { return memory[static_cast<size_t>(y) * canvas.rowbytes + x * 4]; };
    EXPECT_EQ(at(2, 0), 4);
    EXPECT_EQ(at(3, 0), 5);
    EXPECT_EQ(at(1, 0), 0xEE);
    EXPECT_EQ(at(2, 1), 0xEE);
    EXPECT_EQ(memory[16], 0xEE);  // row padding untouched
    // Clipped to a frame that ends at x = 3.
    std::fill(memory.begin(), memory.end(), 0xEE);
    blitBitmap(bitmap, canvas, 1, 1, PF_Rect{0, 0, 3, 3});
    EXPECT_EQ(at(1, 1), 1);
    EXPECT_EQ(at(2, 1), 2);
    EXPECT_EQ(at(3, 1), 0xEE);
    EXPECT_EQ(at(1, 2), 4);
}

TEST(HostUnits, ReturnMessageIsCutToFit)
{
    PF_OutData out{};
    showMessage(&out, "Q_Watchcam out of memory.");
    EXPECT_STREQ(out.return_msg, "Q_Watchcam out of memory.");
    EXPECT_EQ(out.out_flags, PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    const std::string longText(400, 'y');
    setReturnMessage(&out, longText.c_str());
    EXPECT_EQ(std::strlen(out.return_msg), sizeof(out.return_msg) - 1);
    EXPECT_EQ(std::string(out.return_msg).substr(252), "...");
    const std::string exact(255, 'z');
    setReturnMessage(&out, exact.c_str());
    EXPECT_EQ(std::string(out.return_msg), exact);
    setReturnMessage(&out, nullptr);
    EXPECT_STREQ(out.return_msg, "");
}

TEST(HostUnits, ParameterSetUpStopsAtTheHostsFirstRefusal)
{
    static int calls = 0;
    PF_InData in{};
    PF_OutData out{};
    in.inter.add_param = [](PF_ProgPtr, PF_ParamIndex, PF_ParamDef*) -> PF_Err {
        return calls++ == 4 ? PF_Err_OUT_OF_MEMORY : PF_Err_NONE;
    };
    EXPECT_EQ(declareParams(&in, &out), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(out.num_params, 0);
    in.inter.add_param = nullptr;
    EXPECT_EQ(declareParams(&in, &out), PF_Err_BAD_CALLBACK_PARAM);
}

// ---- host memory and the in_data slot ---------------------------------------------------------

namespace {

struct FakeHandles {
    static inline std::map<PF_Handle, std::vector<unsigned char>*> live;
    static inline std::map<PF_Handle, int> locks;
    static inline long made = 0;
    static inline bool fail = false;
    static inline int offset = 0;  // how far off a 16-byte boundary the locked memory lies

    static PF_Handle make(uint64_t size)
    {
        if (fail) return nullptr;
        auto* mem = new std::vector<unsigned char>(size + 32);
        auto* master = new void*;
        auto base = reinterpret_cast<uintptr_t>(mem->data());
        *master = reinterpret_cast<void*>(((base + 15) & ~uintptr_t(15)) + offset);
        live[master] = mem;
        ++made;
        return master;
    }
    static void* lock(PF_Handle h)
    {
        ++locks[h];
        return *h;
    }
    static void unlock(PF_Handle h) { --locks[h]; }
    static void dispose(PF_Handle h)
    {
        delete live.at(h);
        live.erase(h);
        delete h;
    }
};

PF_UtilCallbacks fakeUtils()
{
    PF_UtilCallbacks u{};
    u.host_new_handle = &FakeHandles::make;
    u.host_lock_handle = &FakeHandles::lock;
    u.host_unlock_handle = &FakeHandles::unlock;
    u.host_dispose_handle = &FakeHandles::dispose;
    return u;
}

}  // namespace

TEST(HostUnits, HostMemoryBlocks)
{
    PF_UtilCallbacks utils = fakeUtils();
    PF_InData in{};
    in.utils = &utils;
    InDataScope scope(&in);
    HostHandleMemory memory;
    for (int offset : {0, 4, 8, 12}) {
        FakeHandles::offset = offset;
        void* block = memory.allocate(1000);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << "offset " << offset;
        PF_Handle h = HostHandleMemory::handleOf(block);
        ASSERT_EQ(FakeHandles::live.count(h), 1u);
        EXPECT_EQ(FakeHandles::locks[h], 1);
        // The block and its header fit in the handle.
        const auto* base = static_cast<unsigned char*>(*h);
        EXPECT_GE(static_cast<unsigned char*>(block) - base, static_cast<ptrdiff_t>(sizeof(PF_Handle)));
        EXPECT_LE(static_cast<unsigned char*>(block) + 1000, base + 1000 + HostHandleMemory::kBlockHeader);
        std::memset(block, 0x5A, 1000);
        memory.release(block);
        EXPECT_EQ(FakeHandles::live.count(h), 0u);
        EXPECT_EQ(FakeHandles::locks[h], 0);
    }
    FakeHandles::fail = true;
    EXPECT_EQ(memory.allocate(64), nullptr);
    FakeHandles::fail = false;
    EXPECT_EQ(memory.allocate(SIZE_MAX - 8), nullptr);  // the header would overflow the size
    EXPECT_TRUE(FakeHandles::live.empty());
}

TEST(HostUnits, InDataSlotIsRestoredAndCached)
{
    PF_UtilCallbacks utils = fakeUtils();
    PF_InData outer{}, inner{};
    outer.utils = &utils;
    inner.utils = &utils;
    EXPECT_EQ(currentInData(), nullptr);
    {
        InDataScope a(&outer);
        EXPECT_EQ(currentInData(), &outer);
        try {
            InDataScope b(&inner);
            EXPECT_EQ(currentInData(), &inner);
            throw std::runtime_error("leaving by an exception");
        } catch (const std::runtime_error&) { }
        EXPECT_EQ(currentInData(), &outer);
        {
            InDataScope none(nullptr);
            EXPECT_EQ(currentInData(), nullptr);
        }
        EXPECT_EQ(currentInData(), &outer);
    }
    EXPECT_EQ(currentInData(), nullptr);

    // A thread serving no command uses the callbacks cached from the last record stored.
    HandleCallbacks seen;
    std::thread worker([&] { seen = handleCallbacks(); });
    worker.join();
    EXPECT_EQ(seen.newHandle, &FakeHandles::make);
    EXPECT_EQ(seen.dispose, &FakeHandles::dispose);
    HostHandleMemory memory;
    void* block = nullptr;
    std::thread allocator([&] { block = memory.allocate(256); });
    allocator.join();
    ASSERT_NE(block, nullptr);
    std::thread releaser([&] { memory.release(block); });
    releaser.join();
    EXPECT_TRUE(FakeHandles::live.empty());

    // After a nested call ends, the outer call's callbacks serve worker threads again.
    PF_UtilCallbacks other = fakeUtils();
    other.host_dispose_handle = +[](PF_Handle h) { FakeHandles::dispose(h); };
    PF_InData nested{};
    nested.utils = &other;
    {
        InDataScope a(&outer);
        {
            InDataScope b(&nested);
            std::thread t([&] { seen = handleCallbacks(); });
            t.join();
            EXPECT_EQ(seen.dispose, other.host_dispose_handle);
        }
        std::thread t([&] { seen = handleCallbacks(); });
        t.join();
        EXPECT_EQ(seen.dispose, &FakeHandles::dispose);
    }
}

// ---- failure mapping --------------------------------------------------------------------------

namespace {

template <class Raise>
PF_Err mapped(PF_InData* in, PF_OutData* out, bool inRender, Raise raise)
{
    try {
        raise();
    } catch (...) {
        return failureResult(in, out, inRender, "Kiln::Test::caller", __FILE__, __LINE__);
    }
    return -1;
}

}  // namespace

TEST(HostUnits, FailureMapping)
{
    namespace Ex = Kiln::Exceptions;
    Kiln::Errors::Initialise();
    const auto dir = std::filesystem::temp_directory_path() / ("kl_host_units_" + std::to_string(getpid()));
    setenv("KILN_ERROR_DIR", dir.c_str(), 1);
    PF_InData in{};
    PF_OutData out{};

    EXPECT_EQ(mapped(&in, &out, true, [] { throw Ex::OutOfMemory("f", __FILE__, __LINE__, 10, "x"); }),
              PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(mapped(&in, &out, true, [] { throw std::bad_alloc(); }), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(
        mapped(&in, &out, true, [] { throw Ex::AfterEffects::InterruptedCritical("f", __FILE__, __LINE__); }),
        PF_Interrupt_CANCEL);
    EXPECT_TRUE(Ex::Stack::empty());
    EXPECT_STREQ(out.return_msg, "");

    // Outside a render an internal failure is never a success; the report lists the catch sites.
    EXPECT_EQ(mapped(&in, &out, false,
                     [] { throw Ex::BadValue("Kiln::Test::raiser", __FILE__, __LINE__, "a", 2); }),
              kHeadlessFailure);
    EXPECT_EQ(std::string(out.return_msg).rfind("Q_Watchcam failed.\n\n", 0), 0u) << out.return_msg;
    EXPECT_TRUE(Ex::Stack::empty());
    std::ifstream log(dir / "AfterEffects" / "Q_Watchcam.log");
    const std::string report((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(report.find("KILN INTERNAL ERROR REPORT"), std::string::npos);
    EXPECT_NE(report.find("Kiln::Test::caller"), std::string::npos);

    EXPECT_EQ(mapped(&in, &out, false, [] { throw std::runtime_error("disk on fire"); }), kHeadlessFailure);
    EXPECT_STREQ(out.return_msg, "Q_Watchcam failed.\n\ndisk on fire.\n\n");
    EXPECT_EQ(mapped(&in, &out, false, [] { throw 42; }), kHeadlessFailure);
    EXPECT_STREQ(out.return_msg, "Q_Watchcam failed.\n\nUnknown error.\n\n");

    unsetenv("KILN_ERROR_DIR");
    std::filesystem::remove_all(dir);
}
