// The hero's run cycle: a 480x104 RGBA sheet of six 80x104 frames.
#pragma once

#include "tools/asset_gen/canvas.h"

namespace kelpora::assetgen {

Canvas PaintHeroSheet();
// One frame at any scale (the title picture uses a large one).
Canvas PaintHeroFrame(int frame, float scale);

}  // namespace kelpora::assetgen
