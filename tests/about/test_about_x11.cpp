// The About window on a real X server: a private Xvfb started by the test. The box is opened by
// PF_Cmd_ABOUT through the substitute host in a child process (it blocks until closed, as a modal
// dialog does); the test looks at the screen, sends input and checks how the box ends.
#include "host/klAboutBox.h"
#include "host/resources/klResources.h"
#include "runner/klRunner.h"

// Before Xlib, whose None and Bool macros would rename gtest's own.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace About = Kiln::AfterEffects::About;
using Kiln::Bmp::Picture;
using namespace std::chrono_literals;

namespace {

constexpr int kScreenWidth = 1280, kScreenHeight = 1024;

bool onPath(const char* program)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// A private X server for the life of the object; it chooses a free display number itself.
class Xvfb {
public:
    Xvfb()
    {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> args = {
            "Xvfb",
            "-displayfd",
            std::to_string(fds[1]),
            "-screen",
            "0",
            std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24",
            "-nolisten",
            "tcp"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        // The server writes its display number once it accepts connections.
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            char c;
            if (read(fds[0], &c, 1) != 1) break;
            if (c == '\n') {
                name_ = ":" + number;
                break;
            }
            number += c;
        }
        close(fds[0]);
    }
    ~Xvfb() { stop(); }
    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;
    const std::string& name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
};

// A child process that sends PF_Cmd_ABOUT to the built module on a host with a user interface and
// exits 0 when the box went to a window (the host's canvas left untouched), 3 when it was drawn
// into the canvas, 4 on a failure.
pid_t openBoxInChild(const std::string& display)
{
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setenv("DISPLAY", display.c_str(), 1);
    int code = 4;
    try {
        auto module = Kiln::Runner::Module::load(KL_TEST_MODULE);
        Kiln::Runner::HostSettings settings;
        settings.width = 16;
        settings.height = 16;
        settings.headless = false;
        Kiln::Runner::Host host(*module, settings);
        const Kiln::Runner::Image canvas = host.about();
        code = 0;
        for (uint8_t b : canvas.pixels)
            if (b != 0) code = 3;
    } catch (...) {
        code = 4;
    }
    _exit(code);
}

// A child process that shows the box over `owner` with the window code alone; exits 0 once it closes.
pid_t showBoxInChild(const std::string& display, unsigned long owner)
{
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setenv("DISPLAY", display.c_str(), 1);
    _exit(About::showAboutWindow(owner, About::renderBox("")) ? 0 : 5);
}

// Polls `done` until it holds or `limit` passes; whether it held.
template <class F>
bool within(std::chrono::milliseconds limit, F done)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The child's exit status once it ends within `limit`; nothing while it still runs.
std::optional<int> waitForChild(pid_t pid, std::chrono::milliseconds limit)
{
    int status = 0;
    if (!within(limit, [&] { return waitpid(pid, &status, WNOHANG) == pid; })) return std::nullopt;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void endChild(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// The viewable top-level window titled "About...", 0 when there is none.
Window findBox(Display* d)
{
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) return 0;
    for (unsigned i = 0; i < count && !found; ++i) {
        char* name = nullptr;
        if (XFetchName(d, children[i], &name) && name) {
            XWindowAttributes a;
            if (std::strcmp(name, About::kWindowTitle) == 0 && XGetWindowAttributes(d, children[i], &a) &&
                a.map_state == IsViewable)
                found = children[i];
            XFree(name);
        }
    }
    if (children) XFree(children);
    return found;
}

Window waitForBox(Display* d, std::chrono::milliseconds limit)
{
    Window w = 0;
    within(limit, [&] { return (w = findBox(d)) != 0; });
    return w;
}

bool waitForNoBox(Display* d, std::chrono::milliseconds limit)
{
    return within(limit, [&] { return findBox(d) == 0; });
}

// The screen's pixels in a rectangle, as a picture.
Picture screenshot(Display* d, int x, int y, int width, int height)
{
    XImage* image =
        XGetImage(d, DefaultRootWindow(d), x, y, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
    Picture p = Picture::filled(width, height, 255, 0, 0, 0);
    if (image == nullptr) return {};
    const auto channel = [](unsigned long v, unsigned long mask) {
        const int shift = __builtin_ctzl(mask);
        return uint8_t(((v & mask) >> shift) * 255 / (mask >> shift));
    };
    for (int j = 0; j < height; ++j)
        for (int i = 0; i < width; ++i) {
            const unsigned long v = XGetPixel(image, i, j);
            uint8_t* px = p.row(j) + i * 4;
            px[1] = channel(v, image->red_mask);
            px[2] = channel(v, image->green_mask);
            px[3] = channel(v, image->blue_mask);
        }
    XDestroyImage(image);
    return p;
}

// Polls the screen until the rectangle shows `expected` (the box paints on its first expose).
bool screenShows(Display* d, const About::BoxRect& at, const Picture& expected,
                 std::chrono::milliseconds limit, Picture* seen)
{
    return within(limit, [&] {
        *seen = screenshot(d, at.x, at.y, at.width, at.height);
        return seen->pixels == expected.pixels;
    });
}

int inkRow(const Picture& p, int from, int to)
{
    for (int y = from; y < to; ++y)
        for (int x = 0; x < p.width; ++x)
            if (p.row(y)[x * 4 + 1] == 0 && p.row(y)[x * 4 + 2] == 0 && p.row(y)[x * 4 + 3] == 0) return y;
    return -1;
}

void closeRequest(Display* d, Window w)
{
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &e);
    XFlush(d);
}

// A button press, or with button 0 a key press, sent to the window.
void press(Display* d, Window w, int button)
{
    XEvent e{};
    e.type = button ? ButtonPress : KeyPress;
    e.xany.window = w;
    if (button) {
        e.xbutton.button = unsigned(button);
        e.xbutton.same_screen = True;
    } else {
        e.xkey.keycode = XKeysymToKeycode(d, XK_Escape);
    }
    XSendEvent(d, w, False, button ? ButtonPressMask : KeyPressMask, &e);
    XFlush(d);
}

struct DisplayEnv {
    std::optional<std::string> saved;
    explicit DisplayEnv(const std::string& name)
    {
        if (const char* d = std::getenv("DISPLAY")) saved = d;
        setenv("DISPLAY", name.c_str(), 1);
    }
    ~DisplayEnv()
    {
        if (saved)
            setenv("DISPLAY", saved->c_str(), 1);
        else
            unsetenv("DISPLAY");
    }
};

std::string propertyAtom(Display* d, Window w, const char* property)
{
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = nullptr;
    std::string name;
    if (XGetWindowProperty(d, w, XInternAtom(d, property, False), 0, 1, False, XA_ATOM, &type, &format,
                           &items, &after, &data) == Success &&
        data && items == 1) {
        char* text = XGetAtomName(d, *reinterpret_cast<Atom*>(data));
        if (text) name = text;
        XFree(text);
    }
    if (data) XFree(data);
    return name;
}

}  // namespace

// One server for the window's life: where it opens, what it shows, what closes it, and who owns it.
TEST(AboutWindow, OpensWhereTheFormulaSaysShowsTheBoxAndClosesOnAClickOrARequest)
{
    if (!onPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    Xvfb server;
    ASSERT_FALSE(server.name().empty()) << "Xvfb did not start";
    DisplayEnv env(server.name());

    const pid_t child = openBoxInChild(server.name());
    Display* d = XOpenDisplay(server.name().c_str());
    ASSERT_NE(d, nullptr);
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });  // an input sent to a box already gone
    const Window box = waitForBox(d, 20s);
    if (box == 0) endChild(child);
    ASSERT_NE(box, 0u) << "no window titled About...";

