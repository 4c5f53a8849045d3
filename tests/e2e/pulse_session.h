// A private PulseAudio server with a null sink, for hearing what a program
// plays through the server's OSS emulation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace kelpora::testing {

// 16-bit stereo frames as recorded, left and right interleaved.
struct Recording {
  int rate = 0;
  std::vector<int16_t> samples;

  size_t frames() const { return samples.size() / 2; }
};

// Reads the PCM of a 16-bit stereo WAV file; the sizes in its header are not
// trusted (a recorder stopped by a signal may leave them unset).
Recording ReadWav(const std::string& path);
// Writes frames [from, from + count) of `recording` as a 16-bit stereo WAV file.
void WriteWav(const std::string& path, const Recording& recording, size_t from, size_t count);

class PulseSession {
 public:
  PulseSession();
  ~PulseSession();
  PulseSession(const PulseSession&) = delete;
  PulseSession& operator=(const PulseSession&) = delete;

  // The environment under which a program plays into the null sink through the
  // OSS emulation library ("/dev/dsp" opened by it reaches the server).
  std::vector<std::string> OssEnvironment() const;
  // The environment under which a program reaches the server natively (ALSA's
  // default device goes to it through the pulse plugin), with no preload.
  std::vector<std::string> Environment() const;

  // Records the sink's monitor into a WAV file until StopRecording.
  void StartRecording();
  Recording StopRecording();

 private:
  std::string dir_;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> recorder_;
};

}  // namespace kelpora::testing
