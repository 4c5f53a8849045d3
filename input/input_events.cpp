#include "input/input_events.h"

#include <deque>

#include "input/keyboard_mouse.h"

namespace kelpora {

namespace {

constexpr size_t MOST_QUEUED = 4096;

std::deque<TInputEvent>& Queue() {
  static std::deque<TInputEvent> queue;
  return queue;
}
uint64_t dropped = 0;

}  // namespace

void PushInputEvent(TInputEvent event) {
  std::deque<TInputEvent>& queue = Queue();
  // A program that never reads events keeps a bounded queue of the newest.
  if (queue.size() >= MOST_QUEUED) {
    queue.pop_front();
    ++dropped;
  }
  queue.push_back(std::move(event));
}

bool NextInputEvent(TInputEvent& event) {
  if (AutomaticPolling()) PumpEvents();
  std::deque<TInputEvent>& queue = Queue();
  if (queue.empty()) return false;
  event = std::move(queue.front());
  queue.pop_front();
  return true;
}

void ClearInputEvents() { Queue().clear(); }

uint64_t DroppedInputEvents() { return dropped; }

}  // namespace kelpora
