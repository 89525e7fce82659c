// `watchcam preview` itself: the session, the server and the printed address. Linked into the program
// only, beside the preview library.
#include "cli/klPreviewCommand.h"

#include "preview/klPreviewServer.h"

#include <arpa/inet.h>
#include <iostream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace Kiln::Footage {

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