    // Where the formula puts it on a 1280 x 1024 screen, 500 x 500, a dialog without an owner.
    const About::BoxRect at = About::placementInPixels(kScreenWidth, kScreenHeight);
    EXPECT_EQ(at, (About::BoxRect{390, 262, 500, 500}));
    XWindowAttributes a;
    ASSERT_TRUE(XGetWindowAttributes(d, box, &a));
    EXPECT_EQ(a.x, at.x);
    EXPECT_EQ(a.y, at.y);
    EXPECT_EQ(a.width, 500);
    EXPECT_EQ(a.height, 500);
    EXPECT_EQ(propertyAtom(d, box, "_NET_WM_WINDOW_TYPE"), "_NET_WM_WINDOW_TYPE_DIALOG");
    XSizeHints hints{};
    long supplied = 0;
    ASSERT_TRUE(XGetWMNormalHints(d, box, &hints, &supplied));
    EXPECT_EQ(hints.min_width, 500);
    EXPECT_EQ(hints.max_height, 500);

    // The screen shows exactly the picture the box draws without a display.
    const Picture expected = About::renderBox(About::splashFileFor(KL_TEST_MODULE));
    Picture seen;
    EXPECT_TRUE(screenShows(d, at, expected, 10s, &seen)) << "the screen does not show the box";
    EXPECT_EQ(inkRow(seen, 0, 500), 77 + 2);  // the name's first ink ("Q" starts two rows down)
    EXPECT_EQ(inkRow(seen, 94, 111), 94 + 2);  // the first description line
    EXPECT_NE(inkRow(seen, 410, 426), -1);  // the version line
    const std::string description = klLoadString(1);
    const int afterText = 94 + 17 * int(1 + std::count(description.begin(), description.end(), '\n'));
    EXPECT_EQ(inkRow(seen, afterText, 410), -1);  // nothing between the description and the version
    EXPECT_EQ(inkRow(seen, 426, 500), -1);

