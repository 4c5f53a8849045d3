#include "runtime/load_errors.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "runtime/text.h"

namespace kelpora {

namespace {

// Loads run on whichever thread asks; each keeps its own account.
struct TLoadAccount {
  int depth = 0;
  String reason;
  String lastError;
  std::vector<std::pair<String, String>> rejections;  // format, why
};
thread_local TLoadAccount account;

std::atomic<LoadErrorHandler> handler{nullptr};
std::atomic<bool> firstReported{false};

bool IsReady(std::u16string_view name);

std::vector<String>& ReadyFormats() {
  static std::vector<String> formats;
  return formats;
}

struct TKnownFormat {
  const char16_t* kind;
  const char16_t* name;
  const char16_t* initialiser;
  bool (*matches)(const uint8_t* bytes, size_t count);
};

bool Starts(const uint8_t* bytes, size_t count, const char* magic, size_t length) {
  return count >= length && std::memcmp(bytes, magic, length) == 0;
}

const TKnownFormat KNOWN_FORMATS[] = {
    {u"picture", u"PNG", u"InitPngLoader",
     [](const uint8_t* b, size_t n) { return Starts(b, n, "\x89PNG\r\n\x1a\n", 8); }},
    {u"picture", u"JPEG", u"InitJpegLoader", [](const uint8_t* b, size_t n) { return Starts(b, n, "\xff\xd8\xff", 3); }},
    {u"picture", u"BMP", u"InitBmpLoader", [](const uint8_t* b, size_t n) { return Starts(b, n, "BM", 2); }},
    {u"sound", u"WAV", u"InitWavLoader",
     [](const uint8_t* b, size_t n) { return Starts(b, n, "RIFF", 4) && n >= 12 && !std::memcmp(b + 8, "WAVE", 4); }},
    {u"sound", u"Ogg", u"InitOggLoader", [](const uint8_t* b, size_t n) { return Starts(b, n, "OggS", 4); }},
    {u"font", u"TrueType", u"InitOutlineFontModule",
     [](const uint8_t* b, size_t n) {
       return Starts(b, n, "\0\1\0\0", 4) || Starts(b, n, "OTTO", 4) || Starts(b, n, "true", 4) ||
              Starts(b, n, "ttcf", 4);
     }},
};

bool IsReady(std::u16string_view name) {
  for (const String& known : ReadyFormats()) {
    if (known == name) return true;
  }
  return false;
}

String HexBytes(const uint8_t* bytes, size_t count) {
  static const char16_t DIGITS[] = u"0123456789ABCDEF";
  String text;
  for (size_t i = 0; i < count; ++i) {
    if (i) text += u' ';
    text += DIGITS[bytes[i] >> 4];
    text += DIGITS[bytes[i] & 15];
  }
  return text;
}

void Report(const String& text) {
  if (LoadErrorHandler h = handler.load()) {
    h(text);
  } else if (!firstReported.exchange(true)) {
    std::fprintf(stderr, "Kelpora: %s\n", ToBytes(text).c_str());
    std::fflush(stderr);
  }
}

}  // namespace

String LastLoadError() { return account.lastError; }

void SetLoadErrorHandler(LoadErrorHandler h) { handler.store(h); }

TLoadAttempt::TLoadAttempt(std::u16string_view what, std::u16string_view source)
    : outermost_(account.depth == 0), what_(what), source_(source) {
  if (outermost_) {
    account.reason.clear();
    account.rejections.clear();
    account.lastError.clear();
  }
  ++account.depth;
}

TLoadAttempt::~TLoadAttempt() { --account.depth; }

void TLoadAttempt::Failed() {
  if (!outermost_) return;
  String text = what_;
  if (!source_.empty()) text += u" \"" + source_ + u"\"";
  text += u": ";
  text += account.reason.empty() ? String(u"nothing was loaded") : account.reason;
  account.lastError = text;
  Report(text);
}

String SourceName(const Ref<TObject>& source) {
  if (auto text = RefCast<TStringObject>(source)) return text->value;
  return {};
}

void NoteLoadReason(String reason) {
  if (account.depth > 0 && account.reason.empty()) account.reason = std::move(reason);
}

void NoteLoaderRejection(std::u16string_view format, std::u16string_view why) {
  if (account.depth == 0) return;
  for (const auto& [name, reason] : account.rejections) {
    if (name == format) return;
  }
  account.rejections.emplace_back(String(format), String(why));
}

void NoteLoaderReady(std::u16string_view format) {
  if (!IsReady(format)) ReadyFormats().emplace_back(format);
}

bool LoaderReady(std::u16string_view format) { return IsReady(format); }

void NoteNoLoaderTook(std::u16string_view kind, const uint8_t* bytes, size_t count) {
  if (count == 0) {
    NoteLoadReason(u"the data is empty");
    return;
  }
  for (const TKnownFormat& format : KNOWN_FORMATS) {
    if (kind != format.kind || !format.matches(bytes, count)) continue;
    const String name(format.name);
    if (!IsReady(name)) {
      NoteLoadReason(u"the data is " + name + u" but no " + name + u" loader is registered (call " +
                     format.initialiser + u" or InitKelpora)");
      return;
    }
    for (const auto& [rejected, why] : account.rejections) {
      if (rejected == name) {
        NoteLoadReason(u"the " + name + u" loader rejected the data: " + why);
        return;
      }
    }
    NoteLoadReason(u"the " + name + u" loader rejected the data");
    return;
  }
  NoteLoadReason(u"no " + String(kind) + u" loader recognises the data (first bytes " +
                 HexBytes(bytes, count < 8 ? count : 8) + u")");
}

}  // namespace kelpora
