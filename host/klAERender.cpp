#include "host/klAERender.h"

#include "exceptions/klException.h"
#include "exceptions/klExceptionStack.h"
#include "host/klAEGlobals.h"
#include "host/klAEHooks.h"
#include "host/klAEMemory.h"
#include "host/klRenderInner.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <new>

namespace Kiln::AfterEffects {

namespace {

constexpr const char* kHostKey = "AfterEffects";

template <class... Args>
PF_Err renderAtDepth(RenderDepth depth, Args... args)
{
    switch (depth) {
    case RenderDepth::Eight: return RenderInner<Kiln::PixARGB8>(args...);
    case RenderDepth::Sixteen: return RenderInner<Kiln::PixARGB16>(args...);
    case RenderDepth::Float: return RenderInner<Kiln::PixARGBF>(args...);
    }
    return PF_Err_BAD_CALLBACK_PARAM;
}

void prepareRender()
{
    Kiln::Errors::Initialise();
    installHostMemory();
}

A_long truncated(double v)
{
    if (!(v > -2147483648.0)) return INT32_MIN;
    if (!(v < 2147483647.0)) return INT32_MAX;
    return static_cast<A_long>(std::trunc(v));
}

// An internal failure: reported to the user, and to the error log when it is one of ours.
PF_Err internalFailure(PF_InData* in_data, PF_OutData* out_data, bool inRender, const char* foreignWhat)
{
    std::string text;
    if (foreignWhat) {
        text = foreignFailureText(foreignWhat);
    } else {
        const int logged = Kiln::Exceptions::Stack::stackDumpLog(kHostKey, productInfo.effectName);
        text = Kiln::Exceptions::Stack::userReportText(
            productInfo.effectName, logged,
            Kiln::Exceptions::Stack::logPath(kHostKey, productInfo.effectName));
        Kiln::Exceptions::Stack::clear();
    }
    showMessage(out_data, text.c_str());
    if (inRender && !hostIsHeadless(in_data)) {
        // With someone to read it, the frame as far as it was written stands and the report is shown.
        std::fprintf(stderr, "Kiln Internal Error\n%s", text.c_str());
        return PF_Err_NONE;
    }
    return kHeadlessFailure;
}

}  // namespace

RenderDepth legacyDepth(A_short specMajor, A_short specMinor, A_long outputWorldFlags)
{
    if (specMajor < 12 || specMinor < 6 || (outputWorldFlags & PF_WorldFlag_DEEP) == 0)
        return RenderDepth::Eight;
    return RenderDepth::Sixteen;
}

bool smartDepth(PF_PixelFormat format, RenderDepth* depth)
{
    RenderDepth d;
    if (format == PF_PixelFormat_ARGB128)
        d = RenderDepth::Float;
    else if (format == PF_PixelFormat_ARGB64)
        d = RenderDepth::Sixteen;
    else if (format == PF_PixelFormat_ARGB32)
        d = RenderDepth::Eight;
    else
        return false;
    if (depth) *depth = d;
    return true;
}

bool rectIsEmpty(const PF_LRect& r) { return r.left >= r.right || r.top >= r.bottom; }

PF_LRect rectUnion(const PF_LRect& a, const PF_LRect& b)
{
    if (rectIsEmpty(a)) return b;
    if (rectIsEmpty(b)) return a;
    return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
            std::max(a.bottom, b.bottom)};
}

PF_LRect rectClip(const PF_LRect& a, const PF_LRect& b)
{
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
}

// ---- commands ---------------------------------------------------------------------------------

