#include "platform/posix/paths.h"

#include <dirent.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "platform/text.h"
#include "platform/windows_path.h"

namespace carob::platform::posix {

namespace {

std::string StripTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string EnvValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string HomeFolder() {
  std::string home = EnvValue("HOME");
  if (!home.empty()) return home;
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir) {
    return found->pw_dir;
  }
  return "/";
}

// The parts of a path between separators `seps`: no empty or "." parts,
// ".." taken back where possible (kept at the start of a relative path).
std::vector<std::string> Parts(std::string_view path, const char* seps, bool absolute) {
  std::vector<std::string> parts;
  for (size_t i = 0; i <= path.size();) {
    size_t j = std::min(path.find_first_of(seps, i), path.size());
    std::string part(path.substr(i, j - i));
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!absolute) {
        parts.push_back(part);
      }
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  return parts;
}

// Lexical clean-up of a native absolute path: no "//", no "." parts, ".."
// taken back where possible, no trailing "/".
std::string Normalize(const std::string& native) {
  std::string out;
  for (const auto& p : Parts(native, "/", true)) out += "/" + p;
  return out.empty() ? "/" : out;
}

// `part` under `base` with the separator `sep` ("/" native, "\" Windows);
// a relative path has no base.
std::string Join(const std::string& base, bool absolute, const std::string& part,
                 char sep = '/') {
  if (base.empty()) return absolute ? sep + part : part;
  return base == "/" ? base + part : base + sep + part;
}

// "L:\rest" when `path` lies under `root`/<letter>, where letter is a drive
// other than Z (Z is the native root itself).
std::optional<std::string> UnderRoot(const std::string& path, const std::string& root) {
  if (root.empty() || root == "/") return std::nullopt;
  if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 ||
      path[root.size()] != '/') {
    return std::nullopt;
  }
  std::string rest = path.substr(root.size() + 1);
  char letter = rest[0];
  if (letter < 'a' || letter > 'y' || (rest.size() > 1 && rest[1] != '/')) return std::nullopt;
  std::string out;
  out.push_back(static_cast<char>(letter - 'a' + 'A'));
  out += ":\\" + rest.substr(std::min<size_t>(2, rest.size()));
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

// realpath() of the longest existing prefix plus the rest, lexically.
std::string CanonicalPath(const std::string& native_path) {
  if (native_path.empty()) return native_path;
  char buf[PATH_MAX];
  if (::realpath(native_path.c_str(), buf) != nullptr) return buf;
  std::string clean = Normalize(native_path[0] == '/' ? native_path : "/" + native_path);
  if (clean == "/") return clean;
  size_t slash = clean.rfind('/');
  return Join(CanonicalPath(slash == 0 ? "/" : clean.substr(0, slash)), true,
              clean.substr(slash + 1));
}

int64_t NsOf(const timespec& ts) {
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t NowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return NsOf(now);
}

// A folder changed within this many nanoseconds before it was listed may
// change again without its time moving on (file systems keep times at the
// kernel's coarse clock): such a listing serves the lookup that made it and
// is read again for the next one.
constexpr int64_t kSettleNs = 50'000'000;

// How many folders FoldsCase remembers (then it starts afresh).
constexpr size_t kMaxFoldsKnown = 1024;

// `name` with every ASCII letter in the other case.
std::string OtherCase(std::string name) {
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return name;
}

}  // namespace

std::string DefaultOrbRoot(const std::string& override_root) {
  if (!override_root.empty()) return StripTrailingSlashes(override_root);
  std::string root = EnvValue("ORB_ROOT");
  if (!root.empty()) return StripTrailingSlashes(root);
  std::string data = EnvValue("XDG_DATA_HOME");
  // Relative values are not valid for this variable and are ignored.
  if (data.empty() || data[0] != '/') data = StripTrailingSlashes(HomeFolder()) + "/.local/share";
  return StripTrailingSlashes(data) + "/orb";
}

