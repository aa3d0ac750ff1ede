// Internal to the POSIX platform: mapping Windows-style paths onto the native
// file system and looking names up the way Windows does (case-blind).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace carob::platform::posix {

// The folder that stands for the drives: the override when given, else
// $ORB_ROOT, else ${XDG_DATA_HOME:-$HOME/.local/share}/orb. No trailing "/".
std::string DefaultOrbRoot(const std::string& override_root);

class PathMap {
 public:
  explicit PathMap(std::string orb_root);

  // "L:\a\b" -> root/l/a/b; "Z:\a" -> /a; anything else: "\" becomes "/".
  std::string ToNative(std::string_view windows_path) const;
  // The reverse: under root/<letter>/ as "L:\...", any other absolute path
  // as "Z:\...". Symlinked spellings of the root are recognised.
  std::string ToWindows(std::string_view native_path) const;

  // A name as found on disk.
  struct Hit {
    std::string native;       // native path of the entry
    std::string windows;      // Windows-style path, components as stored
    std::string stored_name;  // last component as stored
    struct stat st {};        // what stat() said of the entry
  };

  // One stat of a plain drive path ("C:\a\b": no "." or ".." parts, no
  // doubled, forward or trailing separators) spelt as stored: 1 when it
  // exists (st filled), 0 when it does not, -1 when the path is not plain
  // (FindExisting then looks it up).
  int StatPlain(std::string_view windows_path, struct stat* st, std::string* native = nullptr) const;
  // Looks up an existing entry (of any kind). Each component that does not
  // exist exactly is matched case-blind within its folder.
  std::optional<Hit> FindExisting(std::string_view windows_path) const;
  // Where a file to be created (or an existing one) lies: the folder must
  // exist (looked up case-blind; a drive folder is made on demand); the last
  // component is the existing entry matching case-blind, or the name given.
  std::optional<Hit> PlaceForCreate(std::string_view windows_path) const;
  // The same with the last component taken exactly as spelt, whatever
  // stands in the folder under another spelling (no listing of the folder).
  std::optional<Hit> PlaceAsSpelt(std::string_view windows_path) const;
  // True when the path names a drive root ("C:\", "Z:").
  static bool IsDriveRoot(std::string_view windows_path);

  // The entry of native `folder` named like `name` letter case aside (the
  // first in byte order when several are), or nullopt. A folder's listing
  // is remembered while the folder's own stamp (time to the nanosecond,
  // inode, device) stays as it was when it was listed.
  std::optional<std::string> MatchNoCase(const std::string& folder, const std::string& name) const;
  // Our own change of the entry `name` in native `folder` (made or removed),
  // given the folder's stat from just before it: a remembered listing that
  // was current then is brought up to date instead of being listed again.
  void NoteChange(const std::string& folder, const std::string& name, bool made,
                  const struct stat& before) const;
  // How many times a folder was read for a case-blind match (for tests).
  int64_t listings_read() const;
  // Whether a look at a name in native `folder` finds it whatever its
  // letter case (a share whose server folds case): learnt at a listing of
  // the folder, by looking for one of its names spelt in the other case;
  // nullopt until then. In such a folder a name is placed as spelt, with
  // no listing: the server matches it as Windows does.
  std::optional<bool> FoldsCase(const std::string& folder) const;

 private:
  struct Parsed {
    std::string base_native;   // "" for the native root or a relative path
    std::string base_windows;  // "C:" / "Z:" / "" as given
    bool absolute = false;
    char drive = 0;            // lower-case letter, 0 without one
    std::vector<std::string> parts;
  };
  Parsed Parse(std::string_view windows_path) const;
  // Walks parts [0, count) of p; false when one is missing.
  bool Walk(const Parsed& p, size_t count, std::string& native, std::string& windows) const;
  bool EnsureDriveFolder(char drive) const;
  // PlaceForCreate, its last component matched case-blind or not.
  std::optional<Hit> Place(std::string_view windows_path, bool case_blind) const;

  std::string orb_root_;
  std::string canonical_root_;

  // A remembered listing of one folder: the names under their upper case.
  struct Listing {
    int64_t mtime_ns = 0;
    uint64_t inode = 0, device = 0;
    bool settled = false;  // listed well after the folder's last change
    std::unordered_map<std::string, std::set<std::string>> names;
  };
  mutable std::mutex listings_mutex_;
  mutable std::unordered_map<std::string, Listing> listings_;
  // Per folder, its time right after our own last change of it: a folder
  // whose last change was ours is listed as settled however recent it is.
  mutable std::unordered_map<std::string, int64_t> own_change_ns_;
  mutable int64_t listings_read_ = 0;
  // FoldsCase, per folder, once learnt.
  mutable std::unordered_map<std::string, bool> folds_case_;
};

}  // namespace carob::platform::posix
