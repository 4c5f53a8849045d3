// One picture that shows every generated picture, plus the level as the game
// composes it, for people who want to look without running the demo.
#pragma once

#include <map>
#include <string>

#include "tools/asset_gen/canvas.h"

namespace kelpora::assetgen {

// `pictures` maps registered names to the painted canvases.
Canvas MakeContactSheet(const std::map<std::string, Canvas>& pictures);

}  // namespace kelpora::assetgen
