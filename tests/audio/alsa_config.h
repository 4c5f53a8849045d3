// A private ALSA configuration for the device tests: the system's own
// alsa.conf, then the default PCM redefined. The machine's setup is never
// touched; programs see it through ALSA_CONFIG_PATH.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace kelpora::testing {

// While a sound server is reachable, Debian's pulse hook makes it the default
// whatever the file says; this one is never reachable.
constexpr char NO_PULSE_SERVER[] = "unix:/nonexistent/kelpora/pulse";
inline const std::string NO_PULSE = std::string("PULSE_SERVER=") + NO_PULSE_SERVER;

class AlsaConfig {
 public:
  // `defaultPcm`: the body of the default PCM's definition. Without alsa.conf
  // (`system` false) no hook runs and no other PCM is defined.
  explicit AlsaConfig(const std::string& defaultPcm, bool system = true) {
    char dir[] = "/tmp/kelpora-alsa-XXXXXX";
    directory = mkdtemp(dir) ? dir : "/tmp";
    path = directory + "/asound.conf";
    std::ofstream(path) << (system ? "</usr/share/alsa/alsa.conf>\n" : "") << "pcm.!default "
                        << defaultPcm << "\n";
  }
  ~AlsaConfig() {
    for (const auto& [name, value] : saved_)
      value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
    unlink(path.c_str());
    rmdir(directory.c_str());
  }
  AlsaConfig(const AlsaConfig&) = delete;
  AlsaConfig& operator=(const AlsaConfig&) = delete;

  std::string Environment() const { return "ALSA_CONFIG_PATH=" + path; }
  // For devices opened in this process; call before any thread of ALSA runs.
  // Undone when the configuration goes.
  void Apply() {
    for (const char* name : {"ALSA_CONFIG_PATH", "PULSE_SERVER"})
      saved_.emplace_back(name, getenv(name) ? getenv(name) : "");
    setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
    setenv("PULSE_SERVER", NO_PULSE_SERVER, 1);
  }

  std::string directory, path;

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

// The file plugin on the null device: every frame written goes to `file`.
inline std::string FilePcm(const std::string& file) {
  return "{ type file slave.pcm \"null\" file \"" + file + "\" format \"raw\" }";
}

}  // namespace kelpora::testing
