#include "footage/klCompression.h"

#include <algorithm>

namespace Kiln::Footage {

const std::vector<std::string>& compressionChoices(const std::string& ext)
{
    static const std::vector<std::string> exr{"zip",   "none", "rle",  "zips", "piz",
                                              "pxr24", "b44",  "b44a", "dwaa", "dwab"};
    static const std::vector<std::string> tiff{"zip", "none", "lzw", "packbits"};
    static const std::vector<std::string> png{"zip", "none"};
    static const std::vector<std::string> nothing;
    if (ext == "exr") return exr;
    if (ext == "tif" || ext == "tiff") return tiff;
    if (ext == "png") return png;
    return nothing;
}

std::string compressionRefusal(const std::string& ext, const std::string& name)
{
    const std::vector<std::string>& choices = compressionChoices(ext);
    if (choices.empty())
        return "--compression is for EXR, TIFF and PNG outputs; " +
               (ext.empty() ? std::string("this output") : "a ." + ext + " output") + " has none to choose";
    if (std::find(choices.begin(), choices.end(), name) != choices.end()) return {};
    std::string list;
    for (size_t i = 0; i < choices.size(); ++i)
        list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
    const std::string format = ext == "exr" ? "EXR" : ext == "png" ? "PNG" : "TIFF";
    return "--compression " + name + (ext == "exr" ? ": an " : ": a ") + format + " output takes " + list;
}

std::string compressionFor(const std::string& ext, const std::string& chosen)
{
    if (!chosen.empty()) return chosen;
    const std::vector<std::string>& choices = compressionChoices(ext);
    return choices.empty() ? std::string() : choices.front();
}

}  // namespace Kiln::Footage
