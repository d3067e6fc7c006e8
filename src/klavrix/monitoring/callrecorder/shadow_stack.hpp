// The time accounting of the call recorder, in plain C++: which function runs, since when, and
// where its time goes when it returns, raises out or yields.
//
// Each thread has a shadow stack of the frames that run on it; an activation is one stretch of a
// frame between entering (a call, or the resumption of a generator or coroutine) and leaving (a
// return, an exception unwinding it, or a yield). When an activation leaves:
//   - its segment (leave - enter) is added to its parent's children time;
//   - segment - children is the function's self time;
//   - the segment counts towards the function's inclusive time only when no other frame of the same
//     function is active below it on that thread, so recursion is counted once;
//   - a finished call reports its duration (the active time of all its segments); a yield parks the
//     active time under the frame's key until the frame resumes, so a suspended frame's time is not
//     its own.
// Frames are identified by an opaque key (the interpreter frame's address): an exit matches the
// activation of the same frame, and activations above it whose exit was never seen are closed
// with it. An exit of a frame that entered before recording began matches nothing and is ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace klavrix::callrecorder {

using Nanoseconds = int64_t;
using FrameKey = const void*;

// Clock arithmetic wraps instead of overflowing (a caller's clock may return any 64-bit value).
inline Nanoseconds plus(Nanoseconds a, Nanoseconds b) {
  return static_cast<Nanoseconds>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline Nanoseconds minus(Nanoseconds a, Nanoseconds b) {
  return static_cast<Nanoseconds>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

struct FunctionTotals {
  uint64_t calls = 0;         // frames started while recording
  Nanoseconds inclusive = 0;  // outermost activations only
  Nanoseconds self = 0;
};

// A generator or coroutine frame between a yield and its resumption.
struct Suspended {
  uint32_t function;
  Nanoseconds active;  // time it ran so far
  bool counted;        // its call was counted by this recording
};

class ThreadStack {
 public:
  struct Activation {
    uint32_t function;
    FrameKey frame;
    Nanoseconds entered;   // start of this segment
    Nanoseconds earlier;   // active time of the frame's earlier segments
    Nanoseconds children;  // time of callees during this segment
    bool counted;
  };

  void enter(uint32_t function, FrameKey frame, Nanoseconds now, Nanoseconds earlier, bool counted) {
    if (function >= depth_.size()) depth_.resize(function + 64, 0);
    ++depth_[function];
    stack_.push_back({function, frame, now, earlier, 0, counted});
  }

  // Pops the activation of `frame` (and any above it) at `now`. For each popped activation,
  // `finished(activation, active)` is called with its total active time, except that the
  // activation of `frame` itself goes to `suspended(activation, active)` instead when `yielding`.
  // Returns false when `frame` is not on this stack.
  template <class Finished, class Suspend>
  bool leave(FrameKey frame, Nanoseconds now, std::vector<FunctionTotals>& totals, bool yielding, Finished finished,
             Suspend suspended) {
    std::size_t position = stack_.size();
    while (position > 0 && stack_[position - 1].frame != frame) --position;
    if (position == 0) return false;
    while (stack_.size() >= position) {
      const bool target = stack_.size() == position;
      const Activation activation = pop(now, totals);
      const Nanoseconds active = plus(activation.earlier, minus(now, activation.entered));
      if (target && yielding) {
        suspended(activation, active);
      } else {
        finished(activation, active);
      }
    }
    return true;
  }

  // Closes every activation at `now`, innermost first, as finished.
  template <class Finished>
  void close_all(Nanoseconds now, std::vector<FunctionTotals>& totals, Finished finished) {
    while (!stack_.empty()) {
      const Activation activation = pop(now, totals);
      finished(activation, plus(activation.earlier, minus(now, activation.entered)));
    }
  }

 private:
  Activation pop(Nanoseconds now, std::vector<FunctionTotals>& totals) {
    const Activation activation = stack_.back();
    stack_.pop_back();
    const Nanoseconds segment = minus(now, activation.entered);
    FunctionTotals& function = totals[activation.function];
    function.self = plus(function.self, minus(segment, activation.children));
    if (--depth_[activation.function] == 0) function.inclusive = plus(function.inclusive, segment);
    if (!stack_.empty()) stack_.back().children = plus(stack_.back().children, segment);
    return activation;
  }

  std::vector<Activation> stack_;
  std::vector<uint32_t> depth_;  // active frames of each function on this thread
};

// Suspended generator and coroutine frames of all threads (a generator may resume on another),
// by frame key: open addressing with linear probing, so that a yield and a resumption cost no
// allocation; deletion shifts the following entries back instead of leaving tombstones.
class SuspendedFrames {
 public:
  Suspended* find(FrameKey key) {
    if (size_ == 0) return nullptr;
    for (std::size_t i = home(key);; i = (i + 1) & mask()) {
      if (slots_[i].key == key) return &slots_[i].value;
      if (slots_[i].key == nullptr) return nullptr;
    }
  }

  void put(FrameKey key, Suspended value) {
    if (Suspended* found = find(key)) {
      *found = value;
      return;
    }
    if (2 * (size_ + 1) > slots_.size()) grow();
    std::size_t i = home(key);
    while (slots_[i].key != nullptr) i = (i + 1) & mask();
    slots_[i] = {key, value};
    ++size_;
  }

  void erase(FrameKey key) {
    if (size_ == 0) return;
    std::size_t hole = home(key);
    while (slots_[hole].key != key) {
      if (slots_[hole].key == nullptr) return;
      hole = (hole + 1) & mask();
    }
    // Move back every later entry of the run whose home does not lie between the hole and it.
    for (std::size_t i = (hole + 1) & mask(); slots_[i].key != nullptr; i = (i + 1) & mask()) {
      const std::size_t wanted = home(slots_[i].key);
      const bool stays = hole <= i ? (hole < wanted && wanted <= i) : (hole < wanted || wanted <= i);
      if (!stays) {
        slots_[hole] = slots_[i];
        hole = i;
      }
    }
    slots_[hole] = {};
    --size_;
  }

  template <class Visit>
  void for_each(Visit visit) const {
    for (const Slot& slot : slots_) {
      if (slot.key != nullptr) visit(slot.value);
    }
  }

  void clear() {
    slots_.clear();
    size_ = 0;
  }

 private:
  struct Slot {
    FrameKey key = nullptr;
    Suspended value{};
  };

  std::size_t mask() const { return slots_.size() - 1; }
  std::size_t home(FrameKey key) const {
    // Fibonacci hashing of the address (frames are at least 16-byte aligned).
    return static_cast<std::size_t>((reinterpret_cast<uintptr_t>(key) >> 4) * 0x9E3779B97F4A7C15ull >> 32) & mask();
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
    size_ = 0;
    for (const Slot& slot : old) {
      if (slot.key != nullptr) put(slot.key, slot.value);
    }
  }

  std::vector<Slot> slots_;  // a power of two in size, at most half full
  std::size_t size_ = 0;
};

}  // namespace klavrix::callrecorder
