#pragma once
// One frame through the effect, the part of a render entry that does not depend on the host: every host
// adapter (the plug-in module's, the frei0r filter's) builds its HostI with the name mapping of
// klWatchcamParams.h and then runs these steps, so that a frame looks the same through any of them.
//
//   readEveryControl   every control the host maps, read once with the read of its kind: a host that
//                      cannot give one fails here, before any pixel is touched
//   renderFrame        the "Source" frame at the render time, cropped before anything reads it; the
//                      effect's render routine into the output; the output's alpha clamped into 0..M;
//                      the shared post-processing (blend and "Process" finish)
//
// An interrupt through the hook stops the work between stages and throws nothing: the caller looks at
// the hook and reports it in its host's terms.
#include "image/klMultiProcessor.h"
#include "image/klPixel.h"
#include "image/klTexture.h"
#include "wrapper/klPostProcess.h"
#include "wrapper/klWrapperHostI.h"

#include <cstdint>

namespace Kiln::Watchcam {

void readEveryControl(Kiln::Wrapper::HostI& host, double time);

class HeldFrame;

// `post` is readPostProcessSettings at the render time; frameWidth x frameHeight is the layer's size in
// render pixels (0 x 0: the output's). `held`, when given, is the effect instance's held frame
// (effect/klHeldFrame.h), which the adapter keeps for as long as the instance lives.
template <class Px>
void renderFrame(Kiln::Wrapper::HostI& host, const Kiln::Wrapper::PostProcessSettings& post,
                 KlTexture<Px>& output, int32_t frameWidth, int32_t frameHeight, KlInterruptHook* hook,
                 HeldFrame* held = nullptr);

extern template void renderFrame<PixARGB8>(Kiln::Wrapper::HostI&, const Kiln::Wrapper::PostProcessSettings&,
                                           KlTexture<PixARGB8>&, int32_t, int32_t, KlInterruptHook*,
                                           HeldFrame*);
extern template void renderFrame<PixARGB16>(Kiln::Wrapper::HostI&, const Kiln::Wrapper::PostProcessSettings&,
                                            KlTexture<PixARGB16>&, int32_t, int32_t, KlInterruptHook*,
                                            HeldFrame*);
extern template void renderFrame<PixARGBF>(Kiln::Wrapper::HostI&, const Kiln::Wrapper::PostProcessSettings&,
                                           KlTexture<PixARGBF>&, int32_t, int32_t, KlInterruptHook*,
                                           HeldFrame*);

}  // namespace Kiln::Watchcam
