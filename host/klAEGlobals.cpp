#include "host/klAEGlobals.h"

#include "host/klAEHeldFrames.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace Kiln::AfterEffects {

const ProductInfo productInfo = {
    "Halcyon4",
    2,
    1,
    {0, 0, 0, 1, 0, 3, 0, 0, 0},
    "v5",
    nullptr,
    "Halcyon 4",
    "Q_Watchcam",
    nullptr,  // the live module instance is moduleInstance()
    {"Security camera and worn monitor look", "Halcyon 4 effect family", ""},
};

int32_t decodeBuild(const char* build)
{
    if (build == nullptr) return 0;
    char digits[32] = {};
    for (size_t i = 0; i + 1 < sizeof(digits) && build[i] != '\0'; ++i) {
        switch (build[i]) {
        case 'v': digits[i] = '0'; break;
        case 'b': digits[i] = '1'; break;
        case 'a': digits[i] = '2'; break;
        case 'd': digits[i] = '3'; break;
        default: digits[i] = build[i]; break;
        }
    }
    return static_cast<int32_t>(std::strtol(digits, nullptr, 10));
}

A_u_long makeVersion(int32_t major, int32_t minor, int32_t stage, int32_t build)
{
    const A_u_long mm = (static_cast<A_u_long>(major & 7) << 4) | static_cast<A_u_long>(minor & 15);
    return (static_cast<A_u_long>(build) & 0x1FF) | (static_cast<A_u_long>(stage & 3) << 9) | (mm << 15);
}

bool isObsoleteText(const char* loaded)
{
    if (loaded == nullptr || loaded[0] == '\0') return false;
    // As a 128-byte resource buffer holds it: at most 127 characters, the rest zero.
    char buffer[128] = {};
    std::memcpy(buffer, loaded, strnlen(loaded, sizeof(buffer) - 1));
    return std::memcmp(buffer, kNotObsolete, 28) != 0;
}

// ---- the in_data slot -------------------------------------------------------------------------

namespace {

// Per thread, so that commands served on different threads never see each other's record.
thread_local PF_InData* tCurrentInData = nullptr;

std::atomic<PF_Handle (*)(uint64_t)> gNewHandle{nullptr};
std::atomic<void* (*)(PF_Handle)> gLockHandle{nullptr};
std::atomic<void (*)(PF_Handle)> gUnlockHandle{nullptr};
std::atomic<void (*)(PF_Handle)> gDisposeHandle{nullptr};
std::atomic<uint64_t (*)(PF_Handle)> gHandleSize{nullptr};

std::atomic<void*> gModuleInstance{nullptr};

HandleCallbacks callbacksOf(const PF_UtilCallbacks& u)
{
    HandleCallbacks c;
    c.newHandle = u.host_new_handle;
    c.lock = u.host_lock_handle;
    c.unlock = u.host_unlock_handle;
    c.dispose = u.host_dispose_handle;
    c.size = u.host_get_handle_size;
    return c;
}

const PF_UtilCallbacks* utilsOf(const PF_InData* in_data) { return in_data ? in_data->utils : nullptr; }

}  // namespace

PF_InData* currentInData() { return tCurrentInData; }

HandleCallbacks handleCallbacks()
{
    if (const PF_UtilCallbacks* u = utilsOf(tCurrentInData)) return callbacksOf(*u);
    HandleCallbacks c;
    c.newHandle = gNewHandle.load();
    c.lock = gLockHandle.load();
    c.unlock = gUnlockHandle.load();
    c.dispose = gDisposeHandle.load();
    c.size = gHandleSize.load();
    return c;
}

static void cacheCallbacks(const PF_InData* in_data)
{
    if (const PF_UtilCallbacks* u = utilsOf(in_data)) {
        gNewHandle.store(u->host_new_handle);
        gLockHandle.store(u->host_lock_handle);
        gUnlockHandle.store(u->host_unlock_handle);
        gDisposeHandle.store(u->host_dispose_handle);
        gHandleSize.store(u->host_get_handle_size);
    }
}

InDataScope::InDataScope(PF_InData* in_data) : saved_(tCurrentInData)
{
    tCurrentInData = in_data;
    cacheCallbacks(in_data);
}

InDataScope::~InDataScope()
{
    tCurrentInData = saved_;
    // After a nested call the outer call's callbacks serve its worker threads again.
    cacheCallbacks(saved_);
}

void* moduleInstance() { return gModuleInstance.load(); }

void recordModuleInstance(void* instance)
{
    void* expected = nullptr;
    gModuleInstance.compare_exchange_strong(expected, instance);
}

// ---- handles ----------------------------------------------------------------------------------

PF_Handle newHandle(const PF_InData* in_data, uint64_t bytes)
{
    const PF_UtilCallbacks* u = utilsOf(in_data);
    return (u && u->host_new_handle) ? u->host_new_handle(bytes) : nullptr;
}

