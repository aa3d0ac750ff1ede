#include "platform/serials.h"

#include <mutex>
#include <set>

namespace carob::platform {
namespace {

std::mutex serial_mutex;
std::set<int> serials_taken;

}  // namespace

int TakeSerial() {
  std::lock_guard<std::mutex> lock(serial_mutex);
  int serial = 1;
  while (serials_taken.count(serial) != 0) ++serial;
  serials_taken.insert(serial);
  return serial;
}

int LowestFreeSerial(int nth) {
  std::lock_guard<std::mutex> lock(serial_mutex);
  for (int serial = 1;; ++serial) {
    if (serials_taken.count(serial) != 0) continue;
    if (nth-- == 0) return serial;
  }
}

void ReturnSerial(int serial) {
  std::lock_guard<std::mutex> lock(serial_mutex);
  serials_taken.erase(serial);
}

}  // namespace carob::platform
