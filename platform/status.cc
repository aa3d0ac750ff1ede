#include "platform/status.h"

#include <cctype>
#include <cstring>

namespace carob::platform {

Status Status::FromErrno(std::string what, int error) {
  Status s;
  s.failed_ = true;
  s.error_ = error;
  s.what_ = std::move(what);
  // strerror's words, as a clause of our sentence: "Read-only file system"
  // reads "read-only file system". Names that are all capitals stay so.
  s.cause_ = error != 0 ? std::strerror(error) : "unknown error";
  if (s.cause_.size() > 1 && std::isupper(static_cast<unsigned char>(s.cause_[0])) &&
      std::islower(static_cast<unsigned char>(s.cause_[1]))) {
    s.cause_[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(s.cause_[0])));
  }
  return s;
}

Status Status::Failure(std::string what, std::string cause) {
  Status s;
  s.failed_ = true;
  s.what_ = std::move(what);
  s.cause_ = std::move(cause);
  return s;
}

Status Status::Failure(std::string what, std::string cause, int error) {
  Status s = Failure(std::move(what), std::move(cause));
  s.error_ = error;
  return s;
}

std::string Status::message() const {
  if (ok()) return {};
  if (cause_.empty()) return what_;
  return what_ + ": " + cause_;
}

Status Status::As(std::string what) const {
  Status s = *this;
  if (!ok()) s.what_ = std::move(what);
  return s;
}

}  // namespace carob::platform
