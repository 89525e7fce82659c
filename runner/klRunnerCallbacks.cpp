// The C callback tables the substitute host hands a module: handles, platform data, ANSI helpers, the
// interact and smart-render callbacks and the suite broker with its suites.
#include "runner/klRunnerImpl.h"
#include "runner/klRunnerValues.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <set>
#include <unordered_map>

namespace Kiln::Runner {

namespace {

// ---- live hosts ----------------------------------------------------------------------------------
std::mutex g_hostsMutex;
std::set<Host::Impl*> g_hosts;
thread_local Host::Impl* t_current = nullptr;
// Calls are served one at a time per module; a module's worker thread asking for memory during a call
// finds the host here.
std::atomic<Host::Impl*> g_lastCurrent{nullptr};
// The host that served the latest call: misuse of a handle between calls is counted there.
std::atomic<Host::Impl*> g_lastServed{nullptr};

Host::Impl* currentHost()
{
    if (t_current) return t_current;
    return g_lastCurrent.load();
}

// ---- handles -------------------------------------------------------------------------------------
// A handle is the address of a slot holding the block's address (PF_Handle is void**).
struct HandleRecord {
    Host::Impl* owner;
    uint64_t size;
    int locks;
};
std::mutex g_handleMutex;
std::unordered_map<PF_Handle, HandleRecord> g_handles;

// A disposed handle's slot is not reused for the next few thousand handles, so a module holding on to a
// handle it disposed of finds it unknown rather than someone else's. Called with g_handleMutex held.
// (A plain array: it outlives every host and keeps the retired slots reachable to the end.)
void** g_retiredSlots[4096];
size_t g_nextRetired = 0;
void retireSlot(PF_Handle h)
{
    void**& place = g_retiredSlots[g_nextRetired];
    g_nextRetired = (g_nextRetired + 1) % std::size(g_retiredSlots);
    delete place;
    place = reinterpret_cast<void**>(h);
}

void freeHandle(PF_Handle h)
{
    std::free(*h);
    retireSlot(h);
}

PF_Handle hostNewHandle(uint64_t size)
{
    Host::Impl* owner = currentHost();
    if (!owner) return nullptr;
    long budget = owner->allocationBudget.load();
    while (budget >= 0) {
        if (budget == 0) return nullptr;
        if (owner->allocationBudget.compare_exchange_weak(budget, budget - 1)) break;
    }
    if (size > (uint64_t(1) << 40)) return nullptr;
    // The host API does not promise a cleared handle: a kept block comes as its last owner left it.
    void* block = owner->kept.takeBlock(size_t(size));
    if (!block) block = std::malloc(size ? size_t(size) : 1);
    if (!block) return nullptr;
    // A new slot each time: a handle disposed of stays unknown even when its block is handed out again.
    auto* slot = new (std::nothrow) void*(block);
    if (!slot) {
        owner->kept.keepBlock(block, size_t(size));
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(g_handleMutex);
        g_handles.emplace(slot, HandleRecord{owner, size, 0});
    }
    owner->liveHandles++;
    owner->handlesAllocated++;
    return slot;
}

// Called with g_handleMutex held, which unregisterHost also takes: the host cannot go meanwhile.
void badHandle()
{
    Host::Impl* h = currentHost();
    if (!h) h = g_lastServed.load();
    if (h) h->badCalls++;
}

void* hostLockHandle(PF_Handle h)
{
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = g_handles.find(h);
    if (it == g_handles.end()) {
        badHandle();
        return nullptr;
    }
    it->second.locks++;
    return *h;
}

void hostUnlockHandle(PF_Handle h)
{
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = g_handles.find(h);
    if (it == g_handles.end()) {
        badHandle();
        return;
    }
    if (it->second.locks > 0) it->second.locks--;
}

void hostDisposeHandle(PF_Handle h)
{
    Host::Impl* owner = nullptr;
    uint64_t size = 0;
    void* block = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_handleMutex);
        auto it = g_handles.find(h);
        if (it == g_handles.end()) {
            badHandle();
            return;
        }
        owner = it->second.owner;
        size = it->second.size;
        block = *h;
        g_handles.erase(it);
        retireSlot(h);
    }
    owner->liveHandles--;
    owner->kept.keepBlock(block, size_t(size));
}

