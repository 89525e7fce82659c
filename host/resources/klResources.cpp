#include "host/resources/klResources.h"

#include <cstring>

// Generated at build time by klTitleGen: kTitleWidth, kTitleHeight, kTitlePixels.
#include "klTitleBitmap.inc"

namespace {

const KlBitmap kTitle = {kTitleWidth, kTitleHeight, kTitleWidth * 4, kTitlePixels};

struct NamedBitmap {
    const char* name;
    const KlBitmap* bitmap;
};
const NamedBitmap kBitmaps[] = {{"IDB_TITLE", &kTitle}};

struct StringEntry {
    int id;
    const char* text;
};
const StringEntry kStrings[] = {
    {1, "Footage as a security camera films it\n"
        "and a worn monitor shows it:\n"
        "dropped frames, a fisheye lens, blur,\n"
        "few colours, a tint, interference,\n"
        "snow, scan lines and the white dot."},
    {2, "Lanternfly is not obsolete."},
};

}  // namespace

const KlBitmap* klFindBitmap(const char* name)
{
    if (name == nullptr) return nullptr;
    for (const NamedBitmap& b : kBitmaps)
        if (std::strcmp(b.name, name) == 0) return b.bitmap;
    return nullptr;
}

const char* klLoadString(int id)
{
    for (const StringEntry& s : kStrings)
        if (s.id == id) return s.text;
    return nullptr;
}
