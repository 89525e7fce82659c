// The page's files, built into the program from preview/page/ (see CMakeLists.txt).
#ifndef KL_PREVIEW_PAGE_H
#define KL_PREVIEW_PAGE_H

#include <string_view>

namespace Kiln::Preview {

struct PageFile {
    std::string_view content;
    const char* type;  // MIME type
};

// The file of that name ("index.html", "preview.js", ...); content empty when there is none.
PageFile pageFile(std::string_view name);

}  // namespace Kiln::Preview

#endif
