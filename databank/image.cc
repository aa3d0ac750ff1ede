#include "databank/image.h"

#include <algorithm>

#include "databank/lines.h"

namespace carob::databank {

using platform::FileInfo;

namespace {

// The upper-cased key of an entry line, or "" for a line that is no entry.
std::string KeyOf(std::string_view text) {
  size_t eq = text.find('=');
  if (eq == std::string_view::npos) return {};
  std::string_view key = lines::TrimView(text.substr(0, eq));
  std::string out(key.size(), ' ');
  for (size_t i = 0; i < key.size(); ++i) out[i] = lines::Up(key[i]);
  return out;
}

bool SameStamp(const FileInfo& a, const FileInfo& b) {
  return a.size == b.size && a.mtime_ns == b.mtime_ns && a.inode == b.inode &&
         a.device == b.device;
}

}  // namespace

void Image::Load(std::string bytes, const FileInfo& stamp) {
  bytes_ = std::move(bytes);
  stamp_ = stamp;
  slots_.clear();
  tree_.assign(1, 0);
  keys_.clear();
  junk_.clear();
  odd_ends_ = 0;
  dead_ = 0;
  AddLines(bytes_, 0);
}

bool Image::Matches(const FileInfo& info) const { return stamp_.size >= 0 && SameStamp(stamp_, info); }

void Image::AddLines(std::string_view bytes, int64_t from) {
  size_t at = static_cast<size_t>(from);
  while (at < bytes.size()) {
    size_t lf = bytes.find('\n', at);
    size_t end = lf == std::string_view::npos ? bytes.size() : lf + 1;
    size_t text_end = lf == std::string_view::npos ? end : lf;
    if (text_end > at && lf != std::string_view::npos && bytes[text_end - 1] == '\r') --text_end;
    AddSlot(bytes.substr(at, text_end - at), static_cast<int64_t>(end - at),
            static_cast<uint8_t>(end - text_end));
    at = end;
  }
}

void Image::AddSlot(std::string_view text, int64_t length, uint8_t end) {
  const uint32_t id = static_cast<uint32_t>(slots_.size());
  slots_.push_back({length, end, true});
  if (slots_.size() + 1 > tree_.size()) {
    // Grow the tree to twice the slots, built afresh from the lengths.
    std::vector<int64_t> tree(std::max<size_t>(16, 2 * slots_.size()) + 1, 0);
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (!slots_[i].alive) continue;
      for (size_t j = i + 1; j < tree.size(); j += j & (~j + 1)) tree[j] += slots_[i].length;
    }
    tree_ = std::move(tree);
  } else {
    TreeAdd(id, length);
  }
  if (end != 2) ++odd_ends_;
  if (Junk(text)) junk_.push_back(id);
  std::string key = KeyOf(text);
  if (!key.empty()) keys_[std::move(key)].push_back(id);
}

void Image::TreeAdd(size_t slot, int64_t delta) {
  for (size_t j = slot + 1; j < tree_.size(); j += j & (~j + 1)) tree_[j] += delta;
}

int64_t Image::Offset(size_t slot) const {
  int64_t sum = 0;
  for (size_t j = slot; j > 0; j -= j & (~j + 1)) sum += tree_[j];
  return sum;
}

std::string_view Image::TextOf(size_t slot) const {
  const Slot& s = slots_[slot];
  return std::string_view(bytes_).substr(static_cast<size_t>(Offset(slot)),
                                         static_cast<size_t>(s.length - s.end));
}

std::optional<Image::Line> Image::First(const std::string& upper_key) const {
  auto it = keys_.find(upper_key);
  if (it == keys_.end()) return std::nullopt;
  for (uint32_t id : it->second) {
    if (!slots_[id].alive) continue;
    Line line;
    line.start = Offset(id);
    line.text = std::string_view(bytes_).substr(static_cast<size_t>(line.start),
                                                static_cast<size_t>(slots_[id].length - slots_[id].end));
    line.equals = line.text.find('=');
    return line;
  }
  return std::nullopt;
}

void Image::Appended(std::string_view added, const FileInfo& stamp) {
  const bool open_end = !slots_.empty() && slots_.back().end == 0;
  bytes_.append(added);
  stamp_ = stamp;
  if (open_end) {
    // The last line got its end only now: take the lines in afresh.
    Load(std::move(bytes_), stamp);
    return;
  }
  AddLines(bytes_, static_cast<int64_t>(bytes_.size() - added.size()));
}

