// The demo's main procedure.
#pragma once

#include <cstdint>

namespace kelpora::game {

// Initialises the framework, opens the 640×480 window and plays the logo, the
// title, the loading screen and the level until Escape. Runs once: a second
// call returns 0 at once.
int32_t RunGame();

}  // namespace kelpora::game
