#include "cli/klPreviewCommand.h"

#include "preview/klPreviewServer.h"

#include <arpa/inet.h>
#include <iostream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

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

namespace {

// Options that concern the preview itself, not the render it reproduces.
bool previewOnly(const std::string& name)
{
    return name == "--bind" || name == "--port" || name == "--open" || name == "--demo" ||
           name == "--preset" || name == "--set" || name == "--quiet";
}

bool loopback(const std::string& address)
{
    in_addr a{};
    return address == "localhost" ||
           (inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127);
}

void openInBrowser(const std::string& url)
{
    pid_t pid = 0;
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
        std::cerr << "watchcam: --open: cannot run xdg-open; open the address above in a browser"
                  << std::endl;
        return;
    }
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
}

}  // namespace

int runPreview(const ParsedArgs& given)
{
    ParsedArgs args = given;
    const bool demo = args.switches.count("--demo") != 0;
    const size_t least = demo ? 0 : 1;
    if (args.positionals.size() < least || args.positionals.size() > least + 1)
        throw UsageError(demo ? "preview --demo takes at most one file name, OUTPUT"
                              : "preview takes INPUT and, optionally, OUTPUT");
    if (args.positionals.size() == least) args.positionals.push_back("");
    if (args.positionals.back() == "-")
        throw UsageError("preview renders to files, not to - (standard output)");
    args.command = CommandRender;

    Preview::SessionOptions options;
    options.render = renderOptionsFrom(args);
    if (const auto it = args.values.find("--preset"); it != args.values.end())
        options.presetPath = it->second;
    if (const auto it = args.lists.find("--set"); it != args.lists.end()) options.sets = it->second;
    for (const auto& [name, value] : args.values)
        if (!previewOnly(name)) {
            options.renderArgs.push_back(name);
            options.renderArgs.push_back(value);
        }
    for (const std::string& name : args.switches)
        if (!previewOnly(name) && name != "--overwrite") options.renderArgs.push_back(name);

    std::string address = "127.0.0.1";
    if (const auto it = args.values.find("--bind"); it != args.values.end()) address = it->second;
    int port = 0;
    if (const auto it = args.values.find("--port"); it != args.values.end())
        port = parseCount("--port", it->second, 1, 65535);

    Preview::Session session(options);
    Preview::PreviewServer server(session, address, port, Preview::newToken());
    if (!loopback(address))
        std::cerr << "watchcam: listening on " << address
                  << ": anyone who can reach this address and has the "
                  << "token can render and write files in the folders the preview may use" << std::endl;
    std::cout << "watchcam preview: " << server.url() << " (Ctrl-C ends it)" << std::endl;
    if (args.switches.count("--open")) openInBrowser(server.url());
    server.run();
    return ExitOk;
}

}  // namespace Kiln::Footage
