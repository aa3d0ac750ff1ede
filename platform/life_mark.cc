#include "platform/life_mark.h"

#include <chrono>
#include <utility>

namespace carob::platform {

LifeMark::LifeMark(std::function<void()> touch) : touch_(std::move(touch)) {
  thread_ = std::thread([this] {
    const auto every = std::chrono::duration<double>(kRefreshSeconds);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, every, [this] { return stopping_; })) {
      lock.unlock();
      touch_();
      lock.lock();
    }
  });
}

void LifeMark::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace carob::platform
