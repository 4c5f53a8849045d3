// Text lines decoded from memory in each encoding, whole and in small reads.
#include "text_http_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelpora::fuzzing::CheckTextInput(data, size);
  return 0;
}
