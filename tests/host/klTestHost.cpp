#include "tests/host/klTestHost.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace KlTest {

namespace {

Host* gHosts[2] = {nullptr, nullptr};
std::mutex gHandleMutex;  // the module's worker threads may take and give back memory

using RawEntry = PF_Err (*)(int32_t, PF_InData*, PF_OutData*, PF_ParamDef**, PF_LayerDef*, void*);

Host& hostOf(PF_ProgPtr ref) { return *reinterpret_cast<Host*>(ref); }

Module openModule(const std::string& path) {
    Module m;
    m.path = path;
    m.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m.handle == nullptr) {
        ADD_FAILURE() << "dlopen " << path << ": " << dlerror();
        return m;
    }
    m.entry = reinterpret_cast<PF_EntryFunc>(dlsym(m.handle, "main"));
    m.registration = static_cast<const KlRegistration*>(dlsym(m.handle, KL_REGISTRATION_SYMBOL));
    return m;
}

template <int Slot>
struct Callbacks {
    static Host& host() { return *gHosts[Slot]; }

    static PF_Handle newHandle(uint64_t size) {
        std::lock_guard<std::mutex> lock(gHandleMutex);
        Host& h = host();
        if (h.failAfter == 0) return nullptr;
        if (h.failAfter > 0) --h.failAfter;
        auto rec = std::make_unique<HandleRecord>();
        rec->raw = std::malloc(size + 8);
        rec->pointer = static_cast<char*>(rec->raw) + 8;
        rec->size = size;
        PF_Handle handle = reinterpret_cast<PF_Handle>(&rec->pointer);
        h.live[handle] = std::move(rec);
        ++h.allocated;
        return handle;
    }
    static HandleRecord* find(PF_Handle handle) {
        auto it = host().live.find(handle);
        return it == host().live.end() ? nullptr : it->second.get();
    }
    static void* lock(PF_Handle handle) {
        std::lock_guard<std::mutex> lock(gHandleMutex);
        HandleRecord* r = find(handle);
        if (r == nullptr) {
            ADD_FAILURE() << "lock of an unknown handle";
            return nullptr;
        }
        ++r->locks;
        return r->pointer;
    }
    static void unlock(PF_Handle handle) {
        std::lock_guard<std::mutex> lock(gHandleMutex);
        if (HandleRecord* r = find(handle)) {
            --r->locks;
        } else {
            ADD_FAILURE() << "unlock of an unknown handle";
        }
    }
    static void dispose(PF_Handle handle) {
        std::lock_guard<std::mutex> lock(gHandleMutex);
        HandleRecord* r = find(handle);
        if (r == nullptr) {
            ADD_FAILURE() << "dispose of an unknown handle";
            return;
        }
        std::free(r->raw);
        host().live.erase(handle);
        ++host().disposed;
    }
    static uint64_t size(PF_Handle handle) {
        std::lock_guard<std::mutex> lock(gHandleMutex);
        HandleRecord* r = find(handle);
        return r ? r->size : 0;
    }

    static PF_Err getPixelFormat(const PF_EffectWorld* world, PF_PixelFormat* format) {
        *format = host().reportedFormat ? host().reportedFormat : world->pixel_format;
        return PF_Err_NONE;
    }
    static PF_Err isHeadless(PF_Boolean* headless) {
        *headless = host().headless ? 1 : 0;
        return PF_Err_NONE;
    }
    static PF_Err updateParamUI(PF_ProgPtr, PF_ParamIndex, const PF_ParamDef*) { return PF_Err_NONE; }

    static inline PF_WorldSuite2 worldSuite{nullptr, nullptr, &getPixelFormat};
    static inline PF_AppSuite1 appSuite{&isHeadless};
    static inline PF_ParamUtilsSuite1 paramUtilsSuite{&updateParamUI};