uint64_t hostGetHandleSize(PF_Handle h)
{
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = g_handles.find(h);
    if (it == g_handles.end()) {
        badHandle();
        return 0;
    }
    return it->second.size;
}

// ---- utilities -----------------------------------------------------------------------------------
PF_Err getPlatformData(PF_ProgPtr ref, A_long which, void* data)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h || !data) return PF_Err_BAD_CALLBACK_PARAM;
    switch (which) {
    case PF_PlatData_MAIN_WND:
        // No window of our own: headless or not, there is nothing to own a dialog.
        *static_cast<unsigned long*>(data) = 0;
        return PF_Err_NONE;
    case PF_PlatData_RES_FILE_PATH: {
        char* out = static_cast<char*>(data);
        const std::string& path = h->module.path();
        const size_t n = std::min(path.size(), size_t(259));
        std::memcpy(out, path.data(), n);
        out[n] = '\0';
        return PF_Err_NONE;
    }
    case PF_PlatData_INSTANCE: *static_cast<void**>(data) = h->module.dlHandle(); return PF_Err_NONE;
    default: return PF_Err_BAD_CALLBACK_PARAM;
    }
}

int ansiSprintf(char* buffer, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vsprintf(buffer, format, args);
    va_end(args);
    return n;
}

char* ansiStrcpy(char* dest, const char* src) { return std::strcpy(dest, src); }

PF_Err getDrawingReference(PF_ProgPtr ref, void*, PF_EffectWorld** canvas)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h || !canvas) return PF_Err_BAD_CALLBACK_PARAM;
    if (!h->canvas) {
        *canvas = nullptr;
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    *canvas = &h->canvas->world;
    return PF_Err_NONE;
}

// ---- interact callbacks --------------------------------------------------------------------------
PF_Err checkoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long time, A_long, A_u_long scale,
                     PF_ParamDef* param)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h || !param || scale == 0) return PF_Err_BAD_CALLBACK_PARAM;
    if (index < 0 || index >= PF_ParamIndex(h->controls.size())) {
        h->badCalls++;
        return PF_Err_INVALID_INDEX;
    }
    const double frame = h->frameOfTime(time, scale);
    std::unique_ptr<HostWorld> world;
    if (index == 0) {
        try {
            world = h->layerWorld(frame, h->depth);
        } catch (...) {
            return h->failWithCurrentException();
        }
    }
    std::vector<PF_ParamDef> one = h->paramsAt(frame, world ? &world->world : nullptr);
    *param = one[size_t(index)];
    param->uu_id = h->nextTicket++;
    h->paramCheckouts.emplace(param->uu_id, std::move(world));
    h->liveParamCheckouts++;
    return PF_Err_NONE;
}

PF_Err checkinParam(PF_ProgPtr ref, PF_ParamDef* param)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h || !param) return PF_Err_BAD_CALLBACK_PARAM;
    auto it = h->paramCheckouts.find(param->uu_id);
    if (it == h->paramCheckouts.end()) {
        h->badCalls++;
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    h->paramCheckouts.erase(it);
    h->liveParamCheckouts--;
    return PF_Err_NONE;
}

PF_Err addParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDef* def)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h || !def) return PF_Err_BAD_CALLBACK_PARAM;
    if (!h->declaring) {
        h->fail(h->who() + " called add_param outside PF_Cmd_PARAMS_SETUP");
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    if (index != -1 && index != PF_ParamIndex(h->controls.size())) {
        h->fail(h->who() + " added a parameter at index " + std::to_string(index) + " where " +
                std::to_string(h->controls.size()) + " was next");
        return PF_Err_INVALID_INDEX;
    }
    try {
        h->declare(*def);
    } catch (const std::bad_alloc&) {
        return PF_Err_OUT_OF_MEMORY;
    } catch (const std::exception& e) {
        h->fail(e.what());
        return PF_Err_UNRECOGNIZED_PARAM_TYPE;
    }
    return PF_Err_NONE;
}

