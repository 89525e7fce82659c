#pragma once
// The About box: a 500 x 500 picture with the splash "Splash.bmp" found beside the module (or a
// white background), the effect's name, its description and its version, shown in a window titled
// "About..." when a display is available and drawn into the host's canvas otherwise.
//
// Layout, in pixels from the box's top-left corner: every text starts at x = 80; the effect's
// name at y = 77; the description below it, one line per CR- or LF-separated piece, 17 pixels
// apart (an empty piece still takes its line); the version line at y = 410. Text is black, drawn
// over the background with no box of its own, each line's cell 16 pixels high from its y.
//
// Placement on the screen, in dialog units with the base units bx and by:
//   x = (4 * (screenWidth / d) - 1000) / bx    d = 4 on screens wider than 1680 pixels, else 2
//   y = 8 * (screenHeight / 2 - 250) / by
//   width = 2000 / bx, height = 4000 / by     (integer divisions)
// and in pixels x * bx / 4, y * by / 8 (rounded), so that the box is centred on screens up to
// 1680 pixels wide and sits in the left half's middle on wider (double-width) ones.
#include "host/klBmp.h"
#include "sdk/klHostAPI.h"

#include <string>
#include <string_view>
#include <vector>

namespace Kiln::AfterEffects::About {

inline constexpr int kBoxSize = 500;
inline constexpr int kTextLeft = 80;
inline constexpr int kNameTop = 77;
inline constexpr int kLineStep = 17;
inline constexpr int kVersionTop = 410;
inline constexpr int kCellHeight = 16;
// Description text beyond this many characters is not shown.
inline constexpr size_t kDescriptionLimit = 2047;
// The base units of the classic system dialog font.
inline constexpr int kBaseUnitX = 8;
inline constexpr int kBaseUnitY = 16;
inline constexpr const char* kWindowTitle = "About...";
inline constexpr const char* kSplashName = "Splash.bmp";

struct BoxRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const BoxRect&) const = default;
};

// The box in dialog units on a screen of that size (base units below 1 count as 1).
BoxRect placementInDialogUnits(int screenWidth, int screenHeight, int baseX, int baseY);
// Dialog units to pixels.
BoxRect dialogUnitsToPixels(const BoxRect& units, int baseX, int baseY);
// The box in pixels with kBaseUnitX and kBaseUnitY, moved onto the screen where the formula
// would put its corner above or left of it (screens under 500 pixels high).
BoxRect placementInPixels(int screenWidth, int screenHeight);

struct TextLine {
    int x = 0;
    int y = 0;
    std::string text;
    bool operator==(const TextLine&) const = default;
};

// "Version <major>.<minor><build>", e.g. "Version 2.1v5".
std::string versionLine(int major, int minor, const char* build);
// The lines of the box: the name, the description's pieces (none without one), the version.
std::vector<TextLine> layoutText(std::string_view name, const char* description, std::string_view version);

// "Splash.bmp" in the directory of the resource file ("" without a resource path).
std::string splashFileFor(const char* resourcePath);
// The process-wide splash path, written just before the box opens.
void setSplashPath(const char* resourcePath);
std::string splashPath();

// Draws text in black with its cell's top-left corner at (x, y), clipped to the picture.
// Characters outside ASCII 32..126 take their place but show nothing.
void drawText(Bmp::Picture& picture, int x, int y, std::string_view text);
// Paints the box into `picture`: the splash at (0, 0) at its own size when there is one, else
// white, then the lines.
void paintBox(Bmp::Picture& picture, const Bmp::Picture* splash, const std::vector<TextLine>& lines);
// The 500 x 500 box of this module with the splash read from `splashFile` ("" for none).
Bmp::Picture renderBox(const std::string& splashFile);

// Copies the picture into an 8-bit host canvas at (0, 0), clipped to the canvas; false (nothing
// drawn) for a canvas without pixels or of another depth.
bool copyToCanvas(const Bmp::Picture& picture, PF_EffectWorld& canvas);

// Shows the picture in a window titled "About..." over `owner` (an X window id, 0 for none),
// placed by placementInPixels, until a left click in it or a close request (a client message such
// as WM_DELETE_WINDOW); key presses are swallowed. False, showing nothing, when no display can be
// opened.
bool showAboutWindow(unsigned long owner, const Bmp::Picture& picture);

}  // namespace Kiln::AfterEffects::About