PathMap::PathMap(std::string orb_root) : orb_root_(StripTrailingSlashes(std::move(orb_root))) {}

PathMap::Parsed PathMap::Parse(std::string_view w) const {
  Parsed p;
  std::string_view rest = w;
  if (HasDrive(w)) {
    p.drive = static_cast<char>(std::tolower(static_cast<unsigned char>(w[0])));
    p.base_windows = std::string(w.substr(0, 2));
    p.absolute = true;
    p.base_native = p.drive == 'z' ? "" : orb_root_ + "/" + p.drive;
    rest = w.substr(2);
  } else {
    p.absolute = !w.empty() && (w[0] == '\\' || w[0] == '/');
  }
  p.parts = Parts(rest, "\\/", p.absolute);
  return p;
}

std::string PathMap::ToNative(std::string_view windows_path) const {
  if (!HasDrive(windows_path)) {
    // Without a drive only the separators change.
    std::string native(windows_path);
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
  }
  // With a drive the path is cleaned up as well: "..", "." and doubled
  // separators never lead out of the drive's folder.
  Parsed p = Parse(windows_path);
  std::string native = p.base_native;
  for (const auto& part : p.parts) native = Join(native, p.absolute, part);
  if (native.empty() && p.absolute) native = "/";
  return native;
}

std::string PathMap::ToWindows(std::string_view native_path) const {
  std::string native(native_path);
  if (native.empty()) return native;
  if (native[0] != '/') {
    std::replace(native.begin(), native.end(), '/', '\\');
    return native;
  }
  std::string clean = Normalize(native);
  if (auto hit = UnderRoot(clean, Normalize(orb_root_))) return *hit;
  std::string canon_root = CanonicalPath(orb_root_);
  std::string canon = CanonicalPath(clean);
  if (auto hit = UnderRoot(canon, canon_root)) return *hit;
  std::string out = clean == "/" ? "Z:/" : "Z:" + clean;
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

bool PathMap::IsDriveRoot(std::string_view w) {
  return HasDrive(w) && w.find_first_not_of("\\/", 2) == std::string_view::npos;
}

bool PathMap::Walk(const Parsed& p, size_t count, std::string& native,
                   std::string& windows) const {
  native = p.base_native;
  windows = p.base_windows;
  // The usual case is a path spelt as stored: one look answers for all its
  // folders (a look at each would cost a call per folder, on a network
  // share a trip to the server each).
  if (count > 0) {
    std::string spelt = native, spelt_windows = windows;
    for (size_t i = 0; i < count; ++i) {
      spelt = Join(spelt, p.absolute, p.parts[i]);
      spelt_windows = Join(spelt_windows, p.absolute, p.parts[i], '\\');
    }
    struct stat st {};
    if (::lstat(spelt.c_str(), &st) == 0) {
      native = std::move(spelt);
      windows = std::move(spelt_windows);
      return true;
    }
  }
  for (size_t i = 0; i < count; ++i) {
    const std::string& part = p.parts[i];
    std::string exact = Join(native, p.absolute, part);
    struct stat st {};
    if (::lstat(exact.c_str(), &st) == 0) {
      native = exact;
      windows = Join(windows, p.absolute, part, '\\');
      continue;
    }
    std::string folder = native.empty() ? (p.absolute ? "/" : ".") : native;
    if (FoldsCase(folder).value_or(false)) return false;  // the look above matched any case
    auto stored = MatchNoCase(folder, part);
    if (!stored) return false;
    native = Join(native, p.absolute, *stored);
    windows = Join(windows, p.absolute, *stored, '\\');
  }
  return true;
}

int PathMap::StatPlain(std::string_view w, struct stat* st, std::string* native_out) const {
  if (!(w.size() > 3 && HasDrive(w) && w[2] == '\\' && w.back() != '\\' &&
        w.find('/') == std::string_view::npos && w.find("\\\\") == std::string_view::npos &&
        w.find("\\.") == std::string_view::npos)) {
    return -1;
  }
  // The native path is built in a buffer kept by the thread: a stamp taken
  // for a cache test allocates nothing.
  thread_local std::string native;
  const char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(w[0])));
  native.clear();
  if (drive != 'z') {
    native += orb_root_;
    native += '/';
    native += drive;
  }
  const size_t base = native.size();
  native.append(w.substr(2));
  std::replace(native.begin() + static_cast<std::ptrdiff_t>(base), native.end(), '\\', '/');
  if (::stat(native.c_str(), st) != 0) return 0;
  if (native_out) *native_out = native;
  return 1;
}

