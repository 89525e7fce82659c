// The built module loaded with dlopen and driven through `main` by the test host: the command
// table, global and sequence data, both render paths at every depth, failures, events, and
// what the module exports.
#include "host/klAEGlobals.h"
#include "host/klAERender.h"
#include "host/resources/klResources.h"
#include "tests/host/klTestHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

using namespace KlTest;
using Kiln::AfterEffects::FlatSequenceData;
using Kiln::AfterEffects::GlobalData;
using Kiln::AfterEffects::SequenceData;

namespace {

// The parameter array of a render: the input layer, then every control as the module declared it.
struct LayerParams {
    std::vector<PF_ParamDef> defs;
    std::vector<PF_ParamDef*> pointers;
    PF_ParamDef** list = nullptr;
    LayerParams(const Host& h, const World& w) {
        defs.resize(1);
        defs[0].param_type = PF_Param_LAYER;
        defs[0].u.ld = w.world;
        defs.insert(defs.end(), h.declared.begin(), h.declared.end());
        for (PF_ParamDef& d : defs) pointers.push_back(&d);
        list = pointers.data();
    }
};

// Pre-render then smart render of the whole layer; returns the smart render's result.
A_long smartRender(Host& h, World& source, World& output, PF_PreRenderOutput* preOut = nullptr) {
    h.layer = &source;
    h.output = &output;
    PF_PreRenderInput pin{};
    pin.output_request.rect = {0, 0, source.world.width, source.world.height};
    PF_PreRenderOutput pout{};
    PF_PreRenderExtra pre{&pin, &pout, &h.preCallbacks};
    const A_long preResult = h.send(PF_Cmd_SMART_PRE_RENDER, nullptr, nullptr, &pre);
    EXPECT_EQ(preResult, PF_Err_NONE);
    if (preOut) *preOut = pout;
    PF_SmartRenderInput sin{};
    sin.output_request = pin.output_request;
    PF_SmartRenderExtra extra{&sin, &h.smartCallbacks};
    return h.send(PF_Cmd_SMART_RENDER, nullptr, nullptr, &extra);
}

void expectSamePixels(const World& a, const World& b) {
    ASSERT_EQ(a.world.height, b.world.height);
    const size_t bytes = static_cast<size_t>(a.world.width) * a.bytesPerPixel;
    for (int y = 0; y < a.world.height; ++y)
        ASSERT_EQ(std::memcmp(a.row(y), b.row(y), bytes), 0) << "row " << y;
}

void expectAllBytes(const World& w, uint8_t value) {
    for (size_t i = 0; i < w.memory.size(); ++i) ASSERT_EQ(w.memory[i], value) << "byte " << i;
}

// Every byte after the pixels of each row still holds `value`.
void expectPaddingKept(const World& w, uint8_t value) {
    const size_t bytes = static_cast<size_t>(w.world.width) * w.bytesPerPixel;
    for (int y = 0; y < w.world.height; ++y)
        for (size_t i = bytes; i < static_cast<size_t>(w.world.rowbytes); ++i)
            ASSERT_EQ(w.row(y)[i], value) << "row " << y << " byte " << i;
}

// Controls under which the effect hands its source back: lens off, no blur, "Colour" without a tone
// curve, no EM interference, scan lines or shash, no frame dropping. Set on the declared records, which
// the parameter arrays copy and checkout_param answers from.
PF_ParamDef& control(Host& h, int index) { return h.declared.at(static_cast<size_t>(index) - 1); }
void neutralLook(Host& h) {
    control(h, 12).u.bd.value = 0;  // Lens Effect
    control(h, 25).u.fd.value = 0;  // Blur
    control(h, 3).u.pd.value = 1;   // TV Type: Colour
    control(h, 5).u.fd.value = 0;   // Contrast
    control(h, 6).u.fd.value = 0;   // Brightness
    control(h, 22).u.fd.value = 0;  // EM Interference
    control(h, 24).u.sd.value = 1;  // Scanline Width
    control(h, 20).u.fd.value = 0;  // Shash Max
    control(h, 10).u.fd.value = 0;  // Frame Rate
}

// 8 and 16 bits come back exactly. Float colours go through the tone tables: within 2e-5 of the
// source limited to 0..1; alpha is the layer's own, exactly.
void expectPassedThrough(const World& source, const World& output, int depth) {
    if (depth != 32) return expectSamePixels(source, output);
    for (int y = 0; y < source.world.height; ++y) {
        const float* s = reinterpret_cast<const float*>(source.row(y));
        const float* o = reinterpret_cast<const float*>(output.row(y));
        for (int i = 0; i < source.world.width * 4; ++i) {
            if (i % 4 == 0)
                ASSERT_EQ(o[i], s[i]) << "alpha, row " << y << " value " << i;
            else
                ASSERT_NEAR(o[i], std::clamp(s[i], 0.0f, 1.0f), 2e-5) << "row " << y << " value " << i;
        }
    }
}

std::string sequenceBytes(Host& h) {
    const HandleRecord* r = h.record(h.in.sequence_data);
    return r ? std::string(static_cast<const char*>(r->pointer), r->size) : std::string();
}

}  // namespace