void Image::Overwritten(int64_t offset, std::string_view run, const FileInfo& stamp) {
  bytes_.replace(static_cast<size_t>(offset), run.size(), run);
  stamp_ = stamp;
  // The key stays, but the line may now end with "=" or no longer do so.
  // Find the slot holding the offset by its start.
  size_t lo = 0, hi = slots_.size();
  while (hi - lo > 1) {
    size_t mid = (lo + hi) / 2;
    if (Offset(mid) <= offset) lo = mid; else hi = mid;
  }
  while (lo < slots_.size() && !slots_[lo].alive) ++lo;
  if (lo >= slots_.size()) return;
  const bool was = std::find(junk_.begin(), junk_.end(), lo) != junk_.end();
  const bool is = Junk(TextOf(lo));
  if (is && !was) junk_.push_back(static_cast<uint32_t>(lo));
  if (!is && was) junk_.erase(std::find(junk_.begin(), junk_.end(), lo));
}

std::string Image::Rewrite(const std::string& upper_key, std::string_view tail,
                           const std::function<bool(std::string_view)>& dropped) {
  pending_cuts_.clear();
  pending_rebuild_ = odd_ends_ != 0;
  std::string fresh;
  fresh.reserve(bytes_.size() + tail.size() + 2);
  if (pending_rebuild_) {
    // Lines with other ends are all rewritten with CR LF: line by line.
    lines::ForEachLine(bytes_, [&](std::string_view line, int64_t) {
      if (!dropped(line)) {
        fresh += line;
        fresh += platform::kCrLf;
      }
      return true;
    });
    fresh += tail;
    return fresh;
  }
  std::vector<uint32_t> looked = junk_;
  if (auto it = keys_.find(upper_key); it != keys_.end()) {
    looked.insert(looked.end(), it->second.begin(), it->second.end());
  }
  std::sort(looked.begin(), looked.end());
  looked.erase(std::unique(looked.begin(), looked.end()), looked.end());
  size_t copied = 0;  // bytes of the old contents dealt with
  for (uint32_t id : looked) {
    if (!slots_[id].alive) continue;
    if (!dropped(TextOf(id))) continue;
    const size_t start = static_cast<size_t>(Offset(id));
    fresh.append(bytes_, copied, start - copied);
    copied = start + static_cast<size_t>(slots_[id].length);
    pending_cuts_.push_back(id);
  }
  fresh.append(bytes_, copied, std::string::npos);
  fresh += tail;
  return fresh;
}

void Image::Rewrote(std::string bytes, const FileInfo& stamp) {
  if (pending_rebuild_) {
    Load(std::move(bytes), stamp);
    return;
  }
  // The keys of the cut lines are read before any of them goes.
  std::vector<std::string> cut_keys;
  for (uint32_t id : pending_cuts_) cut_keys.push_back(KeyOf(TextOf(id)));
  for (size_t i = 0; i < pending_cuts_.size(); ++i) {
    const uint32_t id = pending_cuts_[i];
    slots_[id].alive = false;
    TreeAdd(id, -slots_[id].length);
    if (auto it = keys_.find(cut_keys[i]); it != keys_.end()) {
      auto& ids = it->second;
      ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
      if (ids.empty()) keys_.erase(it);
    }
    junk_.erase(std::remove(junk_.begin(), junk_.end(), id), junk_.end());
  }
  const size_t old_size = bytes_.size();
  int64_t cut = 0;
  for (uint32_t id : pending_cuts_) cut += slots_[id].length;
  // Slots hold no text of their own: the new bytes are the old ones without
  // the cut lines, so every live slot keeps its length.
  bytes_ = std::move(bytes);
  stamp_ = stamp;
  dead_ += pending_cuts_.size();
  pending_cuts_.clear();
  // Once the dropped lines outnumber the live ones, the slots are made
  // afresh from the bytes.
  if (dead_ > 1024 && dead_ > slots_.size() - dead_) {
    Load(std::move(bytes_), stamp);
    return;
  }
  AddLines(bytes_, static_cast<int64_t>(old_size) - cut);
}

}  // namespace carob::databank
