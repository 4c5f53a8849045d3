// The demo's two original pieces, composed and rendered as seamless loops.
#pragma once

#include "tools/asset_gen/ogg_writer.h"

namespace kelpora::assetgen {

// Title theme: 178.9 s, a slow, dreamy piece in A minor.
StereoAudio ComposeTitleTheme();
// Level theme: 372.0 s, a driving piece in D minor.
StereoAudio ComposeLevelTheme();

}  // namespace kelpora::assetgen
