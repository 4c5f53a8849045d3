// The logo and the title with its scrolling credits.
#pragma once

#include <cstdint>
#include <string_view>

#include "audio/clips_channels.h"
#include "vex2d/picture.h"

namespace kelpora::game {

// One upper-case line of exactly 566 characters (codes 32 to 127).
extern const std::u16string_view creditsLine;

extern Ref<TPicture> logoPicture;
extern Ref<TPicture> titlePicture;
// The title music, looping from the start of the title scene until the level begins.
extern Ref<TSoundClip> titleMusic;
extern Ref<TPlayChannel> titleChannel;
extern int32_t logoFrameCounter;  // starts at 1
extern int32_t creditsX;          // starts at 800

// Presents the logo exactly 100 times; asks no key, so it cannot be cut short.
int32_t ShowLogoScene();
// Starts the title music, then scrolls the credits over the title until Escape is hit.
int32_t ShowTitleScene();
// The next credits position: 2 to the left, back to 800 once below -4500.
int32_t NextCreditsX(int32_t x);

}  // namespace kelpora::game
