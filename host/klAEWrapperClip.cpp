#include "host/klAEWrapperClip.h"

#include "exceptions/klException.h"
#include "host/klAEGlobals.h"
#include "host/klAESuite.h"
#include "wrapper/klPostProcess.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Kiln::AfterEffects::Wrapper {

namespace Ex = Kiln::Exceptions;

inline constexpr const char* kOutOfMemoryText = "Kiln AEWrapperHost out of memory.";

// ---- CheckinHandle ----------------------------------------------------------------------------

CheckinHandle::CheckinHandle(PF_InData* in_data) : in_data_(in_data)
{
    std::memset(&record_, 0, sizeof(record_));
}

CheckinHandle::~CheckinHandle()
{
    if (armed_ && in_data_ && in_data_->inter.checkin_param)
        in_data_->inter.checkin_param(in_data_->effect_ref, &record_);
}

void CheckinHandle::armed()
{
    armed_ = true;
    if (record_.param_type == PF_Param_LAYER) {
        data_ = record_.u.ld.data;
        size_ = record_.u.ld.rowbytes > 0
                    ? size_t(record_.u.ld.rowbytes) * size_t(std::max(record_.u.ld.height, 0))
                    : 0;
    }
}

// ---- crops ------------------------------------------------------------------------------------

namespace {

// A texture over a host world; `keepAlive` (may be null) lives as long as the texture's copies.
template <class Px>
KlTexture<Px> viewOf(const PF_EffectWorld& world, KlRefCounter* keepAlive)
{
    return KlTexture<Px>(static_cast<Px*>(world.data), world.width, world.height, world.rowbytes,
                         world.origin_x, world.origin_y, keepAlive);
}

}  // namespace

template <class Px>
void applyCrop(KlTexture<Px>& texture, const ClipCrop& crop)
{
    // The render crops the current frame with the same function: a frame of another time must be cut
    // exactly as the frame it is blended with.
    Kiln::Wrapper::PostProcessSettings s;
    s.left = crop.left;
    s.right = crop.right;
    s.bottom = crop.bottom;
    s.top = crop.top;
    s.xMethod = crop.xMethod;
    s.yMethod = crop.yMethod;
    s.edgeColour = crop.edgeColour;
    Kiln::Wrapper::applySourceCrop(texture, s);
}

template void applyCrop<Kiln::PixARGB8>(KlTexture<Kiln::PixARGB8>&, const ClipCrop&);
template void applyCrop<Kiln::PixARGB16>(KlTexture<Kiln::PixARGB16>&, const ClipCrop&);
template void applyCrop<Kiln::PixARGBF>(KlTexture<Kiln::PixARGBF>&, const ClipCrop&);

// ---- Clip -------------------------------------------------------------------------------------

Clip::Clip(std::string name, int32_t hostIndex, PF_InData* in_data, PF_OutData* out_data,
           Kiln::Param::NamedParamSetI* params)
    : name_(std::move(name)), hostIndex_(hostIndex), in_data_(in_data), out_data_(out_data), params_(params)
{ }

Clip::~Clip() = default;

void Clip::setCurrentFrame(const PF_EffectWorld* world, double time, PF_PixelFormat format)
{
    current_ = world;
    currentTime_ = time;
    currentFormat_ = format;
}

void Clip::setRegion(double x, double y, double width, double height)
{
    hasRegion_ = true;
    region_ = {x, x + width, y, y + height};
}

Kiln::RefPtr<CheckinHandle> Clip::checkout(const char* function, double time)
{
    if (in_data_ == nullptr || in_data_->inter.checkout_param == nullptr)
        throw Ex::AfterEffects::FeatureUnsupported(function, __FILE__, __LINE__, "checkout_param");
    Kiln::RefPtr<CheckinHandle> held(new CheckinHandle(in_data_));
    const PF_Err err = in_data_->inter.checkout_param(
        in_data_->effect_ref, hostIndex_, Convert::framesToHostTime(time, in_data_->time_step),
        in_data_->time_step, in_data_->time_scale, &held->record());
    if (err == PF_Interrupt_CANCEL) throw Ex::AfterEffects::InterruptedCritical(function, __FILE__, __LINE__);
    if (err == PF_Err_OUT_OF_MEMORY) {
        showMessage(out_data_, kOutOfMemoryText);
        throw Ex::OutOfMemory(function, __FILE__, __LINE__, kOutOfMemoryText);
    }
    if (err != PF_Err_NONE)
        throw Ex::AfterEffects::ClipCheckoutFailed(function, __FILE__, __LINE__, "checkout", name_);
    held->armed();
    return held;
}

std::array<double, 4> Clip::getRegionOfDefinition(double time)
{
    if (current_ != nullptr && time == currentTime_)
        return {double(current_->origin_x), double(current_->origin_x + current_->width),
                double(current_->origin_y), double(current_->origin_y + current_->height)};
    if (hasRegion_) return region_;
    Kiln::RefPtr<CheckinHandle> held =
        checkout("Kiln::AfterEffects::Wrapper::Clip::getRegionOfDefinition", time);
    const PF_LayerDef& l = held->record().u.ld;
    return {double(l.origin_x), double(l.origin_x + l.width), double(l.origin_y),
            double(l.origin_y + l.height)};
}

