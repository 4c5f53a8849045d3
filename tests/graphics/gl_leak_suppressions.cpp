// Leak checking in the sanitizer build: Mesa's GL driver keeps a few
// allocations until it is unloaded with the display connection, after which
// the checker reports them as leaks of an unknown module. Keeping the driver
// loaded lets the reports name it, so that only its leaks are suppressed.
#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>

namespace {
[[maybe_unused]] void* keptDriver =
    dlopen("/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", RTLD_LAZY | RTLD_NODELETE);
}  // namespace

extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

extern "C" const char* __lsan_default_suppressions() {
  return "leak:swrast_dri\n"
         "leak:libgallium\n"
         "leak:libGLX_mesa\n"
         "leak:libglapi\n"
         "leak:libLLVM\n";
}
#endif
