// The syncs an Env owes while it groups them (Env::GroupSyncs): the files
// closed and the folders changed since the last sync point, by native path,
// shared by the Env and the files it opens. Used by both systems' Envs.
#pragma once

#include <cerrno>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "platform/status.h"

namespace carob::platform {

class SyncPoints {
 public:
  bool grouped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return grouped_;
  }
  void Group(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    grouped_ = on;
  }
  // Defers a file's or a folder's sync when grouping is on: true when it
  // was deferred, false when the caller must sync now.
  bool DeferFile(const std::string& native) { return Defer(files_, native); }
  bool DeferFolder(const std::string& native) { return Defer(folders_, native); }
  // Syncs what is pending, files first, through the system's calls (each
  // gives 0 or an errno; a file gone meanwhile, ENOENT, was replaced or
  // deleted and has nothing left to sync). The first failure ("cannot sync
  // C:\x"), named by `windows` from the native path.
  template <class SyncFile, class SyncFolder, class Windows>
  Status SyncPending(SyncFile sync_file, SyncFolder sync_folder, Windows windows) {
    auto [files, folders] = Take();
    Status first;
    auto note = [&](const std::string& native, int error) {
      if (error != 0 && error != ENOENT && first.ok()) {
        first = Status::FromErrno("cannot sync " + windows(native), error);
      }
    };
    for (const std::string& native : files) note(native, sync_file(native));
    for (const std::string& native : folders) note(native, sync_folder(native));
    return first;
  }

  // What is pending, handed over and forgotten: files, then folders.
  std::pair<std::set<std::string>, std::set<std::string>> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {std::exchange(files_, {}), std::exchange(folders_, {})};
  }

 private:
  bool Defer(std::set<std::string>& into, const std::string& native) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!grouped_) return false;
    into.insert(native);
    return true;
  }

  mutable std::mutex mutex_;
  bool grouped_ = false;
  std::set<std::string> files_;
  std::set<std::string> folders_;
};

}  // namespace carob::platform
