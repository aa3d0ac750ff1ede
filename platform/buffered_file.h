// The read-ahead behind File::ReadLine, shared by the systems' open files:
// lines are cut from chunks that the system's positioned read fills, and
// the system's writes keep the chunk in step with the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace carob::platform {

class BufferedFile : public File {
 public:
  bool ReadLine(std::string& line) final;
  int64_t Tell() final { return buf_start_ + static_cast<int64_t>(pos_); }

 protected:
  // Reads up to `n` bytes at `offset` into `into`: how many were read, 0 at
  // the end of the file or when the read fails.
  virtual size_t ReadChunk(int64_t offset, char* into, size_t n) = 0;

  // An append: reading on continues where it stood, and more may lie ahead.
  void MoreMayFollow() { eof_ = false; }
  // A write at the reading position that ended at `at`: reading goes on
  // from there, past what was written.
  void ContinueAt(int64_t at);
  // A positioned write: the bytes read ahead that it covered are replaced.
  void Overwrote(int64_t offset, std::string_view bytes);
  // The file was cut back to `length`: nothing read ahead past it stands.
  void CutTo(int64_t length);

 private:
  bool Fill();

  std::string buf_;        // bytes read ahead
  size_t pos_ = 0;         // next unread byte in buf_
  int64_t buf_start_ = 0;  // file offset of buf_[0]
  bool eof_ = false;
};

}  // namespace carob::platform
