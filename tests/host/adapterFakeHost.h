#pragma once
// A host in a test: the records of one call with every control at its default, and callbacks that
// count what the adapter asks for (checkouts and check-ins, suites, PF_UpdateParamUI, keyframes).
//
// The layer (index 0) at frame f is a 4 x 3 world whose every channel holds f (8 bits) or f × 100
// (16 bits) or f / 100 (float); other controls checked out at another time are the current record,
// passed through `atTime` when set.
#include "effect/klWatchcamControls.h"
#include "host/klAEParamDecl.h"
#include "sdk/klHostAPI.h"

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace AdapterTest {

struct LayerWorld {
    std::vector<uint8_t> memory;
    PF_EffectWorld world{};

    // depth 8, 16 or 32 (float)
    static std::unique_ptr<LayerWorld> make(int width, int height, int depth, double frame) {
        auto w = std::make_unique<LayerWorld>();
        const int bytes = depth == 8 ? 4 : depth == 16 ? 8 : 16;
        w->world.width = width;
        w->world.height = height;
        w->world.rowbytes = width * bytes + 8;
        w->memory.assign(size_t(w->world.rowbytes) * height, 0);
        w->world.data = w->memory.data();
        w->world.world_flags = depth == 16 ? PF_WorldFlag_DEEP : 0;
        w->world.pixel_format = depth == 8 ? PF_PixelFormat_ARGB32 : depth == 16 ? PF_PixelFormat_ARGB64
                                                                                  : PF_PixelFormat_ARGB128;
        for (int y = 0; y < height; ++y) {
            uint8_t* row = w->memory.data() + size_t(y) * w->world.rowbytes;
            for (int i = 0; i < width * 4; ++i) {
                if (depth == 8) row[i] = uint8_t(frame);
                if (depth == 16) reinterpret_cast<uint16_t*>(row)[i] = uint16_t(frame * 100);
                if (depth == 32) reinterpret_cast<float*>(row)[i] = float(frame / 100.0);
            }
        }
        return w;
    }
};

class FakeHost;
inline FakeHost* gFake = nullptr;

class FakeHost {
public:
    PF_InData in{};
    PF_OutData out{};
    PF_UtilCallbacks utils{};
    SPBasicSuite basic{};
    std::vector<PF_ParamDef> records;
    std::vector<PF_ParamDef*> params;
    std::unique_ptr<LayerWorld> layer;
    int depth = 8;

    // --- checkouts ---
    int checkouts = 0, checkins = 0;
    std::vector<std::pair<PF_ParamIndex, A_long>> checkoutLog;  // index, host time
    PF_Err checkoutError = PF_Err_NONE;
    bool layerWithoutPixels = false;
    PF_PixelFormat layerFormat = 0;  // 0: the world's own
    std::function<void(PF_ParamIndex, double frame, PF_ParamDef&)> atTime;
    std::map<A_long, std::unique_ptr<LayerWorld>> checkedOutLayers;
    std::set<A_long> outstanding;

    // --- suites ---
    bool streamSuite = true, paramUtilsSuite = true, worldSuite = true;
    int acquired = 0, released = 0;
    std::vector<PF_ParamIndex> uiUpdates;
    std::vector<A_long> uiFlagsSeen;
    std::map<PF_ParamIndex, std::vector<A_long>> keys;  // host times
    std::vector<std::pair<PF_ParamIndex, A_long>> keysSet;

    // --- parameter set-up ---
    std::vector<PF_ParamDef> declared;
    int addParamFailAt = -1;  // the add_param call (0-based) that fails
    PF_Err addParamError = PF_Err_OUT_OF_MEMORY;

    // --- abort ---
    bool interrupt = false;

    explicit FakeHost(int layerDepth = 8) : depth(layerDepth) {
        gFake = this;
        in.effect_ref = reinterpret_cast<PF_ProgPtr>(this);
        in.inter.checkout_param = &checkoutParam;
        in.inter.checkin_param = &checkinParam;
        in.inter.add_param = &addParam;
        in.inter.abort = &abortCheck;
        in.inter.progress = &progress;
        in.utils = &utils;
        basic.AcquireSuite = &acquireSuite;
        basic.ReleaseSuite = &releaseSuite;
        in.pica_basicP = &basic;
        in.quality = PF_Quality_HI;
        in.version = {13, 28};
        in.num_params = Kiln::Watchcam::kControlCount;
        in.time_step = 100;
        in.time_scale = 2500;
        in.current_time = 500;  // frame 5
        in.total_time = 100 * 100;  // 100 frames
        in.downsample_x = {1, 1};
        in.downsample_y = {1, 1};
        in.pixel_aspect_ratio = {1, 1};
        in.width = 4;
        in.height = 3;

        layer = LayerWorld::make(4, 3, depth, 5.0);
        records.resize(Kiln::Watchcam::kControlCount);
        for (const auto& c : Kiln::Watchcam::kControls)
            records[size_t(c.index)] = Kiln::AfterEffects::controlDefinition(c, 300, 50);
        records[0].u.ld = layer->world;
        for (auto& r : records) params.push_back(&r);
    }
    ~FakeHost() { gFake = nullptr; }
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    PF_ParamDef** array() { return params.data(); }
    PF_ParamDef& at(int index) { return records[size_t(index)]; }
    int live() const { return checkouts - checkins; }
    void setFrame(double frame) { in.current_time = A_long(frame * in.time_step); }

    static FakeHost& of(PF_ProgPtr ref) { return *reinterpret_cast<FakeHost*>(ref); }

    static PF_Err checkoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long time, A_long step, A_u_long,
                                PF_ParamDef* def) {
        FakeHost& h = of(ref);
        h.checkoutLog.push_back({index, time});
        if (h.checkoutError != PF_Err_NONE) return h.checkoutError;
        if (index < 0 || index >= A_long(h.records.size())) return PF_Err_INVALID_INDEX;
        const double frame = step ? double(time) / step : 0.0;
        *def = h.records[size_t(index)];
        if (index == 0) {
            auto world = LayerWorld::make(4, 3, h.depth, frame);
            if (h.layerFormat) world->world.pixel_format = h.layerFormat;
            if (h.layerWithoutPixels) world->world.data = nullptr;
            def->u.ld = world->world;
            h.checkedOutLayers[h.checkouts] = std::move(world);
        } else if (h.atTime) {
            h.atTime(index, frame, *def);
        }
        def->uu_id = h.checkouts;
        h.outstanding.insert(h.checkouts);
        ++h.checkouts;
        return PF_Err_NONE;
    }
    static PF_Err checkinParam(PF_ProgPtr ref, PF_ParamDef* def) {
        FakeHost& h = of(ref);
        if (h.outstanding.erase(def->uu_id) == 0) return PF_Err_BAD_CALLBACK_PARAM;
        h.checkedOutLayers.erase(def->uu_id);
        ++h.checkins;
        return PF_Err_NONE;
    }
    static PF_Err addParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDef* def) {
        FakeHost& h = of(ref);
        if (index != -1) return PF_Err_INVALID_INDEX;
        if (int(h.declared.size()) == h.addParamFailAt) return h.addParamError;
        h.declared.push_back(*def);
        return PF_Err_NONE;
    }
    static PF_Err abortCheck(PF_ProgPtr ref) { return of(ref).interrupt ? PF_Interrupt_CANCEL : PF_Err_NONE; }
    static PF_Err progress(PF_ProgPtr ref, A_long, A_long) { return abortCheck(ref); }

    // Suites.
    static PF_Err getPixelFormat(const PF_EffectWorld* world, PF_PixelFormat* format) {
        *format = world->pixel_format;
        return PF_Err_NONE;
    }
    static PF_Err updateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef* def) {
        of(ref).uiUpdates.push_back(index);
        of(ref).uiFlagsSeen.push_back(def->ui_flags);
        return PF_Err_NONE;
    }
    static PF_Err getNumKeys(PF_ProgPtr ref, PF_ParamIndex index, A_long* n) {
        *n = A_long(of(ref).keys[index].size());
        return PF_Err_NONE;
    }
    static PF_Err getKeyTime(PF_ProgPtr ref, PF_ParamIndex index, A_long key, A_long* time, A_u_long* scale) {
        auto& k = of(ref).keys[index];
        if (key < 0 || key >= A_long(k.size())) return PF_Err_BAD_CALLBACK_PARAM;
        *time = k[size_t(key)];
        *scale = of(ref).in.time_scale;
        return PF_Err_NONE;
    }
    static PF_Err setKey(PF_ProgPtr ref, PF_ParamIndex index, A_long time, A_u_long) {
        of(ref).keysSet.push_back({index, time});
        of(ref).keys[index].push_back(time);
        return PF_Err_NONE;
    }
    static PF_Err deleteKey(PF_ProgPtr ref, PF_ParamIndex index, A_long key) {
        auto& k = of(ref).keys[index];
        if (key < 0 || key >= A_long(k.size())) return PF_Err_BAD_CALLBACK_PARAM;
        k.erase(k.begin() + key);
        return PF_Err_NONE;
    }
    static PF_Err deleteAllKeys(PF_ProgPtr ref, PF_ParamIndex index) {
        of(ref).keys[index].clear();
        return PF_Err_NONE;
    }

    static A_long acquireSuite(const char* name, A_long, const void** suite) {
        static const PF_WorldSuite2 worlds{nullptr, nullptr, &getPixelFormat};
        static const PF_ParamUtilsSuite1 utilsSuite{&updateParamUI};
        static const AEGP_StreamSuite1 streams{&getNumKeys, &getKeyTime, &setKey, &deleteKey, &deleteAllKeys};
        FakeHost& h = *gFake;
        *suite = nullptr;
        if (std::strcmp(name, kPFWorldSuite) == 0 && h.worldSuite) *suite = &worlds;
        if (std::strcmp(name, kPFParamUtilsSuite) == 0 && h.paramUtilsSuite) *suite = &utilsSuite;
        if (std::strcmp(name, kAEGPStreamSuite) == 0 && h.streamSuite) *suite = &streams;
        if (*suite == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        ++h.acquired;
        return PF_Err_NONE;
    }
    static A_long releaseSuite(const char*, A_long) {
        ++gFake->released;
        return PF_Err_NONE;
    }
};

}  // namespace AdapterTest
