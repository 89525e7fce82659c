#include "cli/klPreviewCommand.h"

namespace Kiln::Footage {

CommandSpec previewCommandSpec()
{
    return {
        CommandPreview, "preview", "INPUT [OUTPUT]", "Tune the look on INPUT live in a web browser",
        "Starts a web server on this machine and prints the address of a page that shows INPUT's frames\n"
        "through the effect as `watchcam render` makes them, with every control, keyframes, presets and\n"
        "the render command; the page renders to OUTPUT (or a name typed there, in OUTPUT's folder or the\n"
        "current one). It listens on 127.0.0.1 only, unless --bind says otherwise; every request needs\n"
        "the token in the printed address. Runs until Ctrl-C, which ends a render it started."};
}

std::vector<OptionSpec> withPreviewOptions(std::vector<OptionSpec> table)
{
    for (OptionSpec& o : table)
        if ((o.commands & CommandRender) && std::string(o.name) != "--quiet") o.commands |= CommandPreview;
    table.push_back({CommandPreview, "--bind", "ADDR",
                     "Address to listen on (default 127.0.0.1; anyone who can reach another address and has\n"
                     "the token can render)"});
    table.push_back({CommandPreview, "--port", "N", "Port to listen on (default: any free one)"});
    table.push_back({CommandPreview, "--open", nullptr, "Open the page in the browser (xdg-open)"});
    return table;
}

}  // namespace Kiln::Footage
