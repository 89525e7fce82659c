/*
 * The memory a whole render needs, weighed before anything is allocated, so that footage too large for the
 * machine (or a file whose header claims so) is refused at once instead of failing after minutes of
 * swapping, and a limit the user gives holds.
 *
 * The estimate counts the program and its libraries, the frames the renderer and host hold at the render
 * depth (the decoded input, the frames kept for time remapping, the layer and the output, the conversions
 * on the way), the effect's own working images, and the codecs' buffers (a decoder's reference frames, an
 * encoder's look-ahead). Its figures come from measured peaks and stay above them.
 */
#ifndef KL_FRAME_MEMORY_H
#define KL_FRAME_MEMORY_H

#include "footage/klFootage.h"

#include <cstdint>
#include <optional>
#include <string>

namespace Kiln::Footage {

// Bytes a render needs at most: input frames `inputWidth` x `inputHeight` decoded at `inputDepth` (by a
// video decoder when `videoInput`), rendered as a `layerWidth` x `layerHeight` layer at `depth` and written.
uint64_t renderBytes(int inputWidth, int inputHeight, Depth inputDepth, int layerWidth, int layerHeight,
                     Depth depth, bool videoInput);

// The memory this process holds now (resident); empty when it cannot be read.
std::optional<uint64_t> residentMemory();

// What this process may take without swapping: the memory the system has available, within the memory
// limit of its control group. Empty when neither can be read.
std::optional<uint64_t> availableMemory();

// "512 KB", "3.4 MB", "12.6 GB".
std::string formatBytes(uint64_t bytes);

}  // namespace Kiln::Footage

#endif