    static A_long acquire(const char* name, A_long version, const void** suite) {
        Host& h = host();
        *suite = nullptr;
        if (std::strcmp(name, kPFWorldSuite) == 0 && version == kPFWorldSuiteVersion2 && h.worldSuiteAvailable)
            *suite = &worldSuite;
        else if (std::strcmp(name, kPFAppSuite) == 0 && version == kPFAppSuiteVersion1) {
            ++h.appSuiteAcquires;
            *suite = &appSuite;
        } else if (std::strcmp(name, kPFParamUtilsSuite) == 0 && version == kPFParamUtilsSuiteVersion1)
            *suite = &paramUtilsSuite;
        // Only a granted suite is owed a release.
        if (*suite == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
        ++h.acquires;
        return PF_Err_NONE;
    }
    static A_long release(const char*, A_long) {
        ++host().releases;
        return host().releaseFails ? PF_Err_BAD_CALLBACK_PARAM : PF_Err_NONE;
    }

    static void install(Host& h) {
        h.utils.host_new_handle = &newHandle;
        h.utils.host_lock_handle = &lock;
        h.utils.host_unlock_handle = &unlock;
        h.utils.host_dispose_handle = &dispose;
        h.utils.host_get_handle_size = &size;
        h.basic.AcquireSuite = &acquire;
        h.basic.ReleaseSuite = &release;
    }
};

// ---- callbacks that find their host through effect_ref -----------------------------------------

PF_Err getPlatformData(PF_ProgPtr ref, A_long which, void* data) {
    Host& h = hostOf(ref);
    h.platformQueries.push_back(which);
    switch (which) {
        case PF_PlatData_MAIN_WND:
            *static_cast<unsigned long*>(data) = 0;
            return h.mainWindowResult;
        case PF_PlatData_RES_FILE_PATH:
            std::snprintf(static_cast<char*>(data), 260, "%s", h.resourcePath.c_str());
            return PF_Err_NONE;
        case PF_PlatData_INSTANCE:
            *static_cast<void**>(data) = h.instance;
            return PF_Err_NONE;
        default:
            return PF_Err_BAD_CALLBACK_PARAM;
    }
}

int ansiSprintf(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsprintf(buffer, format, args);
    va_end(args);
    return n;
}
char* ansiStrcpy(char* dest, const char* src) { return std::strcpy(dest, src); }

PF_Err drawingReference(PF_ProgPtr ref, void*, PF_EffectWorld** canvas) {
    *canvas = hostOf(ref).canvas;
    return *canvas ? PF_Err_NONE : PF_Err_BAD_CALLBACK_PARAM;
}

PF_Err addParam(PF_ProgPtr ref, PF_ParamIndex, PF_ParamDef* def) {
    hostOf(ref).declared.push_back(*def);
    return PF_Err_NONE;
}
// Controls answer with their declared records (tests set values there); the layer with its world.
PF_Err checkoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long, A_long, A_u_long, PF_ParamDef* param) {
    Host& h = hostOf(ref);
    if (param == nullptr || index < 0 || static_cast<size_t>(index) > h.declared.size()) return PF_Err_BAD_CALLBACK_PARAM;
    if (index == 0) {
        *param = PF_ParamDef{};
        param->param_type = PF_Param_LAYER;
        if (h.layer) param->u.ld = h.layer->world;
    } else {
        *param = h.declared[static_cast<size_t>(index) - 1];
    }
    ++h.paramCheckouts;
    return PF_Err_NONE;
}
PF_Err checkinParam(PF_ProgPtr ref, PF_ParamDef*) {
    ++hostOf(ref).paramCheckins;
    return PF_Err_NONE;
}
PF_Err abortCheck(PF_ProgPtr ref) { return hostOf(ref).interrupt ? PF_Interrupt_CANCEL : PF_Err_NONE; }
PF_Err progress(PF_ProgPtr ref, A_long, A_long) { return abortCheck(ref); }

PF_Err checkoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long id, const PF_RenderRequest* request, A_long time,
                     A_long, A_u_long, PF_CheckoutResult* result) {
    Host& h = hostOf(ref);
    ++h.preRenderCheckouts;
    EXPECT_EQ(index, 0);
    EXPECT_EQ(id, 0);
    h.lastRequest = *request;
    h.lastCheckoutTime = time;
    const PF_LRect bounds{0, 0, h.layer ? h.layer->world.width : 0, h.layer ? h.layer->world.height : 0};
    result->result_rect = {std::max(request->rect.left, bounds.left), std::max(request->rect.top, bounds.top),
                           std::min(request->rect.right, bounds.right),
                           std::min(request->rect.bottom, bounds.bottom)};
    result->max_result_rect = bounds;
    return PF_Err_NONE;
}

PF_Err checkoutLayerPixels(PF_ProgPtr ref, A_long id, PF_EffectWorld** pixels) {
    Host& h = hostOf(ref);
    EXPECT_EQ(id, 0);
    ++h.layerCheckouts;
    if (h.duringCheckout) h.duringCheckout();
    *pixels = h.layer ? &h.layer->world : nullptr;
    return PF_Err_NONE;
}
PF_Err checkinLayerPixels(PF_ProgPtr ref, A_long) {
    ++hostOf(ref).layerCheckins;
    return PF_Err_NONE;
}
PF_Err checkoutOutput(PF_ProgPtr ref, PF_EffectWorld** output) {
    Host& h = hostOf(ref);
    ++h.outputCheckouts;
    *output = h.output ? &h.output->world : nullptr;
    return PF_Err_NONE;
}

uint32_t nextRandom(uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

}  // namespace

// ---- modules ----------------------------------------------------------------------------------

const char* builtModulePath() { return KL_TEST_MODULE; }

const Module& builtModule() {
    static const Module m = openModule(KL_TEST_MODULE);
    return m;
}

Module loadCopy(const std::string& tag) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("kl_host_test_" + std::to_string(getpid()) + "_" + tag);
    fs::create_directories(dir);
    const fs::path file = dir / "Q_Watchcam.so";
    fs::copy_file(KL_TEST_MODULE, file, fs::copy_options::overwrite_existing);
    return openModule(file.string());
}

// ---- worlds -----------------------------------------------------------------------------------