TEST(HostModule, ExportsOnlyTheEntryAndTheRecords) {
    const std::string command = std::string("nm -D --defined-only ") + builtModulePath() + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof(line), pipe)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        const size_t space = s.rfind(' ');
        if (space != std::string::npos) names.insert(s.substr(space + 1));
    }
    const int status = pclose(pipe);
    if (status != 0 && names.empty()) GTEST_SKIP() << "nm is not available";
    EXPECT_TRUE(names.count("main"));
    EXPECT_TRUE(names.count("kiln_registration"));
    for (const std::string& n : names)
        EXPECT_TRUE(n == "main" || n == "kiln_registration" || n == "kiln_param_script_names" ||
                    n == "kiln_param_descriptions")
            << "exported: " << n;

    const KlRegistration* r = builtModule().registration;
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->kind, KL_FOURCC('e', 'F', 'K', 'T'));
    EXPECT_STREQ(r->name, "Q_Watchcam (2.1)");
    EXPECT_STREQ(r->category, "Halcyon 4");
    EXPECT_STREQ(r->entry_point, "main");
    EXPECT_EQ(r->pipl_version, 2);
    EXPECT_EQ(r->spec_major, 12);
    EXPECT_EQ(r->spec_minor, 12);
    EXPECT_EQ(r->effect_version, 0x00108605u);
    EXPECT_STREQ(r->match_name, "Q_Watchcam 1086");
    EXPECT_EQ(r->info_flags, 0);
    EXPECT_EQ(r->out_flags, 0x02008053);
    EXPECT_EQ(r->out_flags2, 0x00001400);
    EXPECT_EQ(r->ae_effect_flags[0], 0);
    EXPECT_EQ(r->ae_effect_flags[1], 0);
}

TEST(HostModule, UnlistedCommandsDoNothing) {
    Host h(builtModule());
    h.start();
    World output = World::filled(8, 4, 8, 0, 0x11);
    for (int32_t cmd : {2, 9, 10, 12, 16, 17, 18, 19, 20, 21, 22, 25, 26, 100, 1 << 20, -1}) {
        const PF_InData inBefore = h.in;
        const PF_OutData outBefore = h.out;
        const long allocated = h.allocated;
        int marker = 0;
        EXPECT_EQ(h.sendRaw(cmd, nullptr, &output.world, &marker), PF_Err_NONE) << "command " << cmd;
        EXPECT_EQ(std::memcmp(&inBefore, &h.in, sizeof(PF_InData)), 0) << "command " << cmd;
        EXPECT_EQ(std::memcmp(&outBefore, &h.out, sizeof(PF_OutData)), 0) << "command " << cmd;
        EXPECT_EQ(h.allocated, allocated);
        EXPECT_EQ(marker, 0);
    }
    expectAllBytes(output, 0x11);
    h.stop();
    EXPECT_TRUE(h.live.empty());
}

