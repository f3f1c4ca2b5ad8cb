// SPDX-License-Identifier: MIT
#pragma once
// A limit on how many lines of one kind reach the log in a window of time:
// the first few of a window are logged, the rest counted, and the count of
// those held back is reported in one line once the window is over. What
// others can cause at any rate (refused datagrams, a class script's output,
// event lines no reader takes) must not fill the log, nor wear out the
// flash of a board that keeps it there.

namespace hw {

class log_window {
 public:
  constexpr log_window(unsigned lines_per_window, long long window_ms)
      : lines_per_window_(lines_per_window), window_ms_(window_ms) {}

  // Counts one line at now (milliseconds); true when it is to be logged,
  // false when it is held back. A window opens with its first line; call
  // take_held_back first, so a window that is over is reported and closed.
  bool admit(long long now) {
    if (!open()) start_ = now;
    if (logged_ < lines_per_window_) {
      ++logged_;
      return true;
    }
    ++held_back_;
    return false;
  }

  // Once the window is over: closes it and returns how many lines it held
  // back (0 when none). While it is open, or none is: 0.
  unsigned take_held_back(long long now) {
    if (!open() || now - start_ < window_ms_) return 0;
    const unsigned held = held_back_;
    forget();
    return held;
  }

  // Milliseconds until a count held back is due; -1 when none is held back.
  long ms_until_due(long long now) const {
    if (held_back_ == 0) return -1;
    const long long left = start_ + window_ms_ - now;
    return left > 0 ? static_cast<long>(left) : 0;
  }

  // Starts afresh, anything held back unreported.
  void forget() {
    start_ = 0;
    logged_ = held_back_ = 0;
  }

 private:
  bool open() const { return logged_ > 0; }

  unsigned lines_per_window_;
  long long window_ms_;
  long long start_ = 0;
  unsigned logged_ = 0;
  unsigned held_back_ = 0;
};

}  // namespace hw
