// The preview server's request checks: token, Host, origin, sizes, and the folders files may be in.
#include "preview/klPreviewGuard.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace Kiln::Preview;

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

RequestFacts allowed()
{
    RequestFacts f;
    f.host = "127.0.0.1:8731";
    f.cookieHeader = "other=1; watchcam_token=" + kToken;
    return f;
}

RequestGuard guard() { return RequestGuard(kToken, allowedHosts("127.0.0.1", 8731)); }

}  // namespace

TEST(PreviewGuard, TokensAreRandomAndComparedWhole)
{
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::string t = newToken();
        EXPECT_EQ(t.size(), 32u);
        EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos);
        seen.insert(t);
    }
    EXPECT_EQ(seen.size(), 50u);
    EXPECT_TRUE(sameToken(kToken, kToken));
    EXPECT_FALSE(sameToken(kToken, kToken.substr(0, 31)));
    EXPECT_FALSE(sameToken(kToken, kToken + "0"));
    EXPECT_FALSE(sameToken(kToken, "1" + kToken.substr(1)));
    EXPECT_FALSE(sameToken("", ""));  // an empty token never matches

    EXPECT_EQ(cookieValue("a=1; watchcam_token=xyz; b=2", "watchcam_token"), "xyz");
    EXPECT_EQ(cookieValue("watchcam_token=xyz", "watchcam_token"), "xyz");
    EXPECT_EQ(cookieValue("xwatchcam_token=xyz", "watchcam_token"), "");
    EXPECT_EQ(cookieValue("watchcam_tokens=xyz", "watchcam_token"), "");
    EXPECT_EQ(cookieValue("", "watchcam_token"), "");
}

TEST(PreviewGuard, EveryRequestNeedsTheTokenFromItsHostAndOrigin)
{
    const RequestGuard g = guard();
    EXPECT_EQ(g.check(allowed()), Verdict::Allowed);

    RequestFacts f = allowed();
    f.cookieHeader.clear();
    EXPECT_EQ(g.check(f), Verdict::NoToken);
    f.queryToken = kToken;  // the first page load
    EXPECT_EQ(g.check(f), Verdict::Allowed);
    f.queryToken = kToken.substr(0, 31) + "0";
    EXPECT_EQ(g.check(f), Verdict::NoToken);
    f.cookieHeader = "watchcam_token=" + kToken.substr(1);
    EXPECT_EQ(g.check(f), Verdict::NoToken);

    // DNS rebinding: another name resolving to this address, or this address on another port.
    for (const char* host : {"evil.example:8731", "127.0.0.1", "127.0.0.1:80", "127.0.0.1:87310", "",
                             "[::1]:8731", "127.0.0.1:8731.evil.example"}) {
        f = allowed();
        f.host = host;
        EXPECT_EQ(g.check(f), Verdict::BadHost) << host;
    }
    f = allowed();
    f.host = "localhost:8731";
    EXPECT_EQ(g.check(f), Verdict::Allowed);

    // Cross-origin: what the browser says of where a request comes from.
    f = allowed();
    f.origin = "http://evil.example";
    EXPECT_EQ(g.check(f), Verdict::CrossOrigin);
    f.origin = "http://127.0.0.1:8731";
    EXPECT_EQ(g.check(f), Verdict::Allowed);
    f.origin = "http://localhost:8731";  // another origin, even if the same machine
    EXPECT_EQ(g.check(f), Verdict::CrossOrigin);
    f = allowed();
    for (const char* site : {"cross-site", "same-site"}) {
        f.fetchSite = site;
        EXPECT_EQ(g.check(f), Verdict::CrossOrigin) << site;
    }
    for (const char* site : {"same-origin", "none"}) {
        f.fetchSite = site;
        EXPECT_EQ(g.check(f), Verdict::Allowed) << site;
    }

    // Sizes: at the bound passes, beyond it is refused, before anything else is looked at.
    f = allowed();
    f.bodyBytes = kMaxBodyBytes;
    f.targetBytes = kMaxTargetBytes;
    EXPECT_EQ(g.check(f), Verdict::Allowed);
    f.bodyBytes = kMaxBodyBytes + 1;
    f.host = "evil.example:8731";
    EXPECT_EQ(g.check(f), Verdict::TooLarge);
    f = allowed();
    f.targetBytes = kMaxTargetBytes + 1;
    EXPECT_EQ(g.check(f), Verdict::TooLarge);

    EXPECT_EQ(statusOf(Verdict::NoToken), 403);
    EXPECT_EQ(statusOf(Verdict::BadHost), 421);
    EXPECT_EQ(statusOf(Verdict::TooLarge), 413);
}

TEST(PreviewGuard, HostsOfTheBoundAddress)
{
    const auto loop = allowedHosts("127.0.0.1", 9000);
    EXPECT_EQ(loop, (std::vector<std::string>{"127.0.0.1:9000", "localhost:9000"}));
    const auto other = allowedHosts("192.168.7.9", 9000);
    EXPECT_EQ(other, (std::vector<std::string>{"192.168.7.9:9000"}));  // no loopback names: not listened on
    const auto any = allowedHosts("0.0.0.0", 9000);
    EXPECT_NE(std::find(any.begin(), any.end(), "127.0.0.1:9000"), any.end());
    EXPECT_NE(std::find(any.begin(), any.end(), "localhost:9000"), any.end());
}

TEST(PreviewGuard, FilesOnlyByPlainNameInTheAllowedFolders)
{
    std::string pattern = (fs::temp_directory_path() / "watchcam-guard-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = fs::canonical(pattern);
    fs::create_directory(dir / "out");
    fs::create_directory(dir / "out" / "sub");
    std::ofstream(dir / "out" / "look.xml") << "<paramset/>";
    fs::create_symlink("/etc/hostname", dir / "out" / "link.xml");
    fs::create_directory_symlink(dir / "out", dir / "alias");
    const std::string old = fs::current_path();
    fs::current_path(dir);

    const AllowedFolders folders({".", "out", "missing"});
    EXPECT_EQ(folders.folders(), (std::vector<std::string>{dir.string(), (dir / "out").string()}));

    EXPECT_EQ(folders.resolve("new.xml"), (dir / "new.xml").string());
    EXPECT_EQ(folders.resolve("out/look.xml"), (dir / "out" / "look.xml").string());
    EXPECT_EQ(folders.resolve((dir / "out" / "look.xml").string()), (dir / "out" / "look.xml").string());
    EXPECT_EQ(folders.resolve("./out/../out/x.%04d.png"), (dir / "out" / "x.%04d.png").string());
    EXPECT_EQ(folders.resolve("alias/look.xml"), (dir / "out" / "look.xml").string());  // the same folder
    for (const std::string& bad :
         std::vector<std::string>{"", ".", "..", "out/", "../x.xml", "/etc/passwd", "/tmp/x.xml",
                                  "out/sub/x.xml", "nowhere/x.xml", ".hidden.xml", "out/.look.xml.lock",
                                  "out/link.xml", "out/sub", std::string("a\nb.xml"), std::string(300, 'x')})
        EXPECT_THROW(folders.resolve(bad), PathRefused) << bad;

    fs::current_path(old);
    fs::remove_all(dir);
}