PF_Err answerAbort(Host::Impl* h)
{
    if (h->abortRequested.load(std::memory_order_relaxed)) {
        h->cancelAnswered = true;
        return PF_Interrupt_CANCEL;
    }
    return PF_Err_NONE;
}

PF_Err abortCheck(PF_ProgPtr ref)
{
    Host::Impl* h = hostOfRef(ref);
    return h ? answerAbort(h) : PF_Err_BAD_CALLBACK_PARAM;
}

PF_Err progress(PF_ProgPtr ref, A_long, A_long)
{
    Host::Impl* h = hostOfRef(ref);
    return h ? answerAbort(h) : PF_Err_BAD_CALLBACK_PARAM;
}

// ---- smart render --------------------------------------------------------------------------------
PF_Err checkoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long id, const PF_RenderRequest* request,
                     A_long time, A_long, A_u_long scale, PF_CheckoutResult* result)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h || !result || scale == 0) return PF_Err_BAD_CALLBACK_PARAM;
    if (h->phase != Host::Impl::Phase::PreRender || index != 0) {
        h->badCalls++;
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    // The layer gives what was asked for as far as it reaches; without a request, all of it.
    const PF_LRect whole{0, 0, h->settings.width, h->settings.height};
    PF_LRect rect = whole;
    if (request) {
        rect = PF_LRect{std::max(request->rect.left, whole.left), std::max(request->rect.top, whole.top),
                        std::min(request->rect.right, whole.right),
                        std::min(request->rect.bottom, whole.bottom)};
        if (rect.left >= rect.right || rect.top >= rect.bottom) rect = PF_LRect{};
    }
    h->layerRequests[id] = Host::Impl::LayerRequest{h->frameOfTime(time, scale), rect};
    *result = PF_CheckoutResult{};
    result->result_rect = rect;
    result->max_result_rect = whole;
    result->par = toRational(h->settings.pixelAspect);
    result->ref_width = h->settings.width;
    result->ref_height = h->settings.height;
    return PF_Err_NONE;
}

PF_Err checkoutLayerPixels(PF_ProgPtr ref, A_long id, PF_EffectWorld** pixels)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h || !pixels) return PF_Err_BAD_CALLBACK_PARAM;
    *pixels = nullptr;
    auto request = h->layerRequests.find(id);
    if (h->phase != Host::Impl::Phase::SmartRender || request == h->layerRequests.end()) {
        h->badCalls++;
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    Host::Impl::LayerPixels& lp = h->layerPixels[id];
    if (!lp.world) {
        try {
            lp.world = h->layerWorld(request->second.frame, h->depth);
            // A view of the part asked for, placed where it lies in the layer.
            const PF_LRect& r = request->second.rect;
            PF_EffectWorld& w = lp.world->world;
            w.data = static_cast<uint8_t*>(w.data) + size_t(r.top) * size_t(w.rowbytes) +
                     size_t(r.left) * bytesPerPixel(h->depth);
            w.width = r.right - r.left;
            w.height = r.bottom - r.top;
            w.origin_x = r.left;
            w.origin_y = r.top;
            w.extent_hint = r;
        } catch (...) {
            h->layerPixels.erase(id);
            return h->failWithCurrentException();
        }
    }
    lp.outstanding++;
    h->liveLayerCheckouts++;
    *pixels = &lp.world->world;
    return PF_Err_NONE;
}

PF_Err checkinLayerPixels(PF_ProgPtr ref, A_long id)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h) return PF_Err_BAD_CALLBACK_PARAM;
    auto it = h->layerPixels.find(id);
    if (it == h->layerPixels.end() || it->second.outstanding == 0) {
        h->badCalls++;
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    it->second.outstanding--;
    h->liveLayerCheckouts--;
    return PF_Err_NONE;
}

