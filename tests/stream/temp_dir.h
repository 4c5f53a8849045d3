// A fresh directory under the system's temporary folder, removed with its contents.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "runtime/text.h"

namespace kelpora::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelpora-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  // `name` inside the directory, as a URL string.
  String Url(const std::string& name) const { return FromBytes((path_ / name).string()); }

 private:
  std::filesystem::path path_;
};

}  // namespace kelpora::testing
