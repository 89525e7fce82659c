#include "image/klNoise.h"

namespace Kiln::Noise {

int32_t softMargin(float reach)
{
    if (!(reach > 0.0f)) return 0;
    return 3 * Blur::boxParams(reach / 3.0f).reach;
}

}  // namespace Kiln::Noise