TEST(HostModule, GlobalSetupAndSetdown) {
    Host h(builtModule());
    h.out.out_flags = 0;
    h.out.out_flags2 = 0;
    ASSERT_EQ(h.send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
    EXPECT_EQ(h.out.my_version, 0x00108605u);
    EXPECT_EQ(h.out.my_version, builtModule().registration->effect_version);
    EXPECT_EQ(h.out.out_flags, 0x02008053);  // the shipped string 2 keeps PF_OutFlag_I_AM_OBSOLETE clear
    EXPECT_EQ(h.out.out_flags2, 0x1400);
    ASSERT_NE(h.out.global_data, nullptr);
    EXPECT_EQ(h.in.global_data, h.out.global_data);
    const HandleRecord* g = h.record(h.out.global_data);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->size, sizeof(GlobalData));
    EXPECT_EQ(g->locks, 0);
    const auto* data = static_cast<const GlobalData*>(g->pointer);
    EXPECT_EQ(std::string(data->resourcePath), h.resourcePath);
    ASSERT_NE(data->titleBitmap, nullptr);
    EXPECT_EQ(data->titleBitmap->width, 300);
    EXPECT_EQ(data->titleBitmap->height, 50);
    EXPECT_EQ(std::set<A_long>(h.platformQueries.begin(), h.platformQueries.end()),
              (std::set<A_long>{PF_PlatData_INSTANCE, PF_PlatData_RES_FILE_PATH}));

    ASSERT_EQ(h.send(PF_Cmd_GLOBAL_SETDOWN), PF_Err_NONE);
    EXPECT_EQ(h.in.global_data, nullptr);
    EXPECT_EQ(h.out.global_data, nullptr);
    EXPECT_TRUE(h.live.empty());

    // Without memory for the global block: out of memory, nothing kept.
    h.failAfter = 0;
    EXPECT_EQ(h.send(PF_Cmd_GLOBAL_SETUP), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(h.in.global_data, nullptr);
    EXPECT_TRUE(h.live.empty());
}

TEST(HostModule, ParameterSetupDeclaresTheAboutControl) {
    Host h(builtModule());
    ASSERT_EQ(h.send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
    ASSERT_EQ(h.send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    ASSERT_GE(h.declared.size(), 1u);
    const PF_ParamDef& about = h.declared[0];
    EXPECT_STREQ(about.name, "About");
    EXPECT_EQ(about.param_type, PF_Param_NO_DATA);
    EXPECT_EQ(about.ui_flags & PF_PUI_CONTROL, PF_PUI_CONTROL);
    EXPECT_EQ(about.ui_width, 300);
    EXPECT_EQ(about.ui_height, 50);
    EXPECT_EQ(about.flags, 0x42);
    EXPECT_EQ(h.out.num_params, static_cast<A_long>(h.declared.size()) + 1);
    EXPECT_EQ(h.send(PF_Cmd_GLOBAL_SETDOWN), PF_Err_NONE);
}

TEST(HostModule, SequenceDataThroughFlattenCycles) {
    Host h(builtModule());
    ASSERT_EQ(h.send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
    const std::string live(sizeof(SequenceData), '\0');
    const FlatSequenceData flatValue{1};
    const std::string flat(reinterpret_cast<const char*>(&flatValue), sizeof(flatValue));

    ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_SETUP), PF_Err_NONE);
    EXPECT_EQ(h.out.sequence_data, h.in.sequence_data);
    EXPECT_EQ(sequenceBytes(h), live);
    EXPECT_EQ(h.record(h.in.sequence_data)->locks, 0);

    for (int cycle = 0; cycle < 3; ++cycle) {
        PF_Handle before = h.in.sequence_data;
        ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_FLATTEN), PF_Err_NONE);
        EXPECT_NE(h.in.sequence_data, before);
        EXPECT_EQ(h.record(before), nullptr) << "the live block is disposed";
        EXPECT_EQ(h.out.sequence_data, h.in.sequence_data);
        EXPECT_EQ(sequenceBytes(h), flat);  // exactly 4 bytes holding 1
        EXPECT_EQ(h.record(h.in.sequence_data)->locks, 0);

        // Flattening a flat block leaves it alone.
        PF_Handle flatHandle = h.in.sequence_data;
        ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_FLATTEN), PF_Err_NONE);
        EXPECT_EQ(h.in.sequence_data, flatHandle);
        EXPECT_EQ(sequenceBytes(h), flat);

        ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_RESETUP), PF_Err_NONE);
        EXPECT_EQ(h.record(flatHandle), nullptr);
        EXPECT_EQ(sequenceBytes(h), live);
        EXPECT_EQ(h.live.size(), 2u);  // global + sequence
    }

    // Re-set-up of a live block is a new set-up: the old block goes, a new zeroed one comes.
    // (The test host may hand out the freed address again, so count the disposals.)
    std::memset(static_cast<char*>(h.record(h.in.sequence_data)->pointer) + sizeof(SequenceData) - 4, 0x77, 4);
    long disposed = h.disposed, allocated = h.allocated;
    ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_RESETUP), PF_Err_NONE);
    EXPECT_EQ(h.disposed - disposed, 1);
    EXPECT_EQ(h.allocated - allocated, 1);
    EXPECT_EQ(sequenceBytes(h), live);

    // Set-up over an existing block replaces it.
    disposed = h.disposed;
    ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_SETUP), PF_Err_NONE);
    EXPECT_EQ(h.disposed - disposed, 1);
    EXPECT_EQ(sequenceBytes(h), live);
    EXPECT_EQ(h.live.size(), 2u);

    ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_SETDOWN), PF_Err_NONE);
    EXPECT_EQ(h.in.sequence_data, nullptr);
    EXPECT_EQ(h.out.sequence_data, nullptr);
    // Set-down of nothing, flatten of nothing: nothing happens.
    EXPECT_EQ(h.send(PF_Cmd_SEQUENCE_SETDOWN), PF_Err_NONE);
    EXPECT_EQ(h.send(PF_Cmd_SEQUENCE_FLATTEN), PF_Err_NONE);
    EXPECT_EQ(h.in.sequence_data, nullptr);
    // Set-down of a flat block disposes it too.
    ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_SETUP), PF_Err_NONE);
    ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_FLATTEN), PF_Err_NONE);
    ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_SETDOWN), PF_Err_NONE);
    ASSERT_EQ(h.send(PF_Cmd_GLOBAL_SETDOWN), PF_Err_NONE);
    EXPECT_TRUE(h.live.empty());
}