PF_Err checkoutOutput(PF_ProgPtr ref, PF_EffectWorld** output)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h || !output) return PF_Err_BAD_CALLBACK_PARAM;
    if (h->phase != Host::Impl::Phase::SmartRender || !h->output) {
        *output = nullptr;
        h->badCalls++;
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    *output = h->output;
    return PF_Err_NONE;
}

// ---- suites --------------------------------------------------------------------------------------
PF_Err newWorld(PF_ProgPtr ref, A_long width, A_long height, PF_Boolean clear, PF_PixelFormat format,
                PF_EffectWorld* world)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h || !world || width <= 0 || height <= 0) return PF_Err_BAD_CALLBACK_PARAM;
    Depth d;
    if (format == PF_PixelFormat_ARGB32)
        d = Depth::Eight;
    else if (format == PF_PixelFormat_ARGB64)
        d = Depth::Sixteen;
    else if (format == PF_PixelFormat_ARGB128)
        d = Depth::Float;
    else
        return PF_Err_BAD_CALLBACK_PARAM;
    try {
        bool reused = false;
        Image pixels = h->kept.takeImage(width, height, d, &reused);
        if (clear && reused) std::memset(pixels.pixels.data(), 0, pixels.pixels.size());
        auto w = makeWorld(std::move(pixels), toRational(h->settings.pixelAspect));
        *world = w->world;
        h->newWorlds.emplace(w->world.data, std::move(w));
    } catch (const std::bad_alloc&) {
        return PF_Err_OUT_OF_MEMORY;
    } catch (const std::exception&) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    h->liveWorlds++;
    return PF_Err_NONE;
}

PF_Err disposeWorld(PF_ProgPtr ref, PF_EffectWorld* world)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h || !world) return PF_Err_BAD_CALLBACK_PARAM;
    auto it = h->newWorlds.find(world->data);
    if (it == h->newWorlds.end()) {
        h->badCalls++;
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    h->kept.keepImage(std::move(it->second->image));
    h->newWorlds.erase(it);
    *world = PF_EffectWorld{};
    h->liveWorlds--;
    return PF_Err_NONE;
}

PF_Err getPixelFormat(const PF_EffectWorld* world, PF_PixelFormat* format)
{
    if (!world || !format) return PF_Err_BAD_CALLBACK_PARAM;
    Host::Impl* h = currentHost();
    *format = h && h->reportedFormat ? h->reportedFormat : world->pixel_format;
    return PF_Err_NONE;
}

