#include "effect/klScanLines.h"

namespace Kiln::ScanLines {

float rowFactor(int32_t y, int32_t spacing)
{
    if (spacing <= 1) return 1.0f;
    int32_t m = y % spacing;
    if (m < 0) m += spacing;
    return (float(m) / float(spacing)) * 0.75f + 0.25f;
}

}  // namespace Kiln::ScanLines
