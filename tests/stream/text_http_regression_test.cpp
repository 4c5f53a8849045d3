// Replays the inputs kept for the text and HTTP header fuzzers through the
// same checks; the sanitizer build catches any return of a memory fault.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "text_http_checks.h"

namespace kelpora {
namespace {

namespace fs = std::filesystem;

template <class Check>
int Replay(const char* folder, Check check) {
  int replayed = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(KELPORA_FUZZ_REGRESSIONS) / folder)) {
    SCOPED_TRACE(entry.path().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    check(bytes.data(), bytes.size());
    ++replayed;
  }
  return replayed;
}

TEST(TextHttpRegressions, KeptInputsPassTheFuzzersChecks) {
  EXPECT_GT(Replay("text", fuzzing::CheckTextInput), 0);
  EXPECT_GT(Replay("http", fuzzing::CheckHttpHeaderInput), 0);
}

}  // namespace
}  // namespace kelpora
