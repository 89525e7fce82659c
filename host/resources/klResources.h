#pragma once
// Resources compiled into the module, looked up the way a module's resource table is:
// bitmaps by name, strings by numeric id. Everything returned is static and read-only,
// so nothing needs freeing and any thread may read it.
#include <cstdint>

struct KlBitmap {
    int32_t width;
    int32_t height;
    int32_t rowBytes;
    const uint8_t* pixels;  // 8-bit A, R, G, B per pixel, rows from the top
};

// The bitmap of that name ("IDB_TITLE"), nullptr when there is none.
const KlBitmap* klFindBitmap(const char* name);
// String-table entry `id` (1 the description, 2 the obsolescence sentence), nullptr when there is none.
const char* klLoadString(int id);
