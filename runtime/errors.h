// The runtime error family. Errors travel as C++ exceptions: the innermost
// try that catches TRuntimeError (or a subclass) handles it; an error that
// reaches the process entry is reported by OnUncaughtError.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "runtime/object.h"

namespace kelpora {

// Root of every error the framework raises; its text is its to-string result.
class TRuntimeError : public TObject, public std::exception {
 public:
  String ToString() const override { return text_; }
  const char* what() const noexcept override { return bytes_.c_str(); }

 protected:
  explicit TRuntimeError(String text);

 private:
  String text_;
  std::string bytes_;
};

class TNullObjectError : public TRuntimeError {
 public:
  TNullObjectError() : TRuntimeError(u"Attempt to access field or method of Null object") {}
};

class TAbstractMethodError : public TRuntimeError {
 public:
  TAbstractMethodError() : TRuntimeError(u"Attempt to call abstract method") {}
};

class TNullFunctionError : public TRuntimeError {
 public:
  TNullFunctionError() : TRuntimeError(u"Attempt to call uninitialized function pointer") {}
};

class TArrayBoundsError : public TRuntimeError {
 public:
  TArrayBoundsError() : TRuntimeError(u"Attempt to index array element beyond array length") {}
};

class TOutOfDataError : public TRuntimeError {
 public:
  TOutOfDataError() : TRuntimeError(u"Attempt to read beyond end of data") {}
};

// An error that is just its message; what RaiseError throws.
class TMessageError : public TRuntimeError {
 public:
  explicit TMessageError(String message = {}) : TRuntimeError(std::move(message)) {}
};

// Raises a TMessageError carrying `message`.
[[noreturn]] void RaiseError(std::u16string_view message);
// An assertion of the runtime's own support code: raises "C Assert failed" when false.
void RuntimeAssert(bool condition);

// Writes the error's text to standard error without a line end, flushes it and
// exits with status 255 through the normal exit path, so exit hooks run.
[[noreturn]] void OnUncaughtError(const TRuntimeError& error);

// Installs the process-wide handling of errors that escape every handler
// (including errors thrown where C++ cannot unwind). Runs once.
void InitErrorModule();

}  // namespace kelpora
