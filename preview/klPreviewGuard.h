/*
 * What every request to the preview server must pass before it is served, kept apart from the server so it
 * can be tested without one.
 *
 * - Host: the Host header names this server (an address it listens on, or localhost, with its port);
 *   anything else is a page of another name that resolved to us (DNS rebinding) and is refused.
 * - Token: the random token of the printed address, from the query (the first page load) or the cookie the
 *   page then holds. Compared in constant time.
 * - Origin: no cross-origin use. A request that says it comes from another origin (Origin, or the
 *   browser's Sec-Fetch-Site) is refused; the server sends no CORS headers, so no other page reads an
 *   answer either.
 * - Size: the request target and body are bounded.
 *
 * Files: the page names presets and outputs by path; a path is accepted only when it is a plain file
 * name (not hidden, no link) directly in one of the allowed folders.
 */
#ifndef KL_PREVIEW_GUARD_H
#define KL_PREVIEW_GUARD_H

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace Kiln::Preview {

inline constexpr size_t kMaxBodyBytes = size_t(1) << 20;  // settings and names, never pictures
inline constexpr size_t kMaxTargetBytes = 4096;
inline constexpr const char* kTokenCookie = "watchcam_token";

// 32 hexadecimal digits from the system's random source.
std::string newToken();
// Equal strings, in time that does not depend on where they differ.
bool sameToken(const std::string& a, const std::string& b);
// The value of cookie `name` in a Cookie header; empty when absent.
std::string cookieValue(const std::string& cookieHeader, const std::string& name);

// The Host header values a server listening on `address`:`port` answers to: the address itself, localhost
// and 127.0.0.1 for a loopback address, and for 0.0.0.0 every address of this machine and its name.
std::vector<std::string> allowedHosts(const std::string& address, int port);

struct RequestFacts {
    std::string host;  // Host header
    std::string origin;  // Origin header, when sent
    std::string fetchSite;  // Sec-Fetch-Site header, when sent
    std::string queryToken;  // ?token=
    std::string cookieHeader;
    size_t targetBytes = 0;  // path and query
    size_t bodyBytes = 0;
};

enum class Verdict { Allowed, TooLarge, BadHost, CrossOrigin, NoToken };

// The HTTP status and a one-line reason for a refusal.
int statusOf(Verdict v);
const char* reasonOf(Verdict v);

class RequestGuard {
public:
    RequestGuard(std::string token, std::vector<std::string> hosts);
    Verdict check(const RequestFacts& r) const;
    const std::string& token() const { return token_; }

private:
    std::string token_;
    std::vector<std::string> hosts_;
};

// A path the page gave that is not a plain file name in an allowed folder.
class PathRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class AllowedFolders {
public:
    // Folders as given; each is made absolute with its links resolved. Missing ones are left out.
    explicit AllowedFolders(const std::vector<std::string>& folders);
    const std::vector<std::string>& folders() const { return folders_; }
    // `path` (relative to the current folder, or absolute) as an absolute path in an allowed folder.
    // PathRefused when its folder is not one of them, its name is empty, hidden ("." first), or not a
    // plain name, or it is a link or anything but a regular file (a file that does not exist yet passes).
    std::string resolve(const std::string& path) const;

private:
    std::vector<std::string> folders_;
};

}  // namespace Kiln::Preview

#endif
