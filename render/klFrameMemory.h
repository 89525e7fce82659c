/*
 * The memory one frame of a render needs, weighed before anything is allocated, so that footage too large
 * for the machine (or a file whose header claims so) is refused at once instead of failing after minutes
 * of swapping.
 *
 * The estimate counts the frames the renderer and host hold at the render depth (the decoded input, the
 * few frames kept for time remapping, the layer and the output) and the effect's own working images. It
 * errs low, so that a render it lets through may still run short, but one it refuses could not have run.
 */
#ifndef KL_FRAME_MEMORY_H
#define KL_FRAME_MEMORY_H

#include "footage/klFootage.h"

#include <cstdint>
#include <optional>
#include <string>

namespace Kiln::Footage {

// Bytes a render needs: input frames `inputWidth` x `inputHeight` decoded at `inputDepth`, rendered as a
// `layerWidth` x `layerHeight` layer at `depth`.
uint64_t renderBytes(int inputWidth, int inputHeight, Depth inputDepth, int layerWidth, int layerHeight,
                     Depth depth);

// What this process may take without swapping: the memory the system has available, within the memory
// limit of its control group. Empty when neither can be read.
std::optional<uint64_t> availableMemory();

// "512 KB", "3.4 MB", "12.6 GB".
std::string formatBytes(uint64_t bytes);

}  // namespace Kiln::Footage

#endif
