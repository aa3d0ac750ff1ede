// The stop flag of both systems: their handlers (a POSIX signal handler, a
// Windows console control handler running on a thread of its own) note a
// stop here, and the loops deep down read it.
#include <atomic>

#include "platform/signals.h"

namespace carob::platform {
namespace {

// Lock-free, so that a signal handler may set it.
std::atomic<int> g_stop_noted{0};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

void NoteStop() { g_stop_noted.store(1); }

void ClearStop() { g_stop_noted.store(0); }

bool StopRequested() { return g_stop_noted.load() != 0; }

}  // namespace carob::platform
