// The image classes for the three host depths and the analysis types, instantiated once
// here so every member compiles for every depth.
#include "image/klAnalyser.h"
#include "image/klFiller.h"
#include "image/klFunctors.h"
#include "image/klSamplers.h"

#define KL_IMAGE_INSTANCES(Px)                                                                               \
    template class KlTexture<Px>;                                                                            \
    template class KlImgProc<Px>;                                                                            \
    template class KlImgFiller<Px>;                                                                          \
    template class KlAnalyserProc<Px>;                                                                       \
    template class Kiln::SimpleCopySampler<Px, Px>;                                                          \
    template class Kiln::Processor::Functor1<Px, Kiln::Processor::ClampChannel<Px>>;

KL_IMAGE_INSTANCES(Kiln::PixARGB8)
KL_IMAGE_INSTANCES(Kiln::PixARGB16)
KL_IMAGE_INSTANCES(Kiln::PixARGBF)
KL_IMAGE_INSTANCES(Kiln::PixSingle8)
KL_IMAGE_INSTANCES(Kiln::PixSingle16)
KL_IMAGE_INSTANCES(Kiln::PixSingleF)
KL_IMAGE_INSTANCES(Kiln::PixRGBAF)
KL_IMAGE_INSTANCES(Kiln::PixRGBA32)

#define KL_HOST_DEPTH_INSTANCES(Px)                                                                          \
    template class Kiln::Processor::Functor1<Px, Kiln::Processor::MultiplyByAlpha<Px>>;                      \
    template class Kiln::Processor::Functor1<Px, Kiln::Processor::UnMultiplyByAlpha<Px>>;                    \
    template class Kiln::Processor::Functor1<Px, Kiln::Processor::WhitePointAlpha<Px>>;                      \
    template class Kiln::Processor::Functor2<Px, Px, Kiln::Processor::CopyAlpha<Px>>;                        \
    template class Kiln::Processor::Functor2<Px, Px, Kiln::Processor::CopyRGB<Px>>;                          \
    template class Kiln::ChannelCopySampler<Px, Px, 1, 1, 1, 0>;                                             \
    template class Kiln::ColouredFrameGenerator<Px>;

KL_HOST_DEPTH_INSTANCES(Kiln::PixARGB8)
KL_HOST_DEPTH_INSTANCES(Kiln::PixARGB16)
KL_HOST_DEPTH_INSTANCES(Kiln::PixARGBF)
KL_HOST_DEPTH_INSTANCES(Kiln::PixRGBAF)