PF_Err render(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_LayerDef* output)
{
    if (in_data == nullptr || out_data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    prepareRender();
    if (in_data->appl_id != KL_APPL_ID_HOST) {
        if (PF_Err err = updateParamUIState(in_data, out_data, params)) return err;
    }
    const RenderDepth depth =
        output ? legacyDepth(in_data->version.major, in_data->version.minor, output->world_flags)
               : RenderDepth::Eight;
    const PF_Err err = renderAtDepth(depth, in_data, out_data, params, static_cast<PF_EffectWorld*>(nullptr),
                                     output, static_cast<PF_SmartRenderExtra*>(nullptr));
    if (err == PF_Err_OUT_OF_MEMORY) showMessage(out_data, kOutOfMemoryMessage);
    return err;
}

PF_Err smartPreRender(PF_InData* in_data, PF_OutData* out_data, PF_PreRenderExtra* extra)
{
    if (in_data == nullptr || out_data == nullptr || extra == nullptr || extra->input == nullptr ||
        extra->output == nullptr || extra->cb == nullptr || extra->cb->checkout_layer == nullptr)
        return PF_Err_BAD_CALLBACK_PARAM;
    Kiln::Errors::Initialise();

    const PF_LRect asked = extra->input->output_request.rect;
    PF_RenderRequest request = extra->input->output_request;
    double needed[4] = {0, 0, 0, 0};
    const bool answered = sourceRegionOfInterest(in_data, out_data, extra, asked, needed);
    if (answered)
        request.rect = {truncated(needed[0]), truncated(needed[1]), truncated(needed[2]),
                        truncated(needed[3])};

    PF_CheckoutResult checkout{};
    if (PF_Err err = extra->cb->checkout_layer(in_data->effect_ref, 0, 0, &request, in_data->current_time,
                                               in_data->time_step, in_data->time_scale, &checkout))
        return err;
    if (extra->input->output_request.preserve_rgb_of_zero_alpha)
        extra->input->output_request.channel_mask |= 1;

    PF_LRect produced{};
    if (answered && expandedOutputRect(in_data, out_data, extra, checkout, &produced)) {
        extra->output->flags |= PF_RenderOutputFlag_RETURNS_EXTRA_PIXELS;
    } else {
        // What was asked for, as far as the source reaches: never more than the host requested.
        produced = rectClip(asked, checkout.result_rect);
    }
    extra->output->result_rect = rectUnion(extra->output->result_rect, produced);
    extra->output->max_result_rect = rectUnion(extra->output->max_result_rect, checkout.max_result_rect);
    extra->output->solid = false;
    return PF_Err_NONE;
}

PF_Err smartRender(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                   PF_SmartRenderExtra* extra)
{
    if (in_data == nullptr || out_data == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    SPBasicSuite* basic = in_data->pica_basicP;
    const PF_WorldSuite2* worlds = nullptr;
    if (basic == nullptr || basic->AcquireSuite == nullptr ||
        basic->AcquireSuite(kPFWorldSuite, kPFWorldSuiteVersion2, reinterpret_cast<const void**>(&worlds)) !=
            PF_Err_NONE)
        return PF_Err_BAD_CALLBACK_PARAM;
    prepareRender();

    PF_Err err = PF_Err_NONE;
    PF_SmartRenderCallbacks* cb = extra ? extra->cb : nullptr;
    if (worlds == nullptr || worlds->PF_GetPixelFormat == nullptr || cb == nullptr ||
        cb->checkout_layer_pixels == nullptr || cb->checkout_output == nullptr)
        err = PF_Err_BAD_CALLBACK_PARAM;

    PF_EffectWorld* input = nullptr;
    bool checkedOut = false;
    if (err == PF_Err_NONE) {
        err = cb->checkout_layer_pixels(in_data->effect_ref, 0, &input);
        checkedOut = err == PF_Err_NONE;
        if (err == PF_Err_NONE && input == nullptr) err = PF_Err_BAD_CALLBACK_PARAM;
    }
    if (err == PF_Err_NONE) {
        PF_PixelFormat format = PF_PixelFormat_INVALID;
        RenderDepth depth = RenderDepth::Eight;
        err = worlds->PF_GetPixelFormat(input, &format);
        if (err == PF_Err_NONE && !smartDepth(format, &depth)) err = PF_Err_BAD_CALLBACK_PARAM;
        PF_EffectWorld* output = nullptr;
        if (err == PF_Err_NONE) err = cb->checkout_output(in_data->effect_ref, &output);
        if (err == PF_Err_NONE) err = renderAtDepth(depth, in_data, out_data, params, input, output, extra);
    }
    if (checkedOut && cb->checkin_layer_pixels) cb->checkin_layer_pixels(in_data->effect_ref, 0);

    if (basic->ReleaseSuite == nullptr ||
        basic->ReleaseSuite(kPFWorldSuite, kPFWorldSuiteVersion2) != PF_Err_NONE) {
        showMessage(out_data, kReleaseSuiteMessage);
        if (err == PF_Err_NONE) err = PF_Err_BAD_CALLBACK_PARAM;
    }
    if (err == PF_Err_OUT_OF_MEMORY) showMessage(out_data, kOutOfMemoryMessage);
    return err;
}

// ---- failures ---------------------------------------------------------------------------------

bool hostIsHeadless(PF_InData* in_data)
{
    static std::atomic<int> answer{-1};
    const int known = answer.load();
    if (known >= 0) return known != 0;
    SPBasicSuite* basic = in_data ? in_data->pica_basicP : nullptr;
    if (basic == nullptr || basic->AcquireSuite == nullptr) return false;
    bool headless = false;
    const PF_AppSuite1* app = nullptr;
    if (basic->AcquireSuite(kPFAppSuite, kPFAppSuiteVersion1, reinterpret_cast<const void**>(&app)) ==
        PF_Err_NONE) {
        PF_Boolean flag = 0;
        if (app && app->PF_IsHeadless && app->PF_IsHeadless(&flag) == PF_Err_NONE) headless = flag != 0;
        if (basic->ReleaseSuite) basic->ReleaseSuite(kPFAppSuite, kPFAppSuiteVersion1);
    }
    answer.store(headless ? 1 : 0);
    return headless;
}

bool hostInterrupted(PF_InData* in_data)
{
    if (in_data == nullptr) return false;
    if (in_data->inter.abort && in_data->inter.abort(in_data->effect_ref) != PF_Err_NONE) return true;
    return in_data->inter.progress && in_data->inter.progress(in_data->effect_ref, 0, 0) != PF_Err_NONE;
}

std::string foreignFailureText(const char* what)
{
    return std::string(productInfo.effectName) + " failed.\n\n" + (what && *what ? what : "Unknown error") +
           ".\n\n";
}

PF_Err failureResult(PF_InData* in_data, PF_OutData* out_data, bool inRender, const char* function,
                     const char* file, int line) noexcept
{
    namespace Ex = Kiln::Exceptions;
    try {
        try {
            throw;
        } catch (const Ex::OutOfMemory&) {
            Ex::Stack::clear();
            return PF_Err_OUT_OF_MEMORY;
        } catch (const Ex::AfterEffects::InterruptedCritical&) {
            Ex::Stack::clear();
            return PF_Interrupt_CANCEL;
        } catch (const Ex::Wrapper::FetchNonOptionalImageFailed& e) {
            if (hostInterrupted(in_data)) {
                Ex::Stack::clear();
                return PF_Err_NONE;
            }
            Ex::Stack::add(e, function, file, line);
            return internalFailure(in_data, out_data, inRender, nullptr);
        } catch (const Ex::ExceptionI& e) {
            Ex::Stack::add(e, function, file, line);
            return internalFailure(in_data, out_data, inRender, nullptr);
        } catch (const std::bad_alloc&) {
            return PF_Err_OUT_OF_MEMORY;
        } catch (const std::exception& e) {
            return internalFailure(in_data, out_data, inRender, e.what());
        } catch (...) {
            return internalFailure(in_data, out_data, inRender, "Unknown error");
        }
    } catch (...) {
        return kHeadlessFailure;
    }
}

}  // namespace Kiln::AfterEffects
