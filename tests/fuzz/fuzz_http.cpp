// HTTP response header blocks skipped from memory.
#include "text_http_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelpora::fuzzing::CheckHttpHeaderInput(data, size);
  return 0;
}
