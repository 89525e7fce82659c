#pragma once
// A minimal host for the module tests: loads the built module with dlopen and calls `main`
// directly with records it owns. It tracks every handle, checkout and suite so that tests can
// prove the module gives everything back.
//
// Handle and suite callbacks carry no context, so each of the two host slots (0 and 1) has its
// own set of callback functions; the other callbacks find their host through effect_ref.
#include "sdk/klHostAPI.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace KlTest {

// A loaded copy of the module. Copies (loadCopy) have their own process-wide state.
struct Module {
    void* handle = nullptr;
    PF_EntryFunc entry = nullptr;
    const KlRegistration* registration = nullptr;
    std::string path;
};
// The module as built (loaded once per process).
const Module& builtModule();
// A private copy of the module file, loaded under its own path.
Module loadCopy(const std::string& tag);
const char* builtModulePath();

// A host world with its own memory.
struct World {
    std::vector<uint8_t> memory;
    PF_EffectWorld world{};
    int bytesPerPixel = 4;

    // Depth 8, 16 or 32 (float); rows padded by `padding` bytes. Filled with a fixed pattern
    // derived from `seed` (16-bit channels within 0..32768, float channels within 0..1).
    static World make(int width, int height, int depth, int padding, uint32_t seed);
    // Every byte set to `value`.
    static World filled(int width, int height, int depth, int padding, uint8_t value);
    const uint8_t* row(int y) const { return memory.data() + static_cast<size_t>(y) * world.rowbytes; }
};

struct HandleRecord {
    void* pointer = nullptr;  // first: the handle is the address of this field
    void* raw = nullptr;      // the allocation; `pointer` lies 8 bytes into it, off any 16-byte boundary
    uint64_t size = 0;
    int locks = 0;
};

class Host {
public:
    explicit Host(const Module& module, int slot = 0);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    A_long send(PF_Cmd cmd, PF_ParamDef** params = nullptr, PF_LayerDef* output = nullptr, void* extra = nullptr);
    // Any command code, passed as the plain 32-bit integer the C interface carries.
    A_long sendRaw(int32_t cmd, PF_ParamDef** params = nullptr, PF_LayerDef* output = nullptr,
                   void* extra = nullptr);

    // Global set-up, parameter set-up and sequence set-up, expecting success.
    void start();
    // Sequence set-down and global set-down.
    void stop();

    // Records of the calls.
    PF_InData in{};
    PF_OutData out{};
    PF_UtilCallbacks utils{};
    SPBasicSuite basic{};

    // --- handles ---
    std::map<PF_Handle, std::unique_ptr<HandleRecord>> live;
    long allocated = 0;
    long disposed = 0;
    long failAfter = -1;  // new handles fail after this many more successes; negative: never
    const HandleRecord* record(PF_Handle h) const;

    // --- suites ---
    bool worldSuiteAvailable = true;
    bool releaseFails = false;
    bool headless = true;
    PF_PixelFormat reportedFormat = 0;  // 0: each world's own
    int acquires = 0, releases = 0, appSuiteAcquires = 0;  // acquires: suites granted

    // --- platform data and callbacks ---
    std::string resourcePath = "/opt/kiln/Q_Watchcam.so";
    void* instance = reinterpret_cast<void*>(0x1234);
    PF_Err mainWindowResult = PF_Err_NONE;
    std::vector<A_long> platformQueries;
    std::vector<PF_ParamDef> declared;  // index i - 1 holds control i; checkout_param answers from here
    int paramCheckouts = 0, paramCheckins = 0;
    bool interrupt = false;
    PF_EffectWorld* canvas = nullptr;

    // --- smart render ---
    World* layer = nullptr;   // the input layer
    World* output = nullptr;  // the output world
    int layerCheckouts = 0, layerCheckins = 0, outputCheckouts = 0, preRenderCheckouts = 0;
    PF_RenderRequest lastRequest{};
    A_long lastCheckoutTime = -1;
    std::function<void()> duringCheckout;  // runs inside checkout_layer_pixels

    PF_PreRenderCallbacks preCallbacks{};
    PF_SmartRenderCallbacks smartCallbacks{};

    int slot() const { return slot_; }
    const Module& module() const { return module_; }

private:
    const Module& module_;
    int slot_;
};

}  // namespace KlTest
