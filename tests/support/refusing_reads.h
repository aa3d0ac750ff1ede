// An Env that refuses every read of the files whose path holds `refused`,
// with `error` (EACCES: what the system answers for a file its permissions
// keep from us; the tests run as root, whom no permission keeps from
// reading). With `unseen` such a file cannot even be looked at (EIO, a
// share's client failing for a moment).
#pragma once

#include <cerrno>
#include <memory>
#include <optional>
#include <string>

#include "platform/env.h"

namespace carob::testing {

struct RefusingReads : platform::EnvWrapper {
  using EnvWrapper::EnvWrapper;
  std::string refused;
  int error = EACCES;
  bool unseen = false;
  bool Refuses(const std::string& path) const {
    return !refused.empty() && path.find(refused) != std::string::npos;
  }
  bool FileStamp(const std::string& path, platform::FileInfo* stamp) override {
    return !(unseen && Refuses(path)) && EnvWrapper::FileStamp(path, stamp);
  }
  std::optional<platform::FileInfo> FindFile(const std::string& path) override {
    if (unseen && Refuses(path)) return std::nullopt;
    return EnvWrapper::FindFile(path);
  }
  platform::Status LookUp(const std::string& path, std::optional<platform::FileInfo>& info) override {
    info.reset();
    if (unseen && Refuses(path)) return platform::Status::FromErrno("cannot look up " + path, EIO);
    return EnvWrapper::LookUp(path, info);
  }
  platform::Status ReadAll(const std::string& path, std::string& bytes) override {
    if (Refuses(path)) return Refused("cannot read " + path, bytes);
    return EnvWrapper::ReadAll(path, bytes);
  }
  platform::Status ReadAllStamped(const std::string& path, std::string& bytes,
                                  platform::FileInfo* stamp) override {
    if (Refuses(path)) return Refused("cannot read " + path, bytes);
    return EnvWrapper::ReadAllStamped(path, bytes, stamp);
  }
  platform::Status Open(const std::string& path, platform::OpenMode mode,
                        std::unique_ptr<platform::File>* file) override {
    if (mode == platform::OpenMode::kRead && Refuses(path)) {
      return platform::Status::FromErrno("cannot open " + path, error);
    }
    return EnvWrapper::Open(path, mode, file);
  }

 private:
  platform::Status Refused(const std::string& what, std::string& bytes) const {
    bytes.clear();
    return platform::Status::FromErrno(what, error);
  }
};

}  // namespace carob::testing
