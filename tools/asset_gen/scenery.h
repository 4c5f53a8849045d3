// The level's pictures: sky, moon, the twelve parallax strips.
#pragma once

#include "tools/asset_gen/canvas.h"

namespace kelpora::assetgen {

// Colour of the night sky at a screen row; the strips blend their edges into it
// because the mask leaves no room for partial transparency.
Color SkyColor(float screenY);

Canvas PaintSky();              // 640x360, drawn at y 60
Canvas PaintMoon();             // 106x106, drawn at (534, 60)
Canvas PaintGrass(int index);   // herbe0..4
Canvas PaintClouds(int index);  // nuages0..4
Canvas PaintFence();            // 640x42 at y 378
Canvas PaintMountains();        // 640x146 at y 214

// Makes every pixel either see-through or fully opaque: coverage below
// `threshold` disappears, partial coverage above it is mixed with the sky
// colour behind it (`top` is the strip's screen row).
void FlattenAgainstSky(Canvas& canvas, float top, float threshold);

}  // namespace kelpora::assetgen
