// The hero's run cycle: a 480x104 RGBA sheet of six 80x104 frames.
#pragma once

#include "tools/asset_gen/canvas.h"

namespace kelpora::assetgen {

Canvas PaintHeroSheet();
// One frame at any scale with soft edges (the title picture uses a large one).
Canvas PaintHeroFrame(int frame, float scale);
// One 80x104 frame as the level draws it: hard-edged, every pixel either fully
// opaque or fully transparent, in a handful of flat colours with a dark outline.
Canvas PaintHeroSprite(int frame);

}  // namespace kelpora::assetgen
