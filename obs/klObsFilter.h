#pragma once
// The "Security Camera" video filter: OBS's callbacks over the filter's settings, its worker and its
// graphics objects.
//
// Every source gets the same path on OBS's graphics thread (video_render): the source below the filter
// is drawn into a texture (BGRA, 8 bits) at its own size, read back through a stage surface and handed
// to the worker (klObsWorker.h), which runs the effect; the newest finished frame is uploaded to a
// texture and drawn in the source's place. Drawn sources (scenes, images, captures, browser) are read
// back once per OBS frame, at OBS's frame time. Async sources (cameras, media) are read back only when a
// new frame of theirs is shown: filter_video, which OBS calls with each of their frames, notes the
// frame's timestamp, and that timestamp is the effect's time. Their frames reach the filter after OBS's
// own conversion to RGB.
//
// Latency: a frame is shown one OBS frame after it was read back (the worker renders it meanwhile), so
// the graphics thread never waits for the effect; the first frame, and the first after the source changes
// size, are waited for instead (up to a second), so that the unfiltered picture never shows (when the
// worker is busy at a size change, its last frame is stretched over the new size meanwhile).
struct obs_source_info;

namespace Kiln::Obs {

// The filter's registration; its id is "watchcam_filter".
const obs_source_info& filterInfo();

}  // namespace Kiln::Obs
