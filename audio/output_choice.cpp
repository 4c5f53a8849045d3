#include "audio/output_choice.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio/alsa_device.h"
#include "audio/oss_device.h"

namespace kelpora {

namespace {

constexpr char OSS_PATH[] = "/dev/dsp";
constexpr char ALSA_PCM[] = "default";

// The ALSA device once it opened, else null with the reason added to `tried`.
std::unique_ptr<audiodevice> OpenAlsa(std::string& tried) {
  auto* device = new alsaaudio(ALSA_PCM);
  if (device->open() == 0) return std::unique_ptr<audiodevice>(device);
  tried += std::string(tried.empty() ? "" : "; ") + "alsa \"" + ALSA_PCM + "\": " + device->error();
  device->close();
  device->dispose();
  return nullptr;
}

// Whether the OSS device file opens. The device itself opens it again in its
// thread; not blocking here keeps a busy device from stalling start-up.
bool OssOpens(std::string& tried) {
  const int fd = ::open(OSS_PATH, O_WRONLY | O_NONBLOCK);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  tried +=
      std::string(tried.empty() ? "" : "; ") + "oss \"" + OSS_PATH + "\": " + std::strerror(errno);
  return false;
}

// Mixes nothing: voices are accepted and wait, as with an OSS device whose
// file did not open.
std::unique_ptr<audiodevice> Silent(const std::string& tried) {
  if (!tried.empty()) {
    std::printf("linuxaudio failed: %s\n", tried.c_str());
    std::fflush(stdout);
  }
  return std::make_unique<offlineaudio>();
}

}  // namespace

std::unique_ptr<audiodevice> audio_choosedevice() {
  const char* forced = std::getenv("KELPORA_AUDIO");
  const std::string choice = forced ? forced : "";
  std::string tried;
  if (choice == "none") return Silent(tried);
  if (choice == "oss") return std::unique_ptr<audiodevice>(new linuxaudio(OSS_PATH));
  if (auto alsa = OpenAlsa(tried)) return alsa;
  if (choice != "alsa" && OssOpens(tried))
    return std::unique_ptr<audiodevice>(new linuxaudio(OSS_PATH));
  return Silent(tried);
}

const char* audio_devicename() {
  audiodevice* device = audio_device();
  if (!device) return "";
  if (dynamic_cast<alsaaudio*>(device)) return "alsa";
  if (dynamic_cast<linuxaudio*>(device)) return "oss";
  return "none";
}

}  // namespace kelpora
