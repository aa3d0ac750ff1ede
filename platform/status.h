// The one shape of a checked result: ok, or what could not be done and why.
//
//   Status s = env.Rename(from, to);
//   if (!s) std::cerr << s.message();  // "cannot rename C:\a to C:\b: permission denied"
//
// A failure carries the action that failed ("cannot write C:\x\y.dat"), in
// the Windows-style paths the family speaks, and its cause: the operating
// system's error number, turned into words when the message is made, or a
// cause in words of our own ("the key holds a line break").
#pragma once

#include <string>
#include <utility>

namespace carob::platform {

class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;
  static Status Ok() { return Status(); }
  // `what` failed because of the operating-system error `error` (an errno).
  static Status FromErrno(std::string what, int error);
  // `what` failed for `cause`, given in words.
  static Status Failure(std::string what, std::string cause);
  // `what` failed for `cause` in words, which the errno `error` stands for
  // to callers that sort failures by their number.
  static Status Failure(std::string what, std::string cause, int error);

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }

  // The action that failed; "" when ok.
  const std::string& what() const { return what_; }
  // Why it failed ("read-only file system"); "" when ok.
  const std::string& cause() const { return cause_; }
  // The errno behind the failure; 0 when ok or when the cause is our own.
  int error() const { return error_; }
  // "what: cause", or "" when ok.
  std::string message() const;
  // The same cause told as the failure of a larger action: the databank's
  // "cannot write C:\x\y.dat" over the file layer's "cannot open ...".
  Status As(std::string what) const;

 private:
  bool failed_ = false;
  int error_ = 0;
  std::string what_;
  std::string cause_;
};

}  // namespace carob::platform
