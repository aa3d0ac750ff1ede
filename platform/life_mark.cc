#include "platform/life_mark.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <utility>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace carob::platform {

// The process's marking thread and the marks it moves. The touches run
// under the mutex, so a mark that has left the set is never touched again.
class Marker {
 public:
  // Never destroyed: its thread may still wait when the process exits.
  static Marker& Of() {
    static Marker* marker = new Marker;
    return *marker;
  }

#ifndef _WIN32
  // A child of fork() has no marking thread, and its copy of the mutex
  // must not be one the thread held: fork waits for the mutex, and the
  // child starts afresh with no marks (the parent's thread still moves the
  // marks of the files both hold).
  Marker() {
    (void)pthread_atfork([] { Of().mutex_.lock(); }, [] { Of().mutex_.unlock(); },
                         [] {
                           Marker& m = Of();
                           m.marks_.clear();
                           m.started_ = false;
                           m.idle_ = false;
                           // No thread of the child waits on it.
                           new (&m.wake_) std::condition_variable;
                           m.mutex_.unlock();
                         });
  }
#endif

  void Add(LifeMark* mark) {
    std::lock_guard<std::mutex> lock(mutex_);
    marks_.insert(mark);
    if (!started_) {
      started_ = true;
      std::thread([this] { Run(); }).detach();
    } else if (idle_) {
      idle_ = false;
      wake_.notify_all();
    }
  }

  void Remove(LifeMark* mark) {
    std::lock_guard<std::mutex> lock(mutex_);
    marks_.erase(mark);
  }

 private:
  void Run() {
    const auto every = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(LifeMark::kRefreshSeconds));
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      // Every mark held is moved once a period, the newest within it. Locks
      // come and go many times a period: the thread is woken only when a
      // lock comes after a period that ended with none held.
      const auto until = std::chrono::steady_clock::now() + every;
      while (wake_.wait_until(lock, until) != std::cv_status::timeout) {
      }
      for (LifeMark* mark : marks_) mark->touch_();
      if (marks_.empty()) {
        idle_ = true;
        wake_.wait(lock, [this] { return !idle_; });
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::set<LifeMark*> marks_;
  bool started_ = false;
  bool idle_ = false;  // the thread waits for a lock to be taken
};

LifeMark::LifeMark(std::function<void()> touch) : touch_(std::move(touch)) { Marker::Of().Add(this); }

void LifeMark::Stop() { Marker::Of().Remove(this); }  // again: nothing to remove

}  // namespace carob::platform