void* lockHandle(const PF_InData* in_data, PF_Handle h)
{
    const PF_UtilCallbacks* u = utilsOf(in_data);
    if (h == nullptr || u == nullptr) return nullptr;
    return u->host_lock_handle ? u->host_lock_handle(h) : *h;
}

void unlockHandle(const PF_InData* in_data, PF_Handle h)
{
    const PF_UtilCallbacks* u = utilsOf(in_data);
    if (h && u && u->host_unlock_handle) u->host_unlock_handle(h);
}

void disposeHandle(const PF_InData* in_data, PF_Handle h)
{
    const PF_UtilCallbacks* u = utilsOf(in_data);
    if (h && u && u->host_dispose_handle) u->host_dispose_handle(h);
}

uint64_t handleSize(const PF_InData* in_data, PF_Handle h, uint64_t fallback)
{
    const PF_UtilCallbacks* u = utilsOf(in_data);
    return (h && u && u->host_get_handle_size) ? u->host_get_handle_size(h) : fallback;
}

void setReturnMessage(PF_OutData* out_data, const char* text)
{
    if (out_data == nullptr) return;
    char* msg = out_data->return_msg;
    const size_t cap = sizeof(out_data->return_msg) - 1;
    const size_t n = text ? std::strlen(text) : 0;
    if (n <= cap) {
        if (n) std::memcpy(msg, text, n);
        msg[n] = '\0';
        return;
    }
    std::memcpy(msg, text, cap - 3);
    std::memcpy(msg + cap - 3, "...", 3);
    msg[cap] = '\0';
}

void showMessage(PF_OutData* out_data, const char* text)
{
    if (out_data == nullptr) return;
    setReturnMessage(out_data, text);
    out_data->out_flags |= PF_OutFlag_DISPLAY_ERROR_MESSAGE;
}

// ---- global data ------------------------------------------------------------------------------

