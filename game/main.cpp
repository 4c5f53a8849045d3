#include "game/run_game.h"
#include "runtime/startup.h"

int main(int argc, char** argv) {
  return kelpora::RunApplication(argc, argv, [] { kelpora::game::RunGame(); });
}