std::optional<PathMap::Hit> PathMap::FindExisting(std::string_view windows_path) const {
  if (windows_path.empty()) return std::nullopt;  // names nothing, not the working folder
  if (HasStrayColon(windows_path)) return std::nullopt;
  Hit hit;
  std::string plain_native;
  const int plain = StatPlain(windows_path, &hit.st, &plain_native);
  if (plain == 1) {
    hit.native = std::move(plain_native);
    hit.windows = std::string(windows_path);
    hit.stored_name = LastComponent(windows_path);
    return hit;
  }
  Parsed p = Parse(windows_path);
  // The usual case is a name spelt as stored: one stat answers it. Only a
  // miss walks the folders component by component, case-blind.
  if (plain != 0 && !p.parts.empty()) {
    std::string native = p.base_native, windows = p.base_windows;
    for (const std::string& part : p.parts) {
      native = Join(native, p.absolute, part);
      windows = Join(windows, p.absolute, part, '\\');
    }
    if (::stat(native.c_str(), &hit.st) == 0) {
      hit.native = std::move(native);
      hit.windows = std::move(windows);
      hit.stored_name = p.parts.back();
      return hit;
    }
  }
  if (!Walk(p, p.parts.size(), hit.native, hit.windows)) return std::nullopt;
  if (hit.native.empty()) hit.native = p.absolute ? "/" : ".";
  if (::stat(hit.native.c_str(), &hit.st) != 0) return std::nullopt;
  hit.stored_name = p.parts.empty() ? std::string() : hit.native.substr(hit.native.rfind('/') + 1);
  if (p.parts.empty() && p.drive) hit.windows += "\\";
  return hit;
}

std::optional<std::string> PathMap::MatchNoCase(const std::string& folder_in,
                                                const std::string& name) const {
  const std::string folder = folder_in.empty() ? "." : folder_in;
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  const std::string upper = Upper(name);
  std::lock_guard<std::mutex> guard(listings_mutex_);
  auto answer = [&](const Listing& l) -> std::optional<std::string> {
    auto it = l.names.find(upper);
    if (it == l.names.end() || it->second.empty()) return std::nullopt;
    return *it->second.begin();
  };
  auto found = listings_.find(folder);
  if (found != listings_.end() && found->second.settled &&
      found->second.mtime_ns == NsOf(st.st_mtim) && found->second.inode == st.st_ino &&
      found->second.device == st.st_dev) {
    return answer(found->second);
  }
  const int64_t listed_at = NowNs();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return std::nullopt;
  ++listings_read_;
  Listing l;
  l.mtime_ns = NsOf(st.st_mtim);
  l.inode = st.st_ino;
  l.device = st.st_dev;
  auto own = own_change_ns_.find(folder);
  // A folder whose time reads 0 (a network share that keeps no folder
  // times) tells nothing of its changes: its listing is never remembered.
  l.settled = l.mtime_ns != 0 && (listed_at - l.mtime_ns > kSettleNs ||
                                  (own != own_change_ns_.end() && own->second == l.mtime_ns));
  while (dirent* e = ::readdir(dir.get())) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    // Several spellings can coexist on a case-sensitive disk; the set keeps
    // them in order, so the same one is taken every time.
    l.names[Upper(e->d_name)].insert(e->d_name);
  }
  std::optional<std::string> out = answer(l);
  if (!folds_case_.contains(folder)) {
    // One name spelt only one way here, looked for in the other case: found,
    // the folder matches names as Windows does; absent, it does not.
    for (const auto& [upper_name, spellings] : l.names) {
      const std::string& stored = *spellings.begin();
      const std::string other = OtherCase(stored);
      if (spellings.size() != 1 || other == stored) continue;
      struct stat seen {};
      const int looked = ::lstat((folder + "/" + other).c_str(), &seen) == 0 ? 0 : errno;
      if (looked == 0 || looked == ENOENT) {
        if (folds_case_.size() >= kMaxFoldsKnown) folds_case_.clear();
        folds_case_[folder] = looked == 0;
      }
      break;  // any other failure: asked again at the next listing
    }
  }
  listings_[folder] = std::move(l);
  return out;
}

