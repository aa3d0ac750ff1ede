// The image of a databank file: its bytes as they stood at one stamp (time
// to the nanosecond, length, inode, device), with an index of the lines of
// each key, so that a lookup the caches do not answer costs one look-up of
// the file's information instead of a read of the whole file. Our own
// writes bring the image up to date as they write; any other change gives
// the file another stamp, and the image is then read again.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/env.h"

namespace carob::databank {

// True when the standard method's rewrite drops the line whatever the key
// it rewrites (blank lines and the like; defined beside the rewrite).
bool DroppedByEveryRewrite(std::string_view line);

class Image {
 public:
  // The bytes read from the file when it had `stamp`.
  void Load(std::string bytes, const platform::FileInfo& stamp);
  // The file still has the stamp the image was taken at.
  bool Matches(const platform::FileInfo& info) const;
  const std::string& bytes() const { return bytes_; }

  // The first line holding the key (trimmed text before its first "=",
  // letter case aside; `upper_key` is trimmed and upper-cased).
  struct Line {
    int64_t start = 0;       // byte offset of its first character
    std::string_view text;   // without its end
    size_t equals = 0;       // offset of its first "=" within text
  };
  std::optional<Line> First(const std::string& upper_key) const;

  // Our own writes, each with the stamp the file had right after it.
  void Appended(std::string_view added, const platform::FileInfo& stamp);
  void Overwritten(int64_t offset, std::string_view run, const platform::FileInfo& stamp);
  // The standard method's new contents: every line kept unless `dropped`
  // says so, each ended by CR LF, then `tail`. Only the lines of the key and
  // those every rewrite drops are looked at (`dropped` must drop no line of
  // another key); the rest is copied in runs. Rewrote() takes it in once the
  // file holds it.
  std::string Rewrite(const std::string& upper_key, std::string_view tail,
                      const std::function<bool(std::string_view)>& dropped);
  void Rewrote(std::string bytes, const platform::FileInfo& stamp);

 private:
  struct Slot {
    int64_t length = 0;  // with the line end
    uint8_t end = 0;     // bytes of the line end (0 for a last line without one)
    bool alive = true;
  };
  void AddLines(std::string_view bytes, int64_t from);
  void AddSlot(std::string_view text, int64_t length, uint8_t end);
  int64_t Offset(size_t slot) const;  // sum of the lengths of the live slots before it
  void TreeAdd(size_t slot, int64_t delta);
  std::string_view TextOf(size_t slot) const;
  static bool Junk(std::string_view text) { return DroppedByEveryRewrite(text); }

  std::string bytes_;
  platform::FileInfo stamp_;
  std::vector<Slot> slots_;
  std::vector<int64_t> tree_;  // Fenwick tree over the live slots' lengths
  std::unordered_map<std::string, std::vector<uint32_t>> keys_;  // upper key -> slots in order
  std::vector<uint32_t> junk_;  // live slots every rewrite drops
  int64_t odd_ends_ = 0;        // live lines not ended by CR LF
  size_t dead_ = 0;             // slots of lines a rewrite dropped
  // Set by Rewrite for Rewrote: the slots dropped, or all of them rebuilt.
  std::vector<uint32_t> pending_cuts_;
  bool pending_rebuild_ = false;
};

}  // namespace carob::databank
