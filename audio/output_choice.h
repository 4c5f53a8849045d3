// Which output device audio_open() uses. KELPORA_AUDIO = "alsa", "oss" or
// "none" forces one; otherwise ALSA's default PCM is tried first, then the OSS
// device "/dev/dsp". When none opens, one line that starts with "linuxaudio
// failed" names each device tried and why it failed, and the flat interface
// runs on a device that mixes nothing, as it does when the OSS device finds no
// device file.
#pragma once

#include <memory>

#include "audio/software_mixer.h"

namespace kelpora {

// Makes the choice, opening the device it settles on (a forced OSS device
// opens its file in its own thread, as always). Never null.
std::unique_ptr<audiodevice> audio_choosedevice();
// "alsa", "oss" or "none" for the open device; "" when none is open.
const char* audio_devicename();

}  // namespace kelpora
