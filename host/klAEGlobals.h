#pragma once
// The module's identity and the data it keeps between host calls.
//
// - ProductInfo: static identity shared by the About box and the error report.
// - GlobalData: one host handle per loaded module, from global set-up to global set-down.
// - SequenceData: one host handle per effect instance; live while the instance is open,
//   flattened to a single state word when the host saves or copies it.
// - The in_data slot: the record of the command being served, so that host memory for
//   images can be taken without passing in_data down to the image layer.
//
// On 64-bit systems the fields that hold a handle or pointer are pointer-sized; the
// field order is kept. The flat sequence block, which projects store, keeps its exact
// 4-byte form.
#include "host/resources/klResources.h"
#include "sdk/klHostAPI.h"

#include <cstddef>
#include <cstdint>

namespace Kiln::AfterEffects {

struct ProductInfo {
    const char* familyId;
    int32_t major;
    int32_t minor;
    int32_t extra[9];
    const char* build;
    const void* reserved;
    const char* familyName;
    const char* effectName;
    const void* startup;
    const char* aboutText[3];
};
extern const ProductInfo productInfo;

// The release stage written into the version word.
inline constexpr int32_t kReleaseStage = 3;

// The build number of a build string: 'v' -> '0', 'b' -> '1', 'a' -> '2', 'd' -> '3', then a
// leading decimal number ("v5" gives 5, no number gives 0).
int32_t decodeBuild(const char* build);
// The host's version word: build & 0x1FF | stage << 9 | ((major & 7) << 4 | (minor & 15)) << 15.
A_u_long makeVersion(int32_t major, int32_t minor, int32_t stage, int32_t build);
// True when a loaded string-table entry 2 marks the module obsolete: the first 28 bytes (of at
// most 127 characters and the NUL) differ from the shipped sentence. Nothing loaded: false.
bool isObsoleteText(const char* loaded);
inline constexpr const char* kNotObsolete = "Lanternfly is not obsolete.";

inline constexpr A_long kGlobalOutFlags =
    PF_OutFlag_DEEP_COLOR_AWARE | PF_OutFlag_CUSTOM_UI | PF_OutFlag_USE_OUTPUT_EXTENT |
    PF_OutFlag_SEQUENCE_DATA_NEEDS_FLATTENING | PF_OutFlag_WIDE_TIME_INPUT | PF_OutFlag_KEEP_RESOURCE_OPEN;
inline constexpr A_long kGlobalOutFlags2 = PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE;
static_assert(kGlobalOutFlags == 0x02008053 && kGlobalOutFlags2 == 0x1400);

struct GlobalData {
    char resourcePath[260];
    const KlBitmap* titleBitmap;  // "IDB_TITLE", null when it could not be loaded
};

enum SequenceState : int32_t { SequenceLive = 0, SequenceFlat = 1 };

struct SequenceData {
    int32_t state;
    PF_Handle objects;  // the instance's custom-UI objects; this effect installs none
    int32_t reserved[3];
};
struct FlatSequenceData {
    int32_t state;
};
static_assert(sizeof(FlatSequenceData) == 4);
static_assert(offsetof(SequenceData, state) == 0 && offsetof(FlatSequenceData, state) == 0);

// ---- the in_data slot -------------------------------------------------------------------------

// The handle operations the module uses, from one callback table.
struct HandleCallbacks {
    PF_Handle (*newHandle)(uint64_t) = nullptr;
    void* (*lock)(PF_Handle) = nullptr;
    void (*unlock)(PF_Handle) = nullptr;
    void (*dispose)(PF_Handle) = nullptr;
    uint64_t (*size)(PF_Handle) = nullptr;
};

// The in_data of the command this thread is serving, nullptr between commands.
PF_InData* currentInData();
// The current in_data's handle callbacks, or else the copies taken from the last non-null
// in_data stored in or restored to the slot (the only ones a worker thread sees).
HandleCallbacks handleCallbacks();

// Stores in_data in the slot for the life of the scope and puts the previous value back
// afterwards, however the scope is left. Nested commands (the host calling back into the module
// while a command runs) thus each see their own record.
class InDataScope {
public:
    explicit InDataScope(PF_InData* in_data);
    ~InDataScope();
    InDataScope(const InDataScope&) = delete;
    InDataScope& operator=(const InDataScope&) = delete;

private:
    PF_InData* saved_;
};

// The module instance the host reported at the first global set-up (written once).
void* moduleInstance();
void recordModuleInstance(void* instance);

// ---- handle helpers over one in_data (null callbacks or handles give null / nothing) -----------
PF_Handle newHandle(const PF_InData* in_data, uint64_t bytes);
void* lockHandle(const PF_InData* in_data, PF_Handle h);
void unlockHandle(const PF_InData* in_data, PF_Handle h);
void disposeHandle(const PF_InData* in_data, PF_Handle h);
// The handle's size, or `fallback` when the host cannot tell.
uint64_t handleSize(const PF_InData* in_data, PF_Handle h, uint64_t fallback);

// Copies text into out_data->return_msg, cut to fit (ending in "...") when too long.
void setReturnMessage(PF_OutData* out_data, const char* text);
// setReturnMessage and PF_OutFlag_DISPLAY_ERROR_MESSAGE.
void showMessage(PF_OutData* out_data, const char* text);

// ---- command handlers -------------------------------------------------------------------------
PF_Err globalSetup(PF_InData* in_data, PF_OutData* out_data);
PF_Err globalSetdown(PF_InData* in_data, PF_OutData* out_data);
PF_Err sequenceSetup(PF_InData* in_data, PF_OutData* out_data);
PF_Err sequenceResetup(PF_InData* in_data, PF_OutData* out_data);
PF_Err sequenceFlatten(PF_InData* in_data, PF_OutData* out_data);
PF_Err sequenceSetdown(PF_InData* in_data, PF_OutData* out_data);

// The title bitmap kept in the global data, nullptr when there is none.
const KlBitmap* titleBitmap(const PF_InData* in_data);
// The module's resource file path kept in the global data ("" when there is none).
void resourcePath(const PF_InData* in_data, char (&path)[260]);

}  // namespace Kiln::AfterEffects
