#include "preview/klPreviewServer.h"

#include "preview/klPreviewPage.h"

#include <httplib.h>

#include <algorithm>
#include <sys/socket.h>
#include <cstdlib>

namespace Kiln::Preview {

using json = nlohmann::json;

namespace {

void sendJson(httplib::Response& res, const json& body, int status = 200)
{
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void sendError(httplib::Response& res, int status, const std::string& message)
{
    sendJson(res, {{"error", message}}, status);
}

json bodyOf(const httplib::Request& req)
{
    json j = json::parse(req.body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) throw RequestError(400, "the request body is not a JSON object");
    return j;
}

int intField(const json& j, const char* name, int fallback)
{
    const auto it = j.find(name);
    if (it == j.end()) return fallback;
    if (!it->is_number_integer())
        throw RequestError(400, std::string("\"") + name + "\" must be a whole number");
    const long long v = it->get<long long>();
    if (v < -1000000000LL || v > 1000000000LL)
        throw RequestError(400, std::string("\"") + name + "\" is out of range");
    return int(v);
}

std::string stringField(const json& j, const char* name)
{
    const auto it = j.find(name);
    if (it == j.end() || it->is_null()) return {};
    if (!it->is_string()) throw RequestError(400, std::string("\"") + name + "\" must be text");
    return it->get<std::string>();
}

bool boolField(const json& j, const char* name)
{
    const auto it = j.find(name);
    return it != j.end() && it->is_boolean() && it->get<bool>();
}

int intParam(const httplib::Request& req, const char* name, int fallback)
{
    if (!req.has_param(name)) return fallback;
    const std::string text = req.get_param_value(name);
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < -1000000000L || v > 1000000000L)
        throw RequestError(400, std::string(name) + "=" + text.substr(0, 20) + ": expected a whole number");
    return int(v);
}

// Runs a handler, turning its failures into error answers.
template <class F>
httplib::Server::Handler handled(F f)
{
    return [f](const httplib::Request& req, httplib::Response& res) {
        try {
            f(req, res);
        } catch (const RequestError& e) {
            sendError(res, e.status(), e.what());
        } catch (const std::exception& e) {
            sendError(res, 500, e.what());
        }
    };
}

}  // namespace

PreviewServer::PreviewServer(Session& session, const std::string& address, int port, std::string token)
    : session_(session), address_(address), http_(std::make_unique<httplib::Server>())
{
    http_->set_payload_max_length(kMaxBodyBytes);
    // The library's default also sets SO_REUSEPORT, which lets a second server (ours or anyone's of this
    // user) listen on the same port and take some of the page's requests. A port is one server's.
    http_->set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Answers go out at once: waiting to fill packets would hold each one back by a delayed acknowledgement.
    http_->set_tcp_nodelay(true);
    http_->set_keep_alive_max_count(1000);
    http_->set_read_timeout(10, 0);
    http_->set_write_timeout(10, 0);
    if (port == 0) {
        port_ = http_->bind_to_any_port(address);
    } else {
        http_->set_address_family(AF_INET);
        port_ = http_->bind_to_port(address, port) ? port : -1;
    }
    if (port_ <= 0)
        throw Footage::FootageError("", "cannot listen on " + address + ":" + std::to_string(port) +
                                            " (in use, or not an address of this machine)");
    guard_ = std::make_unique<RequestGuard>(std::move(token), allowedHosts(address, port_));
    // On this machine bytes cost less than compressing them (see bench/preview); over a network not.
    const std::vector<std::string> hosts = allowedHosts(address, port_);
    pngLevel_ = std::find(hosts.begin(), hosts.end(), "localhost:" + std::to_string(port_)) != hosts.end() &&
                        address != "0.0.0.0"
                    ? 0
                    : 1;
    routes();
}

PreviewServer::~PreviewServer() { stop(); }

std::string PreviewServer::url() const
{
    const std::string host = address_ == "0.0.0.0" ? "127.0.0.1" : address_;
    return "http://" + host + ":" + std::to_string(port_) + "/?token=" + guard_->token();
}

void PreviewServer::run() { http_->listen_after_bind(); }

void PreviewServer::stop()
{
    if (http_) http_->stop();
}

void PreviewServer::routes()
{
    httplib::Server& s = *http_;
    // The page is this server's alone: not framed, not cached, nothing sent on to other sites.
    s.set_default_headers(
        {{"Cache-Control", "no-store"},
         {"X-Content-Type-Options", "nosniff"},
         {"X-Frame-Options", "DENY"},
         {"Referrer-Policy", "no-referrer"},
         {"Content-Security-Policy",
          "default-src 'self'; img-src 'self' blob:; connect-src 'self' blob:; frame-ancestors 'none'"}});

    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        RequestFacts f;
        f.host = req.get_header_value("Host");
        f.origin = req.get_header_value("Origin");
        f.fetchSite = req.get_header_value("Sec-Fetch-Site");
        f.cookieHeader = req.get_header_value("Cookie");
        f.queryToken = req.has_param("token") ? req.get_param_value("token") : std::string();
        f.targetBytes = req.target.size();
        f.bodyBytes = size_t(std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10));
        const Verdict v = guard_->check(f);
        if (v == Verdict::Allowed) return httplib::Server::HandlerResponse::Unhandled;
        sendError(res, statusOf(v), reasonOf(v));
        return httplib::Server::HandlerResponse::Handled;
    });

    s.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
        if (req.has_param("token")) {
            // The token moves into a cookie only this server's pages send, and out of the address bar.
            res.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + guard_->token() +
                                             "; Path=/; HttpOnly; SameSite=Strict");
            res.set_redirect("/", 303);
            return;
        }
        const PageFile page = pageFile("index.html");
        res.set_content(std::string(page.content), page.type);
    });
    for (const char* name : {"preview.css", "preview.js"}) {
        s.Get(std::string("/") + name, [name](const httplib::Request&, httplib::Response& res) {
            const PageFile page = pageFile(name);
            res.set_content(std::string(page.content), page.type);
        });
    }

    s.Get("/api/describe", handled([this](const httplib::Request&, httplib::Response& res) {
              sendJson(res, session_.describe());
          }));
    s.Get("/api/status", handled([this](const httplib::Request&, httplib::Response& res) {
              sendJson(res, session_.status());
          }));
    s.Get("/api/values", handled([this](const httplib::Request& req, httplib::Response& res) {
              sendJson(res, session_.values(intParam(req, "frame", session_.frames().firstFrame())));
          }));
    s.Get("/api/frame", handled([this](const httplib::Request& req, httplib::Response& res) {
              FrameRequest r;
              r.client =
                  req.has_param("client") ? req.get_param_value("client").substr(0, 64) : std::string();
              r.frame = intParam(req, "frame", session_.frames().firstFrame());
              r.divisor = intParam(req, "scale", 1);
              if (r.divisor != 1 && r.divisor != 2 && r.divisor != 4)
                  throw RequestError(400, "scale must be 1, 2 or 4");
              const std::string view = req.has_param("view") ? req.get_param_value("view") : "effect";
              if (view != "effect" && view != "source")
                  throw RequestError(400, "view must be effect or source");
              r.source = view == "source";
              const FrameResult result = session_.frames().render(r);
              if (result.status == FrameResult::Superseded) {
                  res.status = 204;
                  return;
              }
              if (result.status == FrameResult::Failed) throw RequestError(422, result.error);
              const auto start = std::chrono::steady_clock::now();
              res.set_content(encodePng(result.picture, pngLevel_), "image/png");
              const double encodeMs =
                  std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
              res.set_header("X-Revision", std::to_string(result.revision));
              res.set_header("X-Render-Ms", std::to_string(result.milliseconds));
              res.set_header("X-Encode-Ms", std::to_string(encodeMs));
          }));
    s.Post("/api/set", handled([this](const httplib::Request& req, httplib::Response& res) {
               const json b = bodyOf(req);
               const long rev = session_.setValue(intField(b, "index", 0), stringField(b, "text"),
                                                  intField(b, "frame", session_.frames().firstFrame()));
               sendJson(res, {{"revision", rev}});
           }));
    s.Post("/api/key", handled([this](const httplib::Request& req, httplib::Response& res) {
               const json b = bodyOf(req);
               sendJson(res, {{"revision",
                               session_.toggleKey(intField(b, "index", 0),
                                                  intField(b, "frame", session_.frames().firstFrame()))}});
           }));
    s.Post("/api/clearkeys", handled([this](const httplib::Request& req, httplib::Response& res) {
               const json b = bodyOf(req);
               sendJson(res, {{"revision",
                               session_.clearKeys(intField(b, "index", 0),
                                                  intField(b, "frame", session_.frames().firstFrame()))}});
           }));
    s.Post("/api/reset", handled([this](const httplib::Request& req, httplib::Response& res) {
               const json b = bodyOf(req);
               sendJson(res, {{"revision", session_.reset(intField(b, "index", -1))}});
           }));
    s.Get("/api/presets", handled([this](const httplib::Request&, httplib::Response& res) {
              sendJson(res, {{"files", session_.presetFiles()}});
          }));
    s.Post("/api/preset/open", handled([this](const httplib::Request& req, httplib::Response& res) {
               session_.openPreset(stringField(bodyOf(req), "path"));
               sendJson(res, session_.status());
           }));
    s.Post("/api/preset/save", handled([this](const httplib::Request& req, httplib::Response& res) {
               const json b = bodyOf(req);
               session_.savePreset(stringField(b, "path"), boolField(b, "overwrite"));
               sendJson(res, {{"saved", stringField(b, "path")}});
           }));
    s.Post("/api/render", handled([this](const httplib::Request& req, httplib::Response& res) {
               const json b = bodyOf(req);
               session_.startRender(stringField(b, "path"), boolField(b, "overwrite"));
               sendJson(res, session_.status());
           }));
    s.Post("/api/render/cancel", handled([this](const httplib::Request&, httplib::Response& res) {
               session_.cancelRender();
               sendJson(res, session_.status());
           }));
}

}  // namespace Kiln::Preview
