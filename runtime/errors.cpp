#include "runtime/errors.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "runtime/text.h"

namespace kelpora {

TRuntimeError::TRuntimeError(String text) : text_(std::move(text)), bytes_(ToBytes(text_)) {}

void RaiseNullObjectError() { throw TNullObjectError(); }

void RaiseError(std::u16string_view message) { throw TMessageError(String(message)); }

void RuntimeAssert(bool condition) {
  if (!condition) RaiseError(u"C Assert failed");
}

static void WriteErrorText(const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

void OnUncaughtError(const TRuntimeError& error) {
  WriteErrorText(ToBytes(error.ToString()));
  std::exit(255);
}

// Reached when an exception cannot propagate (a noexcept frame, a destructor,
// an exit hook): report it like an uncaught error. The normal exit path may
// already be running, so this one leaves without it.
[[noreturn]] static void OnTerminate() {
  if (auto current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (const TRuntimeError& error) {
      WriteErrorText(ToBytes(error.ToString()));
    } catch (const std::exception& error) {
      WriteErrorText(error.what());
    } catch (...) {
    }
  }
  _exit(255);
}

void InitErrorModule() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  std::set_terminate(OnTerminate);
}

}  // namespace kelpora