PF_Err globalSetup(PF_InData* in_data, PF_OutData* out_data)
{
    if (in_data == nullptr || out_data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    out_data->my_version =
        makeVersion(productInfo.major, productInfo.minor, kReleaseStage, decodeBuild(productInfo.build));
    out_data->out_flags |= kGlobalOutFlags;
    out_data->out_flags2 |= kGlobalOutFlags2;

    PF_Handle h = newHandle(in_data, sizeof(GlobalData));
    if (h == nullptr) return PF_Err_OUT_OF_MEMORY;
    auto* g = static_cast<GlobalData*>(lockHandle(in_data, h));
    if (g == nullptr) {
        disposeHandle(in_data, h);
        return PF_Err_OUT_OF_MEMORY;
    }
    std::memset(g, 0, sizeof(GlobalData));

    PF_UtilCallbacks* u = in_data->utils;
    void* instance = nullptr;
    if (u->get_platform_data &&
        u->get_platform_data(in_data->effect_ref, PF_PlatData_INSTANCE, &instance) == PF_Err_NONE && instance)
        recordModuleInstance(instance);

    g->titleBitmap = klFindBitmap("IDB_TITLE");
    if (isObsoleteText(klLoadString(2))) out_data->out_flags |= PF_OutFlag_I_AM_OBSOLETE;

    out_data->global_data = h;
    in_data->global_data = h;
    if (u->get_platform_data)
        u->get_platform_data(in_data->effect_ref, PF_PlatData_RES_FILE_PATH, g->resourcePath);
    g->resourcePath[sizeof(g->resourcePath) - 1] = '\0';
    unlockHandle(in_data, h);
    return PF_Err_NONE;
}

PF_Err globalSetdown(PF_InData* in_data, PF_OutData* out_data)
{
    if (in_data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    // No composition-window overlay is ever installed, and the title bitmap is static data:
    // only the handle itself is the host's to take back.
    if (PF_Handle h = in_data->global_data) {
        if (auto* g = static_cast<GlobalData*>(lockHandle(in_data, h))) {
            g->titleBitmap = nullptr;
            unlockHandle(in_data, h);
        }
        disposeHandle(in_data, h);
    }
    if (out_data) out_data->global_data = nullptr;
    in_data->global_data = nullptr;
    return PF_Err_NONE;
}

const KlBitmap* titleBitmap(const PF_InData* in_data)
{
    PF_Handle h = in_data ? in_data->global_data : nullptr;
    if (h == nullptr || handleSize(in_data, h, sizeof(GlobalData)) < sizeof(GlobalData)) return nullptr;
    const auto* g = static_cast<const GlobalData*>(lockHandle(in_data, h));
    if (g == nullptr) return nullptr;
    const KlBitmap* b = g->titleBitmap;
    unlockHandle(in_data, h);
    return b;
}

void resourcePath(const PF_InData* in_data, char (&path)[260])
{
    path[0] = '\0';
    PF_Handle h = in_data ? in_data->global_data : nullptr;
    if (h == nullptr || handleSize(in_data, h, sizeof(GlobalData)) < sizeof(GlobalData)) return;
    const auto* g = static_cast<const GlobalData*>(lockHandle(in_data, h));
    if (g == nullptr) return;
    std::memcpy(path, g->resourcePath, sizeof(path));
    path[sizeof(path) - 1] = '\0';
    unlockHandle(in_data, h);
}

// ---- sequence data ----------------------------------------------------------------------------

namespace {

constexpr const char* kSequenceFailed = "Failed to set up sequence data";

// The state word of a sequence handle, -1 when there is none to read.
int32_t sequenceState(const PF_InData* in_data, PF_Handle h)
{
    if (h == nullptr || handleSize(in_data, h, sizeof(int32_t)) < sizeof(int32_t)) return -1;
    const auto* p = static_cast<const int32_t*>(lockHandle(in_data, h));
    if (p == nullptr) return -1;
    const int32_t state = *p;
    unlockHandle(in_data, h);
    return state;
}

bool isLiveBlock(const PF_InData* in_data, PF_Handle h)
{
    return sequenceState(in_data, h) == SequenceLive &&
           handleSize(in_data, h, sizeof(SequenceData)) >= sizeof(SequenceData);
}

// Releases the custom-UI objects a live block lists.
void releaseObjects(const PF_InData* in_data, PF_Handle h)
{
    auto* s = static_cast<SequenceData*>(lockHandle(in_data, h));
    if (s == nullptr) return;
    if (s->objects) {
        disposeHandle(in_data, s->objects);
        s->objects = nullptr;
    }
    unlockHandle(in_data, h);
}

// A new zeroed live block, or null.
PF_Handle newLiveBlock(const PF_InData* in_data)
{
    PF_Handle h = newHandle(in_data, sizeof(SequenceData));
    if (h == nullptr) return nullptr;
    auto* s = static_cast<SequenceData*>(lockHandle(in_data, h));
    if (s == nullptr) {
        disposeHandle(in_data, h);
        return nullptr;
    }
    std::memset(s, 0, sizeof(SequenceData));
    unlockHandle(in_data, h);
    return h;
}

void storeSequence(PF_InData* in_data, PF_OutData* out_data, PF_Handle h)
{
    out_data->sequence_data = h;
    in_data->sequence_data = h;
}

}  // namespace

PF_Err sequenceSetup(PF_InData* in_data, PF_OutData* out_data)
{
    if (in_data == nullptr || out_data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    if (PF_Handle old = in_data->sequence_data) {
        if (isLiveBlock(in_data, old)) releaseObjects(in_data, old);
        forgetHeldFrame(old);
        disposeHandle(in_data, old);
        storeSequence(in_data, out_data, nullptr);
    }
    PF_Handle h = newLiveBlock(in_data);
    if (h == nullptr) {
        showMessage(out_data, kSequenceFailed);
        return PF_Err_OUT_OF_MEMORY;
    }
    storeSequence(in_data, out_data, h);
    return PF_Err_NONE;
}

PF_Err sequenceResetup(PF_InData* in_data, PF_OutData* out_data)
{
    if (in_data == nullptr || out_data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    PF_Handle flat = in_data->sequence_data;
    if (flat == nullptr || sequenceState(in_data, flat) != SequenceFlat)
        return sequenceSetup(in_data, out_data);
    PF_Handle h = newLiveBlock(in_data);
    if (h == nullptr) {
        // The flat block stays, so the instance can be set up again later.
        showMessage(out_data, kSequenceFailed);
        return PF_Err_OUT_OF_MEMORY;
    }
    forgetHeldFrame(flat);
    disposeHandle(in_data, flat);
    storeSequence(in_data, out_data, h);
    return PF_Err_NONE;
}

PF_Err sequenceFlatten(PF_InData* in_data, PF_OutData* out_data)
{
    if (in_data == nullptr || out_data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    PF_Handle live = in_data->sequence_data;
    if (live == nullptr || !isLiveBlock(in_data, live)) return PF_Err_NONE;
    PF_Handle flat = newHandle(in_data, sizeof(FlatSequenceData));
    if (flat == nullptr) return PF_Err_OUT_OF_MEMORY;
    auto* f = static_cast<FlatSequenceData*>(lockHandle(in_data, flat));
    if (f == nullptr) {
        disposeHandle(in_data, flat);
        return PF_Err_OUT_OF_MEMORY;
    }
    f->state = SequenceFlat;
    releaseObjects(in_data, live);
    forgetHeldFrame(live);
    disposeHandle(in_data, live);
    storeSequence(in_data, out_data, flat);
    unlockHandle(in_data, flat);
    return PF_Err_NONE;
}

PF_Err sequenceSetdown(PF_InData* in_data, PF_OutData* out_data)
{
    if (in_data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    if (PF_Handle h = in_data->sequence_data) {
        if (isLiveBlock(in_data, h)) releaseObjects(in_data, h);
        forgetHeldFrame(h);
        // The block is the module's: nobody else disposes it once the instance is gone.
        disposeHandle(in_data, h);
    }
    if (out_data) out_data->sequence_data = nullptr;
    in_data->sequence_data = nullptr;
    return PF_Err_NONE;
}

}  // namespace Kiln::AfterEffects
