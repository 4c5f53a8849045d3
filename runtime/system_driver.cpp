#include "runtime/system_driver.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "runtime/clock.h"
#include "runtime/errors.h"
#include "runtime/termination.h"
#include "runtime/text.h"

namespace kelpora {

void TSystemDriver::PumpEvents() { throw TAbstractMethodError(); }
void TSystemDriver::WaitForInput() { throw TAbstractMethodError(); }
int32_t TSystemDriver::ClockMs() { throw TAbstractMethodError(); }
void TSystemDriver::DelayMs(int32_t) { throw TAbstractMethodError(); }
int32_t TSystemDriver::NextChar() { throw TAbstractMethodError(); }
int32_t TSystemDriver::KeyHits(int32_t) { throw TAbstractMethodError(); }
int32_t TSystemDriver::KeyIsDown(int32_t) { throw TAbstractMethodError(); }
void TSystemDriver::ClearKeyState() { throw TAbstractMethodError(); }
int32_t TSystemDriver::MouseAxis(int32_t) { throw TAbstractMethodError(); }
void TSystemDriver::MovePointer(int32_t, int32_t) { throw TAbstractMethodError(); }

void TSystemDriver::ConsoleNotify(const String& text) { ConsoleWrite(text + u"\r\n"); }

// The first character of the lower-cased answer; a blank for an empty answer.
static char16_t FirstAnswerChar() {
  String answer = LowerAscii(ConsoleReadLine());
  return answer.empty() ? u' ' : answer[0];
}

int32_t TSystemDriver::ConsoleConfirm(const String& text) {
  ConsoleWrite(text + u" (Yes/No)?");
  return FirstAnswerChar() == u'y' ? 1 : 0;
}

int32_t TSystemDriver::ConsoleProceed(const String& text) {
  ConsoleWrite(text + u" (Yes/No/Cancel)?");
  char16_t first = FirstAnswerChar();
  return first == u'y' ? 1 : (first == u'n' ? 0 : -1);
}

String TSystemDriver::ConsoleRequestFile() {
  ConsoleWrite(u"Enter a filename:");
  return ConsoleReadLine();
}

String TSystemDriver::ConsoleRequestDir() {
  ConsoleWrite(u"Enter a directory name:");
  return ConsoleReadLine();
}

int32_t TLinuxSystemDriver::ClockMs() { return ReadWallClockMs(); }

void TLinuxSystemDriver::DelayMs(int32_t ms) {
  int32_t start = ReadWallClockMs();
  ExitIfTerminationRequested();
  while (ClockDiff(ReadWallClockMs(), start) < ms) {
    ExitIfTerminationRequested();
  }
}

// Input slots: the registered input source, zero when there is none.
void TLinuxSystemDriver::PumpEvents() { PumpInputSource(); }
void TLinuxSystemDriver::WaitForInput() {
  if (auto& source = InputSource()) source->WaitForInput();
}
int32_t TLinuxSystemDriver::NextChar() {
  auto& source = InputSource();
  return source ? source->NextChar() : 0;
}
int32_t TLinuxSystemDriver::KeyHits(int32_t code) {
  auto& source = InputSource();
  return source ? source->KeyHits(code) : 0;
}
int32_t TLinuxSystemDriver::KeyIsDown(int32_t code) {
  auto& source = InputSource();
  return source ? source->KeyIsDown(code) : 0;
}
void TLinuxSystemDriver::ClearKeyState() {
  if (auto& source = InputSource()) source->ClearKeyState();
}
int32_t TLinuxSystemDriver::MouseAxis(int32_t axis) {
  auto& source = InputSource();
  return source ? source->MouseAxis(axis) : 0;
}
void TLinuxSystemDriver::MovePointer(int32_t x, int32_t y) {
  if (auto& source = InputSource()) source->MovePointer(x, y);
}

Ref<TInputSource>& InputSource() {
  // Never destroyed, like the driver: exit hooks may still pump.
  static auto* source = new Ref<TInputSource>();
  return *source;
}

void SetInputSource(const Ref<TInputSource>& source) { InputSource() = source; }

void PumpInputSource() {
  if (auto& source = InputSource()) source->PumpEvents();
}

Ref<TSystemDriver>& SystemDriver() {
  // Never destroyed: exit hooks may still read the clock during process exit.
  static auto* driver = new Ref<TSystemDriver>();
  return *driver;
}

void InitSystemModule() {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  InitErrorModule();
  SystemDriver() = MakeRef<TLinuxSystemDriver>();
}

void ConsoleWrite(const String& text) {
  std::string bytes = ToBytes(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

String ConsoleReadLine() {
  char buffer[1024];
  if (!std::fgets(buffer, sizeof buffer, stdin)) return String();
  if (char* lineFeed = std::strchr(buffer, '\n')) *lineFeed = '\0';
  return FromBytes(buffer);
}

static String FormatLocalTime(const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm local;
  localtime_r(&now, &local);
  char buffer[256];
  size_t length = std::strftime(buffer, sizeof buffer, format, &local);
  return FromBytes(std::string_view(buffer, length));
}

String CurrentDateText() { return FormatLocalTime("%d %b %Y"); }
String CurrentTimeText() { return FormatLocalTime("%H:%M:%S"); }

}  // namespace kelpora
