#include "platform/buffered_file.h"

#include <algorithm>
#include <cerrno>

namespace carob::platform {

namespace {
constexpr size_t kChunk = 64 * 1024;
}  // namespace

Status EndedEarly(const std::string& what, int64_t at, int64_t length) {
  return Status::Failure(what,
                         "the file ended at byte " + std::to_string(at) + " of " +
                             std::to_string(length),
                         EIO);
}

Status ReadToEnd(std::string& bytes, int64_t length, const std::string& what,
                 const std::function<Status(char* into, size_t n, size_t& got)>& read,
                 const std::function<Status(int64_t& size)>& size_now) {
  // Read straight into the string, sized from the file's length, so a whole
  // databank usually comes in with one read; a file that grows meanwhile is
  // still read to its end.
  size_t want = length > 0 ? static_cast<size_t>(length) + 1 : kChunk;  // +1 sees the end
  size_t have = bytes.size();
  const size_t start = have;
  bool asked_again = false;
  for (;;) {
    bytes.resize(have + want);
    size_t got = 0;
    Status s = read(bytes.data() + have, want, got);
    bytes.resize(have + (s ? got : 0));
    if (!s) return s.As(what);
    have += got;
    want = kChunk;
    if (got > 0) continue;
    const auto total = static_cast<int64_t>(have - start);
    if (total >= length) return Status::Ok();
    if (!asked_again) {
      asked_again = true;
      continue;
    }
    int64_t now = -1;
    if (Status sized = size_now(now); !sized) return sized.As(what);
    if (now <= total) return Status::Ok();  // cut back by someone: it ends here now
    return EndedEarly(what, total, now);
  }
}

Status BufferedFile::CheckEnd(int64_t at, char* into, size_t n, size_t& got) {
  got = 0;
  if (at >= opened_length_) return Status::Ok();
  // Asked once more: a read may legally come back short once.
  if (Status again = ReadChunk(at, into, n, got); !again || got > 0) return again;
  int64_t now = -1;
  if (Status sized = Size(now); !sized) return sized;
  if (now <= at) return Status::Ok();  // cut back by someone: it ends here now
  return EndedEarly("cannot read " + path_, at, now);
}

Status BufferedFile::ReadRange(int64_t offset, size_t n, std::string& bytes) {
  bytes.clear();
  if (offset < 0) return ReadFailed(EINVAL);
  bytes.resize(n);
  size_t have = 0;
  while (have < n) {
    size_t got = 0;
    const int64_t at = offset + static_cast<int64_t>(have);
    Status s = ReadChunk(at, bytes.data() + have, n - have, got);
    if (s && got == 0) s = CheckEnd(at, bytes.data() + have, n - have, got);
    if (!s) {
      bytes.clear();
      return s;
    }
    if (got == 0) break;
    have += got;
  }
  bytes.resize(have);
  return Status::Ok();
}

bool BufferedFile::Fill() {
  if (eof_ || !status_.ok()) return false;
  // Drop what has been consumed, then read a chunk behind the rest.
  if (pos_ > 0) {
    buf_start_ += static_cast<int64_t>(pos_);
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  const size_t old = buf_.size();
  const int64_t at = buf_start_ + static_cast<int64_t>(old);
  buf_.resize(old + kChunk);
  size_t n = 0;
  Status s = ReadChunk(at, buf_.data() + old, kChunk, n);
  if (s && n == 0) s = CheckEnd(at, buf_.data() + old, kChunk, n);
  buf_.resize(old + n);
  if (!s) {
    status_ = s;
    return false;
  }
  if (n == 0) eof_ = true;
  return n > 0;
}

bool BufferedFile::ReadLine(std::string& line) {
  if (!status_.ok()) return false;
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
  // A read that failed hands out no piece of the line it was in.
  if (!status_.ok()) return false;
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
  opened_length_ = std::min(opened_length_, length);
  if (buf_start_ + static_cast<int64_t>(buf_.size()) <= length) return;
  // Lines already handed out stay handed out; what follows them is read
  // afresh, up to the new end.
  const int64_t at = std::min(Tell(), length);
  ContinueAt(at);
}

}  // namespace carob::platform
