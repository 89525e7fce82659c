/*
 * `watchcam preview`: the live preview's place on the command line. It takes every render option (the
 * frames it shows are the ones `watchcam render` makes with them) and its own: --bind, --port, --open.
 */
#ifndef KL_PREVIEW_COMMAND_H
#define KL_PREVIEW_COMMAND_H

#include "cli/klCommandLine.h"

#include <vector>

namespace Kiln::Footage {

CommandSpec previewCommandSpec();
// The option table with the preview's own options added and every render option offered to it too.
std::vector<OptionSpec> withPreviewOptions(std::vector<OptionSpec> table);
int runPreview(const ParsedArgs& args);

}  // namespace Kiln::Footage

#endif
