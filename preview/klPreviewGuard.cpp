#include "preview/klPreviewGuard.h"

#include <arpa/inet.h>
#include <climits>
#include <cstdlib>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace Kiln::Preview {

std::string newToken()
{
    std::random_device random;  // /dev/urandom
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 4; ++i) {
        const uint32_t word = random();
        for (int k = 0; k < 8; ++k) token += digits[(word >> (4 * k)) & 15];
    }
    return token;
}

bool sameToken(const std::string& a, const std::string& b)
{
    if (a.size() != b.size() || a.empty()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string cookieValue(const std::string& cookieHeader, const std::string& name)
{
    size_t pos = 0;
    while (pos < cookieHeader.size()) {
        size_t end = cookieHeader.find(';', pos);
        if (end == std::string::npos) end = cookieHeader.size();
        std::string part = cookieHeader.substr(pos, end - pos);
        const size_t first = part.find_first_not_of(' ');
        part = first == std::string::npos ? std::string() : part.substr(first);
        if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 && part[name.size()] == '=')
            return part.substr(name.size() + 1);
        pos = end + 1;
    }
    return {};
}

std::vector<std::string> allowedHosts(const std::string& address, int port)
{
    const std::string p = ":" + std::to_string(port);
    std::vector<std::string> hosts;
    auto add = [&](const std::string& name) {
        const std::string h = (name.find(':') != std::string::npos ? "[" + name + "]" : name) + p;
        for (const std::string& k : hosts)
            if (k == h) return;
        hosts.push_back(h);
    };
    add(address);
    in_addr a{};
    const bool loopback = inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
    if (loopback || address == "localhost") {
        add("localhost");
        add("127.0.0.1");
    }
    if (address == "0.0.0.0") {
        add("localhost");
        add("127.0.0.1");
        char name[HOST_NAME_MAX + 1] = {};
        if (gethostname(name, sizeof name - 1) == 0 && *name) add(name);
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) == 0) {
            for (ifaddrs* i = list; i; i = i->ifa_next) {
                if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
                char text[INET_ADDRSTRLEN] = {};
                const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
                if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) add(text);
            }
            freeifaddrs(list);
        }
    }
    return hosts;
}

int statusOf(Verdict v)
{
    switch (v) {
    case Verdict::Allowed: return 200;
    case Verdict::TooLarge: return 413;
    case Verdict::BadHost: return 421;
    case Verdict::CrossOrigin:
    case Verdict::NoToken: return 403;
    }
    return 403;
}

const char* reasonOf(Verdict v)
{
    switch (v) {
    case Verdict::Allowed: return "";
    case Verdict::TooLarge: return "request too large";
    case Verdict::BadHost: return "this server answers only to its own address";
    case Verdict::CrossOrigin: return "requests from other pages are refused";
    case Verdict::NoToken: return "missing or wrong token: open the address watchcam preview printed";
    }
    return "refused";
}

RequestGuard::RequestGuard(std::string token, std::vector<std::string> hosts)
    : token_(std::move(token)), hosts_(std::move(hosts))
{ }

Verdict RequestGuard::check(const RequestFacts& r) const
{
    if (r.targetBytes > kMaxTargetBytes || r.bodyBytes > kMaxBodyBytes) return Verdict::TooLarge;
    bool hostKnown = false;
    for (const std::string& h : hosts_) hostKnown = hostKnown || h == r.host;
    if (!hostKnown) return Verdict::BadHost;
    // The browser says where a request comes from; only this server's own pages may ask.
    if (!r.fetchSite.empty() && r.fetchSite != "same-origin" && r.fetchSite != "none")
        return Verdict::CrossOrigin;
    if (!r.origin.empty() && r.origin != "http://" + r.host) return Verdict::CrossOrigin;
    const std::string cookie = cookieValue(r.cookieHeader, kTokenCookie);
    if (!sameToken(r.queryToken, token_) && !sameToken(cookie, token_)) return Verdict::NoToken;
    return Verdict::Allowed;
}

namespace {

std::string realFolder(const std::string& path)
{
    char resolved[PATH_MAX];
    if (!realpath(path.empty() ? "." : path.c_str(), resolved)) return {};
    struct stat s { };
    if (stat(resolved, &s) != 0 || !S_ISDIR(s.st_mode)) return {};
    return resolved;
}

}  // namespace

AllowedFolders::AllowedFolders(const std::vector<std::string>& folders)
{
    for (const std::string& f : folders) {
        const std::string real = realFolder(f);
        if (real.empty()) continue;
        bool seen = false;
        for (const std::string& k : folders_) seen = seen || k == real;
        if (!seen) folders_.push_back(real);
    }
}

std::string AllowedFolders::resolve(const std::string& path) const
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") throw PathRefused("\"" + path + "\" names no file");
    if (name[0] == '.') throw PathRefused("\"" + path + "\": hidden files are not read or written");
    if (name.size() > 255) throw PathRefused("\"" + name.substr(0, 40) + "...\": the name is too long");
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20)
            throw PathRefused("\"" + path + "\": the name holds a control character");
    const std::string real = realFolder(folder);
    bool allowed = false;
    for (const std::string& f : folders_) allowed = allowed || (!real.empty() && f == real);
    if (!allowed) {
        std::string list;
        for (const std::string& f : folders_) list += (list.empty() ? "" : ", ") + f;
        throw PathRefused("\"" + path + "\" is outside the folders the preview may use (" + list + ")");
    }
    const std::string full = (real == "/" ? std::string() : real) + "/" + name;
    struct stat s { };
    if (lstat(full.c_str(), &s) == 0 && !S_ISREG(s.st_mode))
        throw PathRefused("\"" + path + "\" is a link or not a regular file");
    return full;
}

}  // namespace Kiln::Preview
