// Why a load or an open found nothing. The loads keep answering none (or 0);
// beside that the outermost one that failed leaves one line saying why:
// the file that was missing (with the full path tried), the format no
// initialised loader knows (with the first bytes, and the initialiser to call
// when the format is known but its loader was never registered), or the
// loader's own reason for rejecting the data.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/object.h"

namespace kelpora {

// The reason the most recent failed load gave, for example
// `LoadPicture "hero.png": cannot open "/home/me/game/hero.png": No such file or directory`.
// Empty while no load has failed since the last one began.
String LastLoadError();

// Called with every failure's text from now on; none restores the default,
// which writes the first failure of the process to standard error as one
// line and stays quiet afterwards (LastLoadError still has each one).
using LoadErrorHandler = void (*)(const String& text);
void SetLoadErrorHandler(LoadErrorHandler handler);

// One public load (`what` is its name, `source` the URL, or empty for an
// open stream). The outermost attempt clears the last error as it begins and
// reports when Failed is called; inner attempts only add reasons.
class TLoadAttempt {
 public:
  TLoadAttempt(std::u16string_view what, std::u16string_view source);
  ~TLoadAttempt();
  TLoadAttempt(const TLoadAttempt&) = delete;
  TLoadAttempt& operator=(const TLoadAttempt&) = delete;
  // Returns `result` after reporting the failure when it is empty.
  template <class T>
  T Finish(T result) {
    if (!result) Failed();
    return result;
  }
  void Failed();

 private:
  bool outermost_;
  String what_;
  String source_;
};

// How a failure names its source: a URL's text; empty for an open stream.
String SourceName(const Ref<TObject>& source);

// The reason of the load in progress; the first one noted stands (the
// innermost cause is found first).
void NoteLoadReason(String reason);
// A loader that recognised its format explains why it refused the data.
void NoteLoaderRejection(std::u16string_view format, std::u16string_view why);

// Loader and protocol initialisers call this ("PNG", "http") so that a
// failure can tell a format whose loader is missing from one nobody knows.
void NoteLoaderReady(std::u16string_view format);
bool LoaderReady(std::u16string_view format);

// Explains why no loader of `kind` ("picture", "sound", "font") took data
// beginning with `bytes`, and notes it as the reason.
void NoteNoLoaderTook(std::u16string_view kind, const uint8_t* bytes, size_t count);

}  // namespace kelpora