TEST(HostModule, SequenceSetupWithoutMemory) {
    Host h(builtModule());
    ASSERT_EQ(h.send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
    h.failAfter = 0;
    EXPECT_EQ(h.send(PF_Cmd_SEQUENCE_SETUP), PF_Err_OUT_OF_MEMORY);
    EXPECT_STREQ(h.out.return_msg, "Failed to set up sequence data");
    EXPECT_TRUE(h.out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    EXPECT_EQ(h.in.sequence_data, nullptr);

    // A flat block that cannot be brought back stays as it was.
    h.failAfter = -1;
    ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_SETUP), PF_Err_NONE);
    ASSERT_EQ(h.send(PF_Cmd_SEQUENCE_FLATTEN), PF_Err_NONE);
    PF_Handle flat = h.in.sequence_data;
    h.failAfter = 0;
    EXPECT_EQ(h.send(PF_Cmd_SEQUENCE_RESETUP), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(h.in.sequence_data, flat);
    ASSERT_NE(h.record(flat), nullptr);
    h.failAfter = -1;
    h.stop();
    EXPECT_TRUE(h.live.empty());
}

TEST(HostModule, LegacyRenderPassesThrough) {
    Host h(builtModule());
    h.start();
    neutralLook(h);
    const size_t handles = h.live.size();
    for (int depth : {8, 16}) {
        World source = World::make(37, 23, depth, 12, depth);
        World output = World::filled(37, 23, depth, 12, 0xCD);
        LayerParams params(h, source);
        ASSERT_EQ(h.send(PF_Cmd_RENDER, params.list, &output.world), PF_Err_NONE) << h.out.return_msg;
        expectSamePixels(source, output);
        expectPaddingKept(output, 0xCD);
        EXPECT_EQ(h.live.size(), handles) << "every image handle is given back";
    }
    // A host that is not the native one gets the control refresh first; the render is the same.
    h.in.appl_id = KL_FOURCC('x', 'x', 'x', 'x');
    World source = World::make(5, 3, 8, 0, 7);
    World output = World::filled(5, 3, 8, 0, 0);
    LayerParams params(h, source);
    ASSERT_EQ(h.send(PF_Cmd_RENDER, params.list, &output.world), PF_Err_NONE) << h.out.return_msg;
    expectSamePixels(source, output);
    h.stop();
    EXPECT_TRUE(h.live.empty());
}

TEST(HostModule, LegacyDepthFollowsVersionHalvesAndWorldFlag) {
    Host h(builtModule());
    h.start();
    neutralLook(h);
    // 13.0 with a deep world: minor 0 is below 6, so 8 bits. The 16-bit frame cannot be read as 8-bit
    // pixels: the render fails (this host has no user interface) and leaves the output as it was.
    h.in.version = {13, 0};
    World source = World::make(16, 6, 16, 0, 3);
    World output = World::filled(16, 6, 16, 0, 0xCD);
    LayerParams params(h, source);
    h.out = PF_OutData{};
    EXPECT_EQ(h.send(PF_Cmd_RENDER, params.list, &output.world), Kiln::AfterEffects::kHeadlessFailure);
    EXPECT_NE(std::string(h.out.return_msg).find("texture wrong template"), std::string::npos) << h.out.return_msg;
    expectAllBytes(output, 0xCD);
    // 12.6 with a deep world: 16 bits, the whole row.
    h.in.version = {12, 6};
    World output16 = World::filled(16, 6, 16, 0, 0xCD);
    ASSERT_EQ(h.send(PF_Cmd_RENDER, params.list, &output16.world), PF_Err_NONE) << h.out.return_msg;
    expectSamePixels(source, output16);
    // 12.6 with a world that is not deep: 8 bits.
    World source8 = World::make(16, 6, 8, 0, 3);
    World output8 = World::filled(16, 6, 8, 0, 0xCD);
    LayerParams params8(h, source8);
    ASSERT_EQ(h.send(PF_Cmd_RENDER, params8.list, &output8.world), PF_Err_NONE) << h.out.return_msg;
    expectSamePixels(source8, output8);
    h.stop();
}

TEST(HostModule, SmartRenderPassesThroughAtEveryDepth) {
    Host h(builtModule());
    h.start();
    neutralLook(h);
    const size_t handles = h.live.size();
    for (int depth : {8, 16, 32}) {
        World source = World::make(41, 19, depth, 20, 100 + depth);
        World output = World::filled(41, 19, depth, 20, 0xCD);
        const int acquires = h.acquires, releases = h.releases;
        PF_PreRenderOutput pre{};
        ASSERT_EQ(smartRender(h, source, output, &pre), PF_Err_NONE) << "depth " << depth << h.out.return_msg;
        EXPECT_EQ(pre.result_rect.left, 0);
        EXPECT_EQ(pre.result_rect.right, 41);
        EXPECT_EQ(pre.result_rect.bottom, 19);
        EXPECT_EQ(pre.max_result_rect.right, 41);
        EXPECT_FALSE(pre.solid);
        expectPassedThrough(source, output, depth);
        expectPaddingKept(output, 0xCD);
        EXPECT_EQ(h.layerCheckouts, h.layerCheckins);
        EXPECT_EQ(h.paramCheckouts, h.paramCheckins);
        EXPECT_EQ(h.acquires - acquires, h.releases - releases);
        EXPECT_EQ(h.live.size(), handles);
    }
    h.stop();
    EXPECT_TRUE(h.live.empty());
}

TEST(HostModule, SmartPreRenderRegion) {
    Host h(builtModule());
    h.start();
    World layer = World::make(20, 10, 8, 0, 1);
    h.layer = &layer;

    PF_PreRenderInput pin{};
    pin.output_request.rect = {5, 6, 30, 20};
    pin.output_request.channel_mask = 0xE;
    pin.output_request.preserve_rgb_of_zero_alpha = 1;
    pin.output_request.reserved[2] = 77;
    PF_PreRenderOutput pout{};
    pout.result_rect = {7, 7, 7, 9};  // empty: replaced by the union
    pout.max_result_rect = {-4, -3, 2, 1};
    pout.solid = 1;
    PF_PreRenderExtra extra{&pin, &pout, &h.preCallbacks};
    ASSERT_EQ(h.send(PF_Cmd_SMART_PRE_RENDER, nullptr, nullptr, &extra), PF_Err_NONE);
    // The source is asked for the request as it came, at the current time.
    EXPECT_EQ(h.preRenderCheckouts, 1);
    EXPECT_EQ(h.lastRequest.rect.left, 5);
    EXPECT_EQ(h.lastRequest.rect.right, 30);
    EXPECT_EQ(h.lastRequest.channel_mask, 0xE);
    EXPECT_EQ(h.lastRequest.reserved[2], 77);
    EXPECT_EQ(h.lastCheckoutTime, h.in.current_time);
    // The preserve flag sets bit 0 of the input's channel mask.
    EXPECT_EQ(pin.output_request.channel_mask, 0xF);
    // Request clipped to what the source gives: (5, 6) - (20, 10).
    EXPECT_EQ(pout.result_rect.left, 5);
    EXPECT_EQ(pout.result_rect.top, 6);
    EXPECT_EQ(pout.result_rect.right, 20);
    EXPECT_EQ(pout.result_rect.bottom, 10);
    // Union of the earlier maximum with the source's: (-4, -3) - (20, 10).
    EXPECT_EQ(pout.max_result_rect.left, -4);
    EXPECT_EQ(pout.max_result_rect.top, -3);
    EXPECT_EQ(pout.max_result_rect.right, 20);
    EXPECT_EQ(pout.max_result_rect.bottom, 10);
    EXPECT_FALSE(pout.solid);
    EXPECT_EQ(pout.flags & PF_RenderOutputFlag_RETURNS_EXTRA_PIXELS, 0);

    // Without the flag the mask stays; a request outside the layer adds nothing to a result.
    PF_PreRenderInput pin2{};
    pin2.output_request.rect = {100, 100, 120, 120};
    pin2.output_request.channel_mask = 0xE;
    PF_PreRenderOutput pout2{};
    pout2.result_rect = {1, 2, 3, 4};
    PF_PreRenderExtra extra2{&pin2, &pout2, &h.preCallbacks};
    ASSERT_EQ(h.send(PF_Cmd_SMART_PRE_RENDER, nullptr, nullptr, &extra2), PF_Err_NONE);
    EXPECT_EQ(pin2.output_request.channel_mask, 0xE);
    EXPECT_EQ(pout2.result_rect.left, 1);
    EXPECT_EQ(pout2.result_rect.bottom, 4);

    EXPECT_EQ(h.send(PF_Cmd_SMART_PRE_RENDER, nullptr, nullptr, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    h.stop();
}

TEST(HostModule, SmartRenderFailures) {
    Host h(builtModule());
    h.start();
    neutralLook(h);
    const size_t handles = h.live.size();

    // A pixel format that is none of the three: 516, output untouched, nothing left checked out.
    for (PF_PixelFormat bad : {PF_PixelFormat(PF_PixelFormat_INVALID), KL_FOURCC('x', 'y', 'z', 'w'),
                               KL_FOURCC('2', '3', 'e', 'a')}) {
        World source = World::make(9, 7, 8, 0, 5);
        World output = World::filled(9, 7, 8, 0, 0xCD);
        h.reportedFormat = bad;
        const int outputs = h.outputCheckouts;
        EXPECT_EQ(smartRender(h, source, output), PF_Err_BAD_CALLBACK_PARAM);
        expectAllBytes(output, 0xCD);
        EXPECT_EQ(h.outputCheckouts, outputs);
        EXPECT_EQ(h.layerCheckouts, h.layerCheckins);
        EXPECT_EQ(h.acquires, h.releases);
    }
    h.reportedFormat = 0;

    // No world suite: 516 before anything is checked out.
    h.worldSuiteAvailable = false;
    World source = World::make(9, 7, 8, 0, 5);
    World output = World::filled(9, 7, 8, 0, 0xCD);
    const int checkouts = h.layerCheckouts;
    EXPECT_EQ(smartRender(h, source, output), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(h.layerCheckouts, checkouts);
    h.worldSuiteAvailable = true;

    // The suite cannot be released: the frame is rendered, the message shown, 516 returned.
    h.releaseFails = true;
    h.out.out_flags = 0;
    EXPECT_EQ(smartRender(h, source, output), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_STREQ(h.out.return_msg, "Couldn't release suite.");
    EXPECT_TRUE(h.out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    expectSamePixels(source, output);
    h.releaseFails = false;

    // The host asks to stop: cancelled, every image handle back.
    h.interrupt = true;
    World big = World::make(64, 64, 16, 0, 9);
    World bigOut = World::filled(64, 64, 16, 0, 0);
    EXPECT_EQ(smartRender(h, big, bigOut), PF_Interrupt_CANCEL);
    h.interrupt = false;
    EXPECT_EQ(h.live.size(), handles);
    EXPECT_EQ(h.layerCheckouts, h.layerCheckins);
    h.stop();
    EXPECT_TRUE(h.live.empty());
}

TEST(HostModule, TheHostsFrameIsOnlyRead) {
    // Every stage of the default look, and quantise: the stages work in the output's memory or their
    // own, never in the source the host lent.
    Host h(builtModule());
    h.start();
    control(h, 7).u.bd.value = 1;  // Quantise
    for (int depth : {8, 16, 32}) {
        World source = World::make(40, 30, depth, 8, 50 + depth);
        const std::vector<uint8_t> before = source.memory;
        World output = World::filled(40, 30, depth, 8, 0xCD);
        ASSERT_EQ(smartRender(h, source, output), PF_Err_NONE) << h.out.return_msg;
        EXPECT_EQ(source.memory, before) << "depth " << depth;
        expectPaddingKept(output, 0xCD);
    }
    // The legacy path, where frame dropping fetches frame 0 at time 3: the layer is checked out.
    World source = World::make(40, 30, 8, 0, 9);
    const std::vector<uint8_t> before = source.memory;
    World output = World::filled(40, 30, 8, 0, 0);
    h.layer = &source;
    LayerParams params(h, source);
    ASSERT_EQ(h.send(PF_Cmd_RENDER, params.list, &output.world), PF_Err_NONE) << h.out.return_msg;
    EXPECT_EQ(source.memory, before);
    EXPECT_EQ(h.paramCheckouts, h.paramCheckins);
    h.layer = nullptr;
    h.stop();
}

TEST(HostModule, ASourceWithoutPixels) {
    Host h(builtModule());
    h.start();
    World source = World::make(6, 4, 8, 0, 1);
    source.world.data = nullptr;
    World output = World::filled(6, 4, 8, 0, 0xCD);
    // The picture needs the source: a failed fetch of a clip that is not optional.
    h.out = PF_OutData{};
    EXPECT_EQ(smartRender(h, source, output), Kiln::AfterEffects::kHeadlessFailure);
    EXPECT_NE(std::string(h.out.return_msg).find("image from clip: \"Source\""), std::string::npos)
        << h.out.return_msg;
    expectAllBytes(output, 0xCD);
    // When the host has asked to stop, the same failure ends the render quietly.
    h.interrupt = true;
    h.out = PF_OutData{};
    EXPECT_EQ(smartRender(h, source, output), PF_Err_NONE);
    EXPECT_STREQ(h.out.return_msg, "");
    h.interrupt = false;
    // A blank frame fetches nothing: black, with the alpha of the source read as its edge colour
    // (opaque black) since it has no pixels.
    control(h, 23).u.fd.value = 100 << 16;  // White Dot 100
    EXPECT_EQ(smartRender(h, source, output), PF_Err_NONE) << h.out.return_msg;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) {
            const uint8_t* p = output.row(y) + 4 * x;
            ASSERT_TRUE(p[0] == 255 && p[1] == 0 && p[2] == 0 && p[3] == 0) << x << "," << y;
        }
    EXPECT_EQ(h.layerCheckouts, h.layerCheckins);
    EXPECT_EQ(h.paramCheckouts, h.paramCheckins);
    h.stop();
    EXPECT_TRUE(h.live.empty());
}

TEST(HostModule, OutOfMemoryOnBothPaths) {
    Host h(builtModule());
    h.start();
    const size_t handles = h.live.size();
    for (int depth : {8, 16, 32}) {
        World source = World::make(12, 8, depth, 0, 2);
        World output = World::filled(12, 8, depth, 0, 0);
        h.out = PF_OutData{};
        h.failAfter = 0;
        EXPECT_EQ(smartRender(h, source, output), PF_Err_OUT_OF_MEMORY);
        h.failAfter = -1;
        EXPECT_STREQ(h.out.return_msg, "Q_Watchcam out of memory.");
        EXPECT_TRUE(h.out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
        EXPECT_EQ(h.live.size(), handles);
        EXPECT_EQ(h.layerCheckouts, h.layerCheckins);
    }
    World source = World::make(12, 8, 8, 0, 2);
    World output = World::filled(12, 8, 8, 0, 0);
    h.layer = &source;  // frame dropping checks the layer out at another time
    LayerParams params(h, source);
    h.out = PF_OutData{};
    h.failAfter = 0;
    EXPECT_EQ(h.send(PF_Cmd_RENDER, params.list, &output.world), PF_Err_OUT_OF_MEMORY);
    h.failAfter = -1;
    EXPECT_STREQ(h.out.return_msg, "Q_Watchcam out of memory.");

    // An output world without pixels is reported the same way.
    World empty = World::filled(12, 8, 8, 0, 0);
    empty.world.data = nullptr;
    h.out = PF_OutData{};
    EXPECT_EQ(h.send(PF_Cmd_RENDER, params.list, &empty.world), PF_Err_OUT_OF_MEMORY);
    EXPECT_STREQ(h.out.return_msg, "Q_Watchcam out of memory.");
    h.out = PF_OutData{};
    EXPECT_EQ(h.send(PF_Cmd_RENDER, params.list, nullptr), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(h.live.size(), handles);
    h.stop();
    EXPECT_TRUE(h.live.empty());
}

TEST(HostModule, InDataOfANestedCallIsPutBack) {
    Host a(builtModule(), 0);
    Host b(builtModule(), 1);
    a.start();
    b.start();
    // Unchanged picture, but the blur takes its buffer from the host: a flat picture stays flat.
    neutralLook(a);
    control(a, 25).u.fd.value = 3 << 16;
    World source = World::filled(16, 16, 8, 0, 0x40);
    World output = World::filled(16, 16, 8, 0, 0);
    int nested = 0;
    // While the outer render has its source checked out, the host serves another instance, whose
    // call fails. The outer render's memory must still come from the outer call's host.
    a.duringCheckout = [&] {
        ++nested;
        b.failAfter = 0;
        EXPECT_EQ(b.send(PF_Cmd_SEQUENCE_SETUP), PF_Err_OUT_OF_MEMORY);
        b.failAfter = -1;
        EXPECT_EQ(b.sendRaw(99), PF_Err_NONE);
    };
    const long aBefore = a.allocated, bBefore = b.allocated;
    ASSERT_EQ(smartRender(a, source, output), PF_Err_NONE) << a.out.return_msg;
    EXPECT_EQ(nested, 1);
    expectSamePixels(source, output);
    EXPECT_GT(a.allocated, aBefore);
    EXPECT_EQ(b.allocated, bBefore);
    a.duringCheckout = nullptr;
    ASSERT_EQ(b.send(PF_Cmd_SEQUENCE_SETUP), PF_Err_NONE);
    b.stop();
    a.stop();
    EXPECT_TRUE(a.live.empty());
    EXPECT_TRUE(b.live.empty());
}

TEST(HostModule, AboutControlAndEvents) {
    Host h(builtModule());
    h.start();
    World canvas = World::filled(400, 80, 8, 0, 0);
    h.canvas = &canvas.world;
    PF_Context context{};
    context.w_type = PF_Window_EFFECT;
    context.saved_object[0] = &context;
    context.saved_object[1] = &h;

    PF_EventExtra e{};
    e.contextH = &context;
    e.e_type = PF_Event_NEW_CONTEXT;
    ASSERT_EQ(h.send(PF_Cmd_EVENT, nullptr, nullptr, &e), PF_Err_NONE);
    EXPECT_EQ(context.saved_object[0], nullptr);
    EXPECT_EQ(context.saved_object[1], nullptr);

    // Another control, or the composition window: not ours to draw.
    e.e_type = PF_Event_DRAW;
    e.effect_win.index = 2;
    e.effect_win.area = PF_EA_CONTROL;
    e.effect_win.current_frame = {50, 10, 350, 60};
    ASSERT_EQ(h.send(PF_Cmd_EVENT, nullptr, nullptr, &e), PF_Err_NONE);
    EXPECT_EQ(e.evt_out_flags, 0);
    context.w_type = PF_Window_COMP;
    e.effect_win.index = 1;
    ASSERT_EQ(h.send(PF_Cmd_EVENT, nullptr, nullptr, &e), PF_Err_NONE);
    EXPECT_EQ(e.evt_out_flags, 0);
    expectAllBytes(canvas, 0);

    // The About control: the title centred in its frame (here exactly filling it).
    context.w_type = PF_Window_EFFECT;
    ASSERT_EQ(h.send(PF_Cmd_EVENT, nullptr, nullptr, &e), PF_Err_NONE);
    EXPECT_EQ(e.evt_out_flags, PF_EO_HANDLED_EVENT);
    const KlBitmap* title = klFindBitmap("IDB_TITLE");
    ASSERT_NE(title, nullptr);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 400; ++x) {
            const uint8_t* p = canvas.row(y) + x * 4;
            if (x >= 50 && x < 350 && y >= 10 && y < 60) {
                ASSERT_EQ(std::memcmp(p, title->pixels + (y - 10) * title->rowBytes + (x - 50) * 4, 4), 0)
                    << x << "," << y;
            } else {
                ASSERT_EQ(p[0] | p[1] | p[2] | p[3], 0) << x << "," << y;
            }
        }

    // A click on it opens the About box over the main window.
    e.e_type = PF_Event_DO_CLICK;
    e.evt_out_flags = 0;
    h.platformQueries.clear();
    ASSERT_EQ(h.send(PF_Cmd_EVENT, nullptr, nullptr, &e), PF_Err_NONE);
    EXPECT_EQ(e.evt_out_flags, PF_EO_HANDLED_EVENT);
    EXPECT_EQ(h.platformQueries.front(), PF_PlatData_MAIN_WND);

    // PF_Cmd_ABOUT answers with the main-window query's result and an empty message.
    std::strcpy(h.out.return_msg, "left over");
    h.mainWindowResult = PF_Err_INVALID_CALLBACK;
    EXPECT_EQ(h.send(PF_Cmd_ABOUT), PF_Err_INVALID_CALLBACK);
    EXPECT_STREQ(h.out.return_msg, "");
    h.mainWindowResult = PF_Err_NONE;
    EXPECT_EQ(h.send(PF_Cmd_ABOUT), PF_Err_NONE);
    EXPECT_EQ(h.send(PF_Cmd_EVENT), PF_Err_NONE);  // no event record
    h.stop();
    EXPECT_TRUE(h.live.empty());
}

// ---- internal failures: each in its own copy of the module, which asks the host once ----------

namespace {

struct ErrorDir {
    std::filesystem::path dir;
    explicit ErrorDir(const std::string& tag)
        : dir(std::filesystem::temp_directory_path() / ("kl_host_errors_" + std::to_string(getpid()) + tag)) {
        setenv("KILN_ERROR_DIR", dir.c_str(), 1);
    }
    ~ErrorDir() {
        unsetenv("KILN_ERROR_DIR");
        std::filesystem::remove_all(dir);
    }
};

}  // namespace

TEST(HostModule, InternalFailureWithoutUserInterface) {
    ErrorDir errors("headless");
    const Module copy = loadCopy("headless");
    ASSERT_NE(copy.entry, nullptr);
    Host h(copy);
    h.headless = true;
    h.start();
    World output = World::filled(8, 8, 8, 0, 0xCD);
    // A render without its parameter array: an internal failure.
    for (int attempt = 0; attempt < 2; ++attempt) {
        h.out = PF_OutData{};
        EXPECT_EQ(h.send(PF_Cmd_RENDER, nullptr, &output.world), Kiln::AfterEffects::kHeadlessFailure);
        const std::string message = h.out.return_msg;
        EXPECT_EQ(message.rfind("Q_Watchcam failed.\n\n", 0), 0u) << message;
        EXPECT_NE(message.find("See "), std::string::npos) << message;
        EXPECT_TRUE(h.out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    }
    EXPECT_EQ(h.appSuiteAcquires, 1) << "the host is asked once";
    EXPECT_TRUE(std::filesystem::exists(errors.dir / "AfterEffects" / "Q_Watchcam.log"));
    h.stop();
    EXPECT_TRUE(h.live.empty());
}

TEST(HostModule, InternalFailureWithUserInterface) {
    ErrorDir errors("ui");
    const Module copy = loadCopy("ui");
    ASSERT_NE(copy.entry, nullptr);
    Host h(copy);
    h.headless = false;
    h.start();
    World output = World::filled(8, 8, 8, 0, 0xCD);
    testing::internal::CaptureStderr();
    const A_long result = h.send(PF_Cmd_RENDER, nullptr, &output.world);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, PF_Err_NONE);
    EXPECT_EQ(err.rfind("Kiln Internal Error\nQ_Watchcam failed.\n\n", 0), 0u) << err;
    EXPECT_EQ(std::string(h.out.return_msg).rfind("Q_Watchcam failed.\n\n", 0), 0u);
    EXPECT_TRUE(h.out.out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    h.stop();
    EXPECT_TRUE(h.live.empty());
}
