// The read-ahead behind File::ReadLine, shared by the systems' open files:
// lines are cut from chunks that the system's positioned read fills, and
// the system's writes keep the chunk in step with the file. It also holds
// the one rule for a read that meets the end of the file too soon.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace carob::platform {

// Reads a file from where `read` stands to its end into `bytes` (appended):
// `read` is one system read (how many bytes it gave in `got`, 0 at the end,
// or its failure), `length` the file's length when it was opened (-1: not
// known, nothing to hold the end to). An end met before that length is
// asked once more, then believed only when `size_now` says the file is that
// short now (cut back meanwhile); otherwise the read fails ("cannot read
// C:\x: the file ended at byte 300 of 1000", EIO). `what` names the read.
Status ReadToEnd(std::string& bytes, int64_t length, const std::string& what,
                 const std::function<Status(char* into, size_t n, size_t& got)>& read,
                 const std::function<Status(int64_t& size)>& size_now);

// The failure of a read that met the end before the file's length.
Status EndedEarly(const std::string& what, int64_t at, int64_t length);

class BufferedFile : public File {
 public:
  bool ReadLine(std::string& line) final;
  Status status() const final { return status_; }
  int64_t Tell() final { return buf_start_ + static_cast<int64_t>(pos_); }

 protected:
  // `path` is the Windows-style name that failures report; `length` the
  // file's length when it was opened.
  BufferedFile(std::string path, int64_t length) : path_(std::move(path)), opened_length_(length) {}

  // Reads up to `n` bytes at `offset` into `into` in one system call: `got`
  // is how many (0 at the end of the file), or the call's failure.
  virtual Status ReadChunk(int64_t offset, char* into, size_t n, size_t& got) = 0;

  // A read met the end of the file at `at`. Ok when the file ends there; a
  // failure when that is before the length it had when opened and, asked
  // again after one more read, the file is still longer (a disk or a
  // network that answered "end" too soon). A file that others cut back
  // meanwhile really ends there.
  Status CheckEnd(int64_t at, char* into, size_t n, size_t& got);
  // The whole of ReadAt over ReadChunk: up to `n` bytes, fewer only at the
  // end of the file.
  Status ReadRange(int64_t offset, size_t n, std::string& bytes);

  // An append: reading on continues where it stood, and more may lie ahead.
  void MoreMayFollow() { eof_ = false; }
  // A write at the reading position that ended at `at`: reading goes on
  // from there, past what was written.
  void ContinueAt(int64_t at);
  // A positioned write: the bytes read ahead that it covered are replaced.
  void Overwrote(int64_t offset, std::string_view bytes);
  // The file was cut back to `length`: nothing read ahead past it stands.
  void CutTo(int64_t length);

  const std::string& path() const { return path_; }
  Status ReadFailed(int error) const { return Status::FromErrno("cannot read " + path_, error); }

 private:
  bool Fill();

  std::string path_;
  int64_t opened_length_;  // the length when opened, less any cut of ours
  std::string buf_;        // bytes read ahead
  size_t pos_ = 0;         // next unread byte in buf_
  int64_t buf_start_ = 0;  // file offset of buf_[0]
  bool eof_ = false;
  Status status_;          // why reading stopped, when it failed
};

}  // namespace carob::platform
