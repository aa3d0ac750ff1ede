// A lock holder's mark of life: while it lives, a thread of the holder
// moves the lock file's modification time on about once a second, so that
// a waiter that cannot see the holder's lock itself (on a network share the
// other computers' locks are not seen) tells a slow holder, whose mark
// keeps moving, from a dead one, whose mark stands still. Internal to
// platform/.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace carob::platform {

class LifeMark {
 public:
  // Seconds between two refreshes of the mark; a waiter breaks a lock only
  // after its mark has stood still several times as long.
  static constexpr double kRefreshSeconds = 1.0;

  // Starts refreshing with `touch` (which moves the mark on; its failures
  // only leave the mark where it was).
  explicit LifeMark(std::function<void()> touch);
  // Stops the refreshing before the holder lets the file go.
  ~LifeMark() { Stop(); }
  void Stop();

  LifeMark(const LifeMark&) = delete;
  LifeMark& operator=(const LifeMark&) = delete;

 private:
  std::function<void()> touch_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace carob::platform
