// Full-screen intro pictures: the studio mark, the title, the loading globe.
#pragma once

#include "tools/asset_gen/canvas.h"

namespace kelpora::assetgen {

Canvas PaintLogo();   // 640x480
Canvas PaintTitle();  // 640x480; rows 440-479 stay dark for the credits line
Canvas PaintGlobe();  // 640x400; top and bottom rows stay clear

}  // namespace kelpora::assetgen