    // Keys and other buttons than the first leave it open; a left click closes it, and the command
    // returns having drawn nothing into the host's canvas.
    press(d, box, 0);
    press(d, box, 3);
    EXPECT_FALSE(waitForChild(child, 500ms).has_value()) << "the box closed without a left click";
    press(d, box, 1);
    std::optional<int> status = waitForChild(child, 10s);
    if (!status) endChild(child);
    EXPECT_EQ(status, std::optional<int>(0)) << "the box did not close on a click";
    EXPECT_TRUE(waitForNoBox(d, 5s)) << "the window is still there";

    // Over an owner window: a transient, modal dialog of that window, closed by the window manager's request.
    const Window owner = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 800, 600, 0, 0, 0);
    XMapWindow(d, owner);
    XSync(d, False);
    const pid_t second = showBoxInChild(server.name(), owner);
    const Window owned = waitForBox(d, 20s);
    if (owned == 0) endChild(second);
    ASSERT_NE(owned, 0u);
    Window transientFor = 0;
    EXPECT_TRUE(XGetTransientForHint(d, owned, &transientFor));
    EXPECT_EQ(transientFor, owner);
    EXPECT_EQ(propertyAtom(d, owned, "_NET_WM_STATE"), "_NET_WM_STATE_MODAL");
    closeRequest(d, owned);
    status = waitForChild(second, 10s);
    if (!status) endChild(second);
    EXPECT_EQ(status, std::optional<int>(0)) << "the box did not close on WM_DELETE_WINDOW";
    EXPECT_TRUE(waitForNoBox(d, 5s));

    // A headless host gets the picture in its canvas even with a display at hand, and no window.
    auto module = Kiln::Runner::Module::load(KL_TEST_MODULE);
    Kiln::Runner::HostSettings settings;
    settings.width = 16;
    settings.height = 16;
    Kiln::Runner::Host host(*module, settings);
    EXPECT_EQ(host.about().pixels, expected.pixels);
    EXPECT_EQ(findBox(d), 0u);
    XCloseDisplay(d);
}

TEST(AboutWindow, NoDisplayMeansNoWindow)
{
    // A display name nobody serves: the window code says so and shows nothing.
    DisplayEnv env(":2147483000");
    EXPECT_FALSE(About::showAboutWindow(0, About::renderBox("")));
    EXPECT_FALSE(About::showAboutWindow(0, Picture{}));
    // A host with a user interface then gets the picture in its canvas.
    auto module = Kiln::Runner::Module::load(KL_TEST_MODULE);
    Kiln::Runner::HostSettings s;
    s.headless = false;
    Kiln::Runner::Host host(*module, s);
    EXPECT_EQ(host.about().pixels, About::renderBox(About::splashFileFor(KL_TEST_MODULE)).pixels);
}

TEST(AboutWindow, ALostServerEndsTheBoxNotTheHost)
{
    if (!onPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    Xvfb server;
    ASSERT_FALSE(server.name().empty()) << "Xvfb did not start";
    const pid_t child = openBoxInChild(server.name());
    Display* d = XOpenDisplay(server.name().c_str());
    ASSERT_NE(d, nullptr);
    const Window box = waitForBox(d, 20s);
    if (box == 0) endChild(child);
    ASSERT_NE(box, 0u);
    // The test's own connection goes too; it is left unclosed, as Xlib's default handler would
    // end this process on any further use.
    XSetIOErrorHandler([](Display*) -> int { return 0; });
    XSetIOErrorExitHandler(
        d, [](Display*, void*) {}, nullptr);
    server.stop();
    // The command returns normally: the host process carries on.
    const std::optional<int> status = waitForChild(child, 10s);
    if (!status) endChild(child);
    ASSERT_TRUE(status.has_value()) << "the box did not end with its server";
    EXPECT_EQ(*status, 0);
}
