// Leak checking in the sanitizer build: vorbisfile loses a few bytes when an
// open fails partway through a chained file's links (kept regression inputs
// do that). Only the library's own allocations are suppressed.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:libvorbis\n"; }
#endif
