#include "game/game_files.h"

#include "gameFiles.h"
#include "stream/embedded_table.h"

namespace kelpora::game {

String RegisterGameFile(std::u16string_view name) { return RegisterEmbeddedFile(gameFiles, name); }

}  // namespace kelpora::game
