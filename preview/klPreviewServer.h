/*
 * The preview's HTTP server: the page (built into the program) and its JSON interface, every request
 * checked by a RequestGuard first. It listens on one address (the loopback address unless told
 * otherwise) and serves until stop().
 *
 *   GET  /?token=T                 the page; sets the token cookie and moves to / without the token
 *   GET  /preview.css, /preview.js
 *   GET  /api/describe             input, controls, folders
 *   GET  /api/status               revision, command, render progress
 *   GET  /api/values?frame=N       every control's value at input frame N and its keys
 *   GET  /api/frame?frame=N&scale=1|2|4&view=effect|source&client=ID   a PNG (204: superseded)
 *   POST /api/set {index,text,frame}   /api/key {index,frame}   /api/clearkeys {index,frame}
 *   POST /api/reset {index}        (-1: every control)
 *   GET  /api/presets              preset files in the allowed folders
 *   POST /api/preset/open {path}   /api/preset/save {path,overwrite}
 *   POST /api/render {path,overwrite}   /api/render/cancel
 * Errors come back as {"error": "..."} with a 4xx status.
 */
#ifndef KL_PREVIEW_SERVER_H
#define KL_PREVIEW_SERVER_H

#include "preview/klPreviewGuard.h"
#include "preview/klPreviewSession.h"

#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace Kiln::Preview {

class PreviewServer {
public:
    // Binds `address`:`port` (0: a free port) at once; FootageError when it cannot.
    PreviewServer(Session& session, const std::string& address, int port, std::string token);
    ~PreviewServer();

    int port() const { return port_; }
    // The address to open: http://ADDRESS:PORT/?token=...
    std::string url() const;
    // Serves until stop() (from any thread).
    void run();
    void stop();

private:
    void routes();

    Session& session_;
    std::string address_;
    int port_ = 0;
    int pngLevel_ = 1;  // zlib level of the frames sent
    std::unique_ptr<RequestGuard> guard_;
    std::unique_ptr<httplib::Server> http_;
};

}  // namespace Kiln::Preview

#endif