std::optional<bool> PathMap::FoldsCase(const std::string& folder) const {
  std::lock_guard<std::mutex> guard(listings_mutex_);
  auto known = folds_case_.find(folder);
  if (known == folds_case_.end()) return std::nullopt;
  return known->second;
}

void PathMap::NoteChange(const std::string& folder, const std::string& name, bool made,
                         const struct stat& before) const {
  std::lock_guard<std::mutex> guard(listings_mutex_);
  struct stat after {};
  if (::stat(folder.c_str(), &after) != 0) {
    listings_.erase(folder);
    own_change_ns_.erase(folder);
    return;
  }
  own_change_ns_[folder] = NsOf(after.st_mtim);
  auto found = listings_.find(folder);
  if (found == listings_.end()) return;
  Listing& l = found->second;
  // Only a listing that was current just before our change stays useful;
  // any other is dropped and read again when next needed.
  if (!l.settled || l.mtime_ns != NsOf(before.st_mtim) || l.inode != before.st_ino ||
      l.device != before.st_dev) {
    listings_.erase(found);
    return;
  }
  auto& spellings = l.names[Upper(name)];
  if (made) {
    spellings.insert(name);
  } else {
    spellings.erase(name);
  }
  l.mtime_ns = NsOf(after.st_mtim);
  l.inode = after.st_ino;
  l.device = after.st_dev;
}

int64_t PathMap::listings_read() const {
  std::lock_guard<std::mutex> guard(listings_mutex_);
  return listings_read_;
}

bool PathMap::EnsureDriveFolder(char drive) const {
  std::string folder = orb_root_ + "/" + drive;
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<PathMap::Hit> PathMap::PlaceForCreate(std::string_view windows_path) const {
  return Place(windows_path, /*case_blind=*/true);
}

std::optional<PathMap::Hit> PathMap::PlaceAsSpelt(std::string_view windows_path) const {
  return Place(windows_path, /*case_blind=*/false);
}

std::optional<PathMap::Hit> PathMap::Place(std::string_view windows_path, bool case_blind) const {
  if (HasStrayColon(windows_path)) return std::nullopt;
  Parsed p = Parse(windows_path);
  if (p.parts.empty()) return std::nullopt;
  const size_t last = p.parts.size() - 1;
  // A drive root always exists; deeper folders are never made here.
  if (last == 0 && p.drive && p.drive != 'z' && !EnsureDriveFolder(p.drive)) return std::nullopt;
  Hit hit;
  if (!Walk(p, last, hit.native, hit.windows)) return std::nullopt;
  std::string folder = hit.native.empty() ? (p.absolute ? "/" : ".") : hit.native;
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  std::string name = p.parts[last];
  std::string exact = Join(hit.native, p.absolute, name);
  if (case_blind && !FoldsCase(folder).value_or(false) && ::lstat(exact.c_str(), &st) != 0) {
    if (auto stored = MatchNoCase(folder, name)) name = *stored;
  }
  hit.native = Join(hit.native, p.absolute, name);
  hit.windows = Join(hit.windows, p.absolute, name, '\\');
  hit.stored_name = name;
  return hit;
}

}  // namespace carob::platform::posix
