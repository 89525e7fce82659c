// The About box as an X11 window: the picture put into a fixed-size dialog over the owner, kept
// open by its own event loop (the caller waits, as for a modal dialog) until a left click or a
// close request.
//
// The host's process must survive whatever the X server does: protocol errors (a stale owner id)
// are ignored while the box is open instead of ending the process, and a lost connection ends
// the box instead of the process.
#include "host/klAboutBox.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>

#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>

namespace Kiln::AfterEffects::About {

namespace {

// The box's own connection, and the handlers that were in place before it opened. The handlers
// are process-wide: failures on any other connection go on to the previous ones.
std::atomic<Display*> gBoxDisplay{nullptr};
XErrorHandler gPreviousErrorHandler = nullptr;
XIOErrorHandler gPreviousIOErrorHandler = nullptr;

int onProtocolError(Display* display, XErrorEvent* event)
{
    if (display != gBoxDisplay && gPreviousErrorHandler) return gPreviousErrorHandler(display, event);
    return 0;
}

// Returning (instead of the default handler's exit) hands over to the connection's exit handler.
int onConnectionError(Display* display)
{
    if (display != gBoxDisplay && gPreviousIOErrorHandler) return gPreviousIOErrorHandler(display);
    return 0;
}

void connectionLost(Display*, void* lost) { *static_cast<bool*>(lost) = true; }

// The box's handlers for the life of the scope; the previous ones come back after.
class ErrorHandlerScope {
public:
    explicit ErrorHandlerScope(Display* display)
    {
        gBoxDisplay = display;
        gPreviousErrorHandler = XSetErrorHandler(&onProtocolError);
        gPreviousIOErrorHandler = XSetIOErrorHandler(&onConnectionError);
    }
    ~ErrorHandlerScope()
    {
        XSetErrorHandler(gPreviousErrorHandler);
        XSetIOErrorHandler(gPreviousIOErrorHandler);
        gBoxDisplay = nullptr;
    }
    ErrorHandlerScope(const ErrorHandlerScope&) = delete;
    ErrorHandlerScope& operator=(const ErrorHandlerScope&) = delete;
};

// One channel of a true-colour pixel value.
unsigned long channelBits(uint8_t value, unsigned long mask)
{
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const unsigned long most = mask >> shift;
    return ((value * most + 127) / 255) << shift;
}

// The picture in the screen's pixel format; null when it cannot be made.
XImage* makeImage(Display* display, int screen, const Bmp::Picture& picture)
{
    Visual* visual = DefaultVisual(display, screen);
    const unsigned depth = static_cast<unsigned>(DefaultDepth(display, screen));
    XImage* image =
        XCreateImage(display, visual, depth, ZPixmap, 0, nullptr, static_cast<unsigned>(picture.width),
                     static_cast<unsigned>(picture.height), 32, 0);
    if (image == nullptr) return nullptr;
    image->data = static_cast<char*>(std::malloc(size_t(image->bytes_per_line) * size_t(picture.height)));
    if (image->data == nullptr) {
        XDestroyImage(image);
        return nullptr;
    }
    const bool trueColour = visual->c_class == TrueColor || visual->c_class == DirectColor;
    const unsigned long white = WhitePixel(display, screen), black = BlackPixel(display, screen);
    for (int y = 0; y < picture.height; ++y) {
        const uint8_t* p = picture.row(y);
        for (int x = 0; x < picture.width; ++x, p += 4) {
            unsigned long value;
            if (trueColour)
                value = channelBits(p[1], visual->red_mask) | channelBits(p[2], visual->green_mask) |
                        channelBits(p[3], visual->blue_mask);
            else
                value = (p[1] * 30 + p[2] * 59 + p[3] * 11) >= 12750 ? white : black;
            XPutPixel(image, x, y, value);
        }
    }
    return image;
}

void setAtomProperty(Display* display, Window window, const char* property, const char* value)
{
    Atom atom = XInternAtom(display, value, False);
    XChangeProperty(display, window, XInternAtom(display, property, False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&atom), 1);
}

Window createWindow(Display* display, int screen, unsigned long owner, const Bmp::Picture& picture)
{
    const BoxRect at = placementInPixels(DisplayWidth(display, screen), DisplayHeight(display, screen));
    XSetWindowAttributes attributes{};
    attributes.background_pixel = WhitePixel(display, screen);
    attributes.event_mask =
        ExposureMask | ButtonPressMask | KeyPressMask | KeyReleaseMask | StructureNotifyMask;
    const Window window =
        XCreateWindow(display, RootWindow(display, screen), at.x, at.y, static_cast<unsigned>(picture.width),
                      static_cast<unsigned>(picture.height), 0, CopyFromParent, InputOutput, CopyFromParent,
                      CWBackPixel | CWEventMask, &attributes);

    XStoreName(display, window, kWindowTitle);
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                    XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(kWindowTitle), int(std::strlen(kWindowTitle)));
    // A fixed-size dialog where the formula puts it.
    XSizeHints* hints = XAllocSizeHints();
    if (hints) {
        hints->flags = USPosition | PPosition | PSize | PMinSize | PMaxSize;
        hints->x = at.x;
        hints->y = at.y;
        hints->width = hints->min_width = hints->max_width = picture.width;
        hints->height = hints->min_height = hints->max_height = picture.height;
        XSetWMNormalHints(display, window, hints);
        XFree(hints);
    }
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &deleteWindow, 1);
    setAtomProperty(display, window, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DIALOG");
    if (owner != 0) {
        XSetTransientForHint(display, window, static_cast<Window>(owner));
        setAtomProperty(display, window, "_NET_WM_STATE", "_NET_WM_STATE_MODAL");
    }
    XMapRaised(display, window);
    return window;
}

// Runs the box until it is closed or the connection is lost.
void eventLoop(Display* display, Window window, GC gc, XImage* image, const bool& lost)
{
    const int fd = ConnectionNumber(display);
    bool open = true;
    while (open && !lost) {
        while (open && !lost && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.xany.window != window) continue;
            switch (event.type) {
            case Expose:
                XPutImage(display, window, gc, image, event.xexpose.x, event.xexpose.y, event.xexpose.x,
                          event.xexpose.y, static_cast<unsigned>(event.xexpose.width),
                          static_cast<unsigned>(event.xexpose.height));
                break;
            case ButtonPress:
                if (event.xbutton.button == Button1) open = false;
                break;
            case ClientMessage:
                // WM_DELETE_WINDOW or any other command closes the box.
                open = false;
                break;
            case DestroyNotify: return;
            default:  // keys and the rest are swallowed
                break;
            }
        }
        if (!open || lost) break;
        pollfd wait{fd, POLLIN, 0};
        poll(&wait, 1, 250);
    }
    if (!lost) {
        XDestroyWindow(display, window);
        XSync(display, False);
    }
}

}  // namespace

bool showAboutWindow(unsigned long owner, const Bmp::Picture& picture)
{
    if (picture.empty()) return false;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    bool lost = false;
    XSetIOErrorExitHandler(display, &connectionLost, &lost);
    // Closing a lost connection fails too: it stays inside the handlers' scope.
    ErrorHandlerScope errors(display);
    const int screen = DefaultScreen(display);
    XImage* image = makeImage(display, screen, picture);
    if (image != nullptr) {
        const Window window = createWindow(display, screen, owner, picture);
        GC gc = XCreateGC(display, window, 0, nullptr);
        eventLoop(display, window, gc, image, lost);
        if (!lost) XFreeGC(display, gc);
        XDestroyImage(image);
    }
    if (!lost) XSync(display, False);
    XCloseDisplay(display);
    return true;
}

}  // namespace Kiln::AfterEffects::About