World World::make(int width, int height, int depth, int padding, uint32_t seed) {
    World w = filled(width, height, depth, padding, 0);
    uint32_t state = seed * 2654435761u + 1;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = w.memory.data() + static_cast<size_t>(y) * w.world.rowbytes;
        if (depth == 8) {
            for (int i = 0; i < w.world.rowbytes; ++i) row[i] = static_cast<uint8_t>(nextRandom(state));
        } else if (depth == 16) {
            auto* p = reinterpret_cast<uint16_t*>(row);
            for (int i = 0; i < width * 4; ++i) p[i] = static_cast<uint16_t>(nextRandom(state) % 32769);
            for (int i = width * 8; i < w.world.rowbytes; ++i) row[i] = static_cast<uint8_t>(nextRandom(state));
        } else {
            auto* p = reinterpret_cast<float*>(row);
            // Values outside 0..1 too: a pass-through must not clamp.
            for (int i = 0; i < width * 4; ++i) p[i] = static_cast<float>(nextRandom(state) % 3001) / 2000.0f - 0.25f;
            for (int i = width * 16; i < w.world.rowbytes; ++i) row[i] = static_cast<uint8_t>(nextRandom(state));
        }
    }
    return w;
}

World World::filled(int width, int height, int depth, int padding, uint8_t value) {
    World w;
    w.bytesPerPixel = depth == 8 ? 4 : depth == 16 ? 8 : 16;
    w.world.width = width;
    w.world.height = height;
    w.world.rowbytes = width * w.bytesPerPixel + padding;
    w.memory.assign(static_cast<size_t>(w.world.rowbytes) * height, value);
    w.world.data = w.memory.empty() ? nullptr : w.memory.data();
    w.world.world_flags = depth == 16 ? PF_WorldFlag_DEEP : 0;
    w.world.pixel_format = depth == 8    ? PF_PixelFormat_ARGB32
                           : depth == 16 ? PF_PixelFormat_ARGB64
                                         : PF_PixelFormat_ARGB128;
    w.world.extent_hint = {0, 0, width, height};
    w.world.pix_aspect_ratio = {1, 1};
    return w;
}

// ---- host -------------------------------------------------------------------------------------

Host::Host(const Module& module, int slot) : module_(module), slot_(slot) {
    if (gHosts[slot] != nullptr) ADD_FAILURE() << "host slot " << slot << " is taken";
    gHosts[slot] = this;
    if (slot == 0)
        Callbacks<0>::install(*this);
    else
        Callbacks<1>::install(*this);
    utils.get_platform_data = &getPlatformData;
    utils.ansi.sprintf = &ansiSprintf;
    utils.ansi.strcpy = &ansiStrcpy;
    utils.get_drawing_reference = &drawingReference;

    in.inter.checkout_param = &checkoutParam;
    in.inter.checkin_param = &checkinParam;
    in.inter.add_param = &addParam;
    in.inter.abort = &abortCheck;
    in.inter.progress = &progress;
    in.utils = &utils;
    in.effect_ref = reinterpret_cast<PF_ProgPtr>(this);
    in.quality = PF_Quality_HI;
    in.version = {13, 28};
    in.appl_id = KL_APPL_ID_HOST;
    in.num_params = 2;
    in.current_time = 300;
    in.time_step = 100;
    in.total_time = 2500;
    in.time_scale = 2500;
    in.downsample_x = in.downsample_y = in.pixel_aspect_ratio = {1, 1};
    in.pica_basicP = &basic;

    preCallbacks.checkout_layer = &checkoutLayer;
    smartCallbacks.checkout_layer_pixels = &checkoutLayerPixels;
    smartCallbacks.checkin_layer_pixels = &checkinLayerPixels;
    smartCallbacks.checkout_output = &checkoutOutput;
}

Host::~Host() {
    for (auto& [handle, rec] : live) std::free(rec->raw);
    gHosts[slot_] = nullptr;
}

const HandleRecord* Host::record(PF_Handle h) const {
    auto it = live.find(h);
    return it == live.end() ? nullptr : it->second.get();
}

A_long Host::send(PF_Cmd cmd, PF_ParamDef** params, PF_LayerDef* output, void* extra) {
    return sendRaw(static_cast<int32_t>(cmd), params, output, extra);
}

A_long Host::sendRaw(int32_t cmd, PF_ParamDef** params, PF_LayerDef* output, void* extra) {
    auto entry = reinterpret_cast<RawEntry>(module_.entry);
    return entry(cmd, &in, &out, params, output, extra);
}

void Host::start() {
    ASSERT_EQ(send(PF_Cmd_GLOBAL_SETUP), PF_Err_NONE);
    ASSERT_EQ(send(PF_Cmd_PARAMS_SETUP), PF_Err_NONE);
    in.num_params = out.num_params;  // later calls carry the declared count
    ASSERT_EQ(send(PF_Cmd_SEQUENCE_SETUP), PF_Err_NONE);
}

void Host::stop() {
    EXPECT_EQ(send(PF_Cmd_SEQUENCE_SETDOWN), PF_Err_NONE);
    EXPECT_EQ(send(PF_Cmd_GLOBAL_SETDOWN), PF_Err_NONE);
}

}  // namespace KlTest