PF_Err updateParamUI(PF_ProgPtr ref, PF_ParamIndex index, const PF_ParamDef* def)
{
    Host::Impl* h = hostOfRef(ref);
    if (!h || !def) return PF_Err_BAD_CALLBACK_PARAM;
    if (index <= 0 || index >= PF_ParamIndex(h->controls.size()) ||
        def->param_type != h->controls[size_t(index)].type) {
        h->badCalls++;
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    h->controls[size_t(index)].uiFlags = def->ui_flags;
    h->adoptValue(index, *def, h->frame);
    return PF_Err_NONE;
}

PF_Err isHeadless(PF_Boolean* headless)
{
    if (!headless) return PF_Err_BAD_CALLBACK_PARAM;
    Host::Impl* h = currentHost();
    *headless = !h || h->headless ? 1 : 0;
    return PF_Err_NONE;
}

// Keyframe suite over the host's controls. Key indexes are 0-based.
ControlState* keyedControl(Host::Impl* h, PF_ParamIndex index)
{
    if (!h || index <= 0 || index >= PF_ParamIndex(h->controls.size()) ||
        !hasValue(h->controls[size_t(index)].type))
        return nullptr;
    return &h->states[size_t(index)];
}

PF_Err getNumKeys(PF_ProgPtr ref, PF_ParamIndex index, A_long* n)
{
    Host::Impl* h = hostOfRef(ref);
    ControlState* c = keyedControl(h, index);
    if (!c || !n) return PF_Err_BAD_CALLBACK_PARAM;
    *n = A_long(c->keys.size());
    return PF_Err_NONE;
}

PF_Err getKeyTime(PF_ProgPtr ref, PF_ParamIndex index, A_long key, A_long* time, A_u_long* scale)
{
    Host::Impl* h = hostOfRef(ref);
    ControlState* c = keyedControl(h, index);
    if (!c || !time || !scale || key < 0 || key >= A_long(c->keys.size())) return PF_Err_BAD_CALLBACK_PARAM;
    *time = A_long(std::llround(c->keys[size_t(key)].first * h->settings.timeStep));
    *scale = A_u_long(h->settings.timeScale);
    return PF_Err_NONE;
}

PF_Err setKey(PF_ProgPtr ref, PF_ParamIndex index, A_long time, A_u_long scale)
{
    Host::Impl* h = hostOfRef(ref);
    ControlState* c = keyedControl(h, index);
    if (!c || scale == 0 || !h->controls[size_t(index)].animatable()) return PF_Err_BAD_CALLBACK_PARAM;
    const double frame = h->frameOfTime(time, scale);
    const ParamValue v = h->valueAt(index, frame);
    auto at = std::find_if(c->keys.begin(), c->keys.end(),
                           [&](const Keyframe& k) { return k.first >= frame - 1e-9; });
    if (at != c->keys.end() && std::fabs(at->first - frame) <= 1e-9)
        at->second = v;
    else
        c->keys.insert(at, Keyframe{frame, v});
    return PF_Err_NONE;
}

PF_Err deleteKey(PF_ProgPtr ref, PF_ParamIndex index, A_long key)
{
    Host::Impl* h = hostOfRef(ref);
    ControlState* c = keyedControl(h, index);
    if (!c || key < 0 || key >= A_long(c->keys.size())) return PF_Err_BAD_CALLBACK_PARAM;
    if (c->keys.size() == 1) c->value = c->keys.front().second;  // the last key's value stays
    c->keys.erase(c->keys.begin() + key);
    return PF_Err_NONE;
}

PF_Err deleteAllKeys(PF_ProgPtr ref, PF_ParamIndex index)
{
    Host::Impl* h = hostOfRef(ref);
    ControlState* c = keyedControl(h, index);
    if (!c) return PF_Err_BAD_CALLBACK_PARAM;
    c->value = h->valueAt(index, h->frame);
    c->keys.clear();
    return PF_Err_NONE;
}

const PF_WorldSuite2 kWorldSuite{newWorld, disposeWorld, getPixelFormat};
const PF_ParamUtilsSuite1 kParamUtilsSuite{updateParamUI};
const PF_AppSuite1 kAppSuite{isHeadless};
const AEGP_StreamSuite1 kStreamSuite{getNumKeys, getKeyTime, setKey, deleteKey, deleteAllKeys};

const void* findSuite(const char* name, A_long version)
{
    if (!name) return nullptr;
    struct Entry {
        const char* name;
        A_long version;
        const void* suite;
    };
    static const Entry entries[] = {{kPFWorldSuite, kPFWorldSuiteVersion2, &kWorldSuite},
                                    {kPFParamUtilsSuite, kPFParamUtilsSuiteVersion1, &kParamUtilsSuite},
                                    {kPFAppSuite, kPFAppSuiteVersion1, &kAppSuite},
                                    {kAEGPStreamSuite, kAEGPStreamSuiteVersion1, &kStreamSuite}};
    for (const Entry& e : entries)
        if (version == e.version && std::strcmp(name, e.name) == 0) return e.suite;
    return nullptr;
}

A_long acquireSuite(const char* name, A_long version, const void** suite)
{
    if (!suite) return PF_Err_BAD_CALLBACK_PARAM;
    *suite = findSuite(name, version);
    if (!*suite) return PF_Err_BAD_CALLBACK_PARAM;
    if (Host::Impl* h = currentHost()) h->suiteAcquires++;
    return PF_Err_NONE;
}

A_long releaseSuite(const char* name, A_long version)
{
    if (!findSuite(name, version)) return PF_Err_BAD_CALLBACK_PARAM;
    if (Host::Impl* h = currentHost()) h->suiteReleases++;
    return PF_Err_NONE;
}

}  // namespace

