// The demo's files, embedded in the program and registered by name right
// before they are opened.
#pragma once

#include <string_view>

#include "runtime/object.h"

namespace kelpora::game {

// Registers the embedded file `name` (for example "DATAS/fond.jpg") with its
// exact size and answers the URL that opens it: "incbin::" + name.
String RegisterGameFile(std::u16string_view name);

}  // namespace kelpora::game
