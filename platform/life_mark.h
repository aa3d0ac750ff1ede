// A lock holder's mark of life: while it lives, the holder moves the lock
// file's modification time on about once a second, so that a waiter that
// cannot see the holder's lock itself (on a network share the other
// computers' locks are not seen) tells a slow holder, whose mark keeps
// moving, from a dead one, whose mark stands still. One thread of the
// process moves every mark it holds, started at its first mark: a lock is
// taken for every write, and a thread made and ended for each cost more
// than the write itself. Internal to platform/.
#pragma once

#include <functional>

namespace carob::platform {

class LifeMark {
 public:
  // Seconds between two refreshes of the mark; a waiter breaks a lock only
  // after its mark has stood still several times as long.
  static constexpr double kRefreshSeconds = 1.0;

  // Starts refreshing with `touch` (which moves the mark on; its failures
  // only leave the mark where it was). `touch` runs on the marking thread.
  explicit LifeMark(std::function<void()> touch);
  // Stops the refreshing before the holder lets the file go: once it has
  // returned, `touch` is not running and is never called again.
  ~LifeMark() { Stop(); }
  void Stop();

  LifeMark(const LifeMark&) = delete;
  LifeMark& operator=(const LifeMark&) = delete;

 private:
  friend class Marker;
  std::function<void()> touch_;
};

}  // namespace carob::platform
