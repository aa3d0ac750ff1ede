#include "platform/buffered_file.h"

#include <algorithm>

namespace carob::platform {

namespace {
constexpr size_t kChunk = 64 * 1024;
}  // namespace

bool BufferedFile::Fill() {
  if (eof_) return false;
  // Drop what has been consumed, then read a chunk behind the rest.
  if (pos_ > 0) {
    buf_start_ += static_cast<int64_t>(pos_);
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  const size_t old = buf_.size();
  buf_.resize(old + kChunk);
  const size_t n = ReadChunk(buf_start_ + static_cast<int64_t>(old), buf_.data() + old, kChunk);
  buf_.resize(old + n);
  if (n == 0) eof_ = true;
  return n > 0;
}

bool BufferedFile::ReadLine(std::string& line) {
  size_t scanned = pos_;
  for (;;) {
    size_t nl = buf_.find('\n', scanned);
    if (nl != std::string::npos) {
      size_t end = nl;
      if (end > pos_ && buf_[end - 1] == '\r') --end;
      line.assign(buf_, pos_, end - pos_);
      pos_ = nl + 1;
      return true;
    }
    size_t consumed = pos_;
    scanned = buf_.size();
    if (!Fill()) break;
    // Fill moved the unread bytes to the front of the buffer.
    scanned -= consumed;
  }
  if (pos_ < buf_.size()) {
    // The last line of a file needs no end.
    line.assign(buf_, pos_, std::string::npos);
    pos_ = buf_.size();
    return true;
  }
  return false;
}

void BufferedFile::ContinueAt(int64_t at) {
  buf_.clear();
  pos_ = 0;
  buf_start_ = at;
  eof_ = false;
}

void BufferedFile::Overwrote(int64_t offset, std::string_view bytes) {
  const int64_t from = std::max(offset, buf_start_);
  const int64_t to = std::min(offset + static_cast<int64_t>(bytes.size()),
                              buf_start_ + static_cast<int64_t>(buf_.size()));
  if (from < to) {
    std::copy(bytes.begin() + (from - offset), bytes.begin() + (to - offset),
              buf_.begin() + (from - buf_start_));
  }
}

void BufferedFile::CutTo(int64_t length) {
  if (buf_start_ + static_cast<int64_t>(buf_.size()) <= length) return;
  // Lines already handed out stay handed out; what follows them is read
  // afresh, up to the new end.
  const int64_t at = std::min(Tell(), length);
  ContinueAt(at);
}

}  // namespace carob::platform
