#pragma once
// How picture files are compressed: the user's choice (--compression) for the formats whose writers offer
// one, checked against the output's format before anything is read.
//
//   EXR   none, rle, zip (default: zlib, 16 rows a block), zips (one row a block), piz, pxr24, b44, b44a,
//         dwaa, dwab. none, rle, zip, zips and piz keep every bit; pxr24 rounds float to 24 bits; b44,
//         b44a, dwaa and dwab are lossy (b44 and b44a only on the half-float files of 8 and 16-bit renders)
//   TIFF  none, lzw, zip (default), packbits; all lossless
//   PNG   zip (default: deflate at level 6), none (deflate's stored blocks, level 0); both lossless
#include <string>
#include <vector>

namespace Kiln::Footage {

// The choices of a lower-case file extension, the default first; none for formats without a choice.
const std::vector<std::string>& compressionChoices(const std::string& lowerExtension);

// What is wrong with `name` for an output of that extension ("" when it applies): a one-line cause.
std::string compressionRefusal(const std::string& lowerExtension, const std::string& name);

// The compression a file of that extension is written with when `chosen` is empty: the default.
std::string compressionFor(const std::string& lowerExtension, const std::string& chosen);

}  // namespace Kiln::Footage