void registerHost(Host::Impl* impl)
{
    std::lock_guard<std::mutex> lock(g_hostsMutex);
    g_hosts.insert(impl);
}

void unregisterHost(Host::Impl* impl)
{
    {
        std::lock_guard<std::mutex> lock(g_hostsMutex);
        g_hosts.erase(impl);
    }
    std::lock_guard<std::mutex> lock(g_handleMutex);
    Host::Impl* expected = impl;
    g_lastCurrent.compare_exchange_strong(expected, nullptr);
    expected = impl;
    g_lastServed.compare_exchange_strong(expected, nullptr);
}

Host::Impl* hostOfRef(PF_ProgPtr ref)
{
    auto* impl = reinterpret_cast<Host::Impl*>(ref);
    std::lock_guard<std::mutex> lock(g_hostsMutex);
    return g_hosts.count(impl) ? impl : nullptr;
}

CurrentHostScope::CurrentHostScope(Host::Impl* impl) : previous(t_current)
{
    t_current = impl;
    g_lastCurrent.store(impl);
    g_lastServed.store(impl);
}

CurrentHostScope::~CurrentHostScope()
{
    Host::Impl* mine = t_current;
    t_current = previous;
    g_lastCurrent.compare_exchange_strong(mine, previous);
}

void disposeHandlesOf(Host::Impl* impl)
{
    std::vector<PF_Handle> mine;
    {
        std::lock_guard<std::mutex> lock(g_handleMutex);
        for (auto it = g_handles.begin(); it != g_handles.end();) {
            if (it->second.owner == impl) {
                mine.push_back(it->first);
                it = g_handles.erase(it);
            } else {
                ++it;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(g_handleMutex);
        for (PF_Handle h : mine) freeHandle(h);
    }
    impl->liveHandles -= long(mine.size());
}

std::vector<uint8_t> handleBytes(PF_Handle handle)
{
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = g_handles.find(handle);
    if (it == g_handles.end()) return {};
    const auto* p = static_cast<const uint8_t*>(*handle);
    return std::vector<uint8_t>(p, p + it->second.size);
}

void installCallbacks(Host::Impl& impl)
{
    impl.inter = PF_InteractCallbacks{checkoutParam, checkinParam, addParam, abortCheck, progress};
    impl.utils = PF_UtilCallbacks{};
    impl.utils.host_new_handle = hostNewHandle;
    impl.utils.host_lock_handle = hostLockHandle;
    impl.utils.host_unlock_handle = hostUnlockHandle;
    impl.utils.host_dispose_handle = hostDisposeHandle;
    impl.utils.host_get_handle_size = hostGetHandleSize;
    impl.utils.get_platform_data = getPlatformData;
    impl.utils.ansi.sprintf = ansiSprintf;
    impl.utils.ansi.strcpy = ansiStrcpy;
    impl.utils.get_drawing_reference = getDrawingReference;
    impl.basic = SPBasicSuite{acquireSuite, releaseSuite};
}

// The smart-render callback tables are fixed; the host hands out pointers to these.
PF_PreRenderCallbacks* preRenderCallbacks()
{
    static PF_PreRenderCallbacks cb{checkoutLayer};
    return &cb;
}

PF_SmartRenderCallbacks* smartRenderCallbacks()
{
    static PF_SmartRenderCallbacks cb{checkoutLayerPixels, checkinLayerPixels, checkoutOutput};
    return &cb;
}

}  // namespace Kiln::Runner
