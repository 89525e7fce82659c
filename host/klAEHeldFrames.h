#pragma once
// Where each effect instance's held frame lives (effect/klHeldFrame.h): a table in the process, keyed by
// the instance's live sequence-data handle. Sequence data is flattened into what a project stores, so the
// kept picture never goes into it; the table holds it beside. An entry goes when the module disposes of
// the handle (set-down, flatten, a new set-up), so a handle the host hands out again later starts empty.
//
// The host may call the module from several threads: the table has its own lock, and a render holds its
// entry for the call, so an instance set down meanwhile releases its picture when that render ends.
#include "effect/klHeldFrame.h"
#include "sdk/klHostAPI.h"

#include <memory>

namespace Kiln::AfterEffects {

// The held frame of the instance whose sequence data is `sequence`, made on first use; null for none.
std::shared_ptr<Kiln::Watchcam::HeldFrame> heldFrameOf(PF_Handle sequence);
// Releases the held frame of that instance.
void forgetHeldFrame(PF_Handle sequence);

}  // namespace Kiln::AfterEffects
