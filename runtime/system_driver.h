// The system driver: clock, delay, input queries and console services.
#pragma once

#include <cstdint>

#include "runtime/object.h"

namespace kelpora {

// One instance exists from InitSystemModule to process exit; the front
// functions (ClockMs, DelayMs, KeyHits, ...) forward to it. In this abstract
// type the input and timing operations raise TAbstractMethodError and the
// console operations talk to standard input and output.
class TSystemDriver : public TObject {
 public:
  virtual void PumpEvents();
  virtual void WaitForInput();
  virtual int32_t ClockMs();
  virtual void DelayMs(int32_t ms);
  virtual int32_t NextChar();
  virtual int32_t KeyHits(int32_t code);
  virtual int32_t KeyIsDown(int32_t code);
  virtual void ClearKeyState();
  virtual int32_t MouseAxis(int32_t axis);
  virtual void MovePointer(int32_t x, int32_t y);
  virtual void ConsoleNotify(const String& text);
  virtual int32_t ConsoleConfirm(const String& text);
  virtual int32_t ConsoleProceed(const String& text);
  virtual String ConsoleRequestFile();
  virtual String ConsoleRequestDir();
};

// The input side of the platform: the event queue and the key and pointer
// state it fills. The input module registers one with SetInputSource; the
// system driver and the window layer reach it only through this interface.
class TInputSource : public TObject {
 public:
  virtual void PumpEvents() = 0;
  virtual void WaitForInput() = 0;
  virtual int32_t NextChar() = 0;
  virtual int32_t KeyHits(int32_t code) = 0;
  virtual int32_t KeyIsDown(int32_t code) = 0;
  virtual void ClearKeyState() = 0;
  virtual int32_t MouseAxis(int32_t axis) = 0;
  virtual void MovePointer(int32_t x, int32_t y) = 0;
};

// The driver of this platform: the wall clock, a busy-wait delay, and input
// from the registered input source (with none every query reads zero and
// pumping does nothing).
class TLinuxSystemDriver : public TSystemDriver {
 public:
  void PumpEvents() override;
  void WaitForInput() override;
  int32_t ClockMs() override;
  void DelayMs(int32_t ms) override;
  int32_t NextChar() override;
  int32_t KeyHits(int32_t code) override;
  int32_t KeyIsDown(int32_t code) override;
  void ClearKeyState() override;
  int32_t MouseAxis(int32_t axis) override;
  void MovePointer(int32_t x, int32_t y) override;
};

// The current system driver; none before InitSystemModule.
Ref<TSystemDriver>& SystemDriver();
// Creates the TLinuxSystemDriver once.
void InitSystemModule();

// The input source the system driver forwards to; empty until one registers.
Ref<TInputSource>& InputSource();
void SetInputSource(const Ref<TInputSource>& source);
// Runs the registered source's pump, if any: the window layer calls it after
// creating a window and after every buffer swap.
void PumpInputSource();

// Console services.
void ConsoleWrite(const String& text);
// One line from standard input (at most 1023 bytes), cut at the first line feed.
String ConsoleReadLine();
String CurrentDateText();  // "%d %b %Y"
String CurrentTimeText();  // "%H:%M:%S"

}  // namespace kelpora
