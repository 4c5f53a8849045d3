#include "audio/oss_device.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/soundcard.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace kelpora {

linuxaudio::linuxaudio(std::string path) : path(std::move(path)) {}

int linuxaudio::open() {
  if (engine) return 0;
  engine = new mixer(2048);
  engine->outputRate = MIX_OUTPUT_RATE;
  engine->outputChannels = 2;
  buffer_.assign(BUFFER_LENGTH / sizeof(int16_t), 0);
  // The running flag is set before the thread starts, so that a close coming
  // before the thread reached its loop still stops it.
  startthread();
  return 0;
}

int linuxaudio::close() {
  running_ = 0;
  if (!deviceopen()) return 0;
  waitforthread();
  return 0;
}

void linuxaudio::output() {
  const int fd = ::open(path.c_str(), O_WRONLY);
  if (fd < 0) {
    std::fputs("linuxaudio failed\n", stdout);
    std::fflush(stdout);
  } else {
    descriptor_ = fd;
    // Results ignored: a FIFO or a file takes none of them.
    int fragment = 0x0003000C, format = AFMT_S16_LE, channels = 2, speed = MIX_OUTPUT_RATE;
    ioctl(fd, SNDCTL_DSP_SETFRAGMENT, &fragment);
    ioctl(fd, SNDCTL_DSP_SETFMT, &format);
    ioctl(fd, SNDCTL_DSP_CHANNELS, &channels);
    ioctl(fd, SNDCTL_DSP_SPEED, &speed);
    while (running_) {
      engine->mix(buffer_.data(), engine->count);
      if constexpr (std::endian::native == std::endian::big) {
        for (int16_t& s : buffer_)
          s = static_cast<int16_t>(__builtin_bswap16(static_cast<uint16_t>(s)));
      }
      // A short write is not retried; a failing one ends the thread rather
      // than spinning on a device that is gone.
      if (write(fd, buffer_.data(), BUFFER_LENGTH) < 0 && errno != EINTR && errno != EAGAIN) break;
    }
    ::close(fd);
    descriptor_ = -1;
  }
  threadended();
}

}  // namespace kelpora