bool Clip::isConnected()
{
    if (current_ != nullptr) return current_->data != nullptr;
    const double now =
        in_data_ ? Convert::hostTimeToFrames(in_data_->current_time, in_data_->time_step) : 0.0;
    Kiln::RefPtr<CheckinHandle> held = checkout("Kiln::AfterEffects::Wrapper::Clip::isConnected", now);
    return held->record().u.ld.data != nullptr;
}

int32_t Clip::getComponents()
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::AfterEffects::Wrapper::Clip::getComponents", __FILE__,
                                               __LINE__, "getComponents");
}

int32_t Clip::getDepth()
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::AfterEffects::Wrapper::Clip::getDepth", __FILE__,
                                               __LINE__, "getDepth");
}

void Clip::setFramesNeeded(double, double)
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::AfterEffects::Wrapper::Clip::setFramesNeeded", __FILE__,
                                               __LINE__, "setFramesNeeded");
}

std::array<double, 2> Clip::getFrameRange()
{
    throw Ex::AfterEffects::FeatureUnsupported("Kiln::AfterEffects::Wrapper::Clip::getFrameRange", __FILE__,
                                               __LINE__, "getFrameRange");
}

bool Clip::readCrop(double time, ClipCrop& crop)
{
    if (params_ == nullptr) return false;
    std::array<std::string, kCropSuffixes.size()> names;
    for (size_t i = 0; i < names.size(); ++i) {
        names[i] = name_ + kCropSuffixes[i];
        if (!params_->hasParam(names[i])) return false;
    }
    crop.xMethod = params_->getIntParam(names[0], time);
    crop.yMethod = params_->getIntParam(names[1], time);
    crop.edgeColour = params_->getRGBAParam(names[2], time);
    crop.left = params_->getDoubleParam(names[3], time);
    crop.right = params_->getDoubleParam(names[4], time);
    crop.bottom = params_->getDoubleParam(names[5], time);
    crop.top = params_->getDoubleParam(names[6], time);
    return true;
}

template <class Px>
bool Clip::fetchImage(double time, KlTexture<Px>& texture)
{
    static constexpr const char* kFunction = "Kiln::AfterEffects::Wrapper::Clip::fetchImageRaw";
    constexpr PF_PixelFormat wanted = Convert::pixelFormatFor<Px>();
    if constexpr (wanted == PF_PixelFormat_INVALID) {
        throw Ex::Wrapper::FetchImageFailed(kFunction, __FILE__, __LINE__, "unknown texture pixel type");
    } else {
        if (current_ != nullptr && time == currentTime_) {
            if (currentFormat_ != wanted)
                throw Ex::Wrapper::FetchImageFailed(kFunction, __FILE__, __LINE__, "texture wrong template");
            if (current_->data == nullptr) return false;
            texture = viewOf<Px>(*current_, nullptr);
            return true;
        }
        if (path_) throw Ex::AfterEffects::TemporalUnsupported(kFunction, __FILE__, __LINE__, "Path clips");

        Kiln::RefPtr<CheckinHandle> held = checkout(kFunction, time);
        if (out_data_) out_data_->out_flags |= PF_OutFlag_REFRESH_UI;
        const PF_LayerDef& layer = held->record().u.ld;
        if (layer.data == nullptr) return false;
        const PF_PixelFormat format = Convert::worldPixelFormat(in_data_, layer);
        if (!Convert::isKnownFormat(format)) return false;
        if (format != wanted)
            throw Ex::Wrapper::FetchImageFailed(kFunction, __FILE__, __LINE__, "texture wrong template");
        // The texture keeps the checkout: it is checked in when the last view of it goes.
        KlTexture<Px> image = viewOf<Px>(layer, held.get());
        ClipCrop crop;
        const double now = Convert::hostTimeToFrames(in_data_->current_time, in_data_->time_step);
        if (readCrop(now, crop)) applyCrop(image, crop);
        texture = std::move(image);
        return true;
    }
}

template bool Clip::fetchImage<Kiln::PixARGB8>(double, KlTexture<Kiln::PixARGB8>&);
template bool Clip::fetchImage<Kiln::PixARGB16>(double, KlTexture<Kiln::PixARGB16>&);
template bool Clip::fetchImage<Kiln::PixARGBF>(double, KlTexture<Kiln::PixARGBF>&);

}  // namespace Kiln::AfterEffects::Wrapper

namespace Kiln::AfterEffects::Convert {

PF_PixelFormat worldPixelFormat(PF_InData* in_data, const PF_EffectWorld& world)
{
    AcquiredSuite<PF_WorldSuite2> worlds(in_data, kPFWorldSuite, kPFWorldSuiteVersion2);
    if (worlds && worlds->PF_GetPixelFormat) {
        PF_PixelFormat format = PF_PixelFormat_INVALID;
        if (worlds->PF_GetPixelFormat(&world, &format) != PF_Err_NONE) return PF_PixelFormat_INVALID;
        return format;
    }
    return (world.world_flags & PF_WorldFlag_DEEP) ? PF_PixelFormat_ARGB64 : PF_PixelFormat_ARGB32;
}

}  // namespace Kiln::AfterEffects::Convert
