// The TempRoot of the Windows build (see world.h). On Windows the family's
// paths are the system's own ("C:\FileLoc" is C:\FileLoc), so the tests
// work on real drives: those of a throwaway wine prefix, which the test
// command makes and names in CAROB_SCRATCH_DRIVES ("CDEF": the drives C:,
// D:, E: and F:, the ones the tests use). While any TempRoot lives in the
// process the drives are the test's: the first one clears them (of
// everything but the system's own folders on C:), and the last one clears
// them again. The Windows suite therefore runs one test program at a time.
// path() is a fresh folder of each root's own for files beside the
// family's (a program's output, say).
#pragma once

#include <windows.h>
// Names of ours that the system's headers define as macros.
#undef Yield
#undef MessageBox
#undef SendMessage
#undef PostMessage
#undef GetMessage
#undef CopyFile
#undef MoveFile
#undef DeleteFile
#undef CreateFile

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace carob::testing {

namespace win_root {

// Folders of the system itself, never cleared.
inline bool SystemFolder(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(c & 0xff));
  return name == "windows" || name == "users" || name == "program files" ||
         name == "program files (x86)" || name == "programdata";
}

inline void ClearDrives() {
  const char* scratch = std::getenv("CAROB_SCRATCH_DRIVES");
  if (scratch == nullptr || std::string(scratch).find_first_of("Cc") == std::string::npos) {
    std::fprintf(stderr,
                 "The Windows tests clear the drives they use. Run them in a throwaway wine prefix "
                 "with CAROB_SCRATCH_DRIVES=CDEF (scripts/test.sh does).\n");
    std::exit(3);
  }
  for (const char* d = scratch; *d; ++d) {
    const std::string drive = std::string(1, *d) + ":\\";
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(drive, ec)) {
      if ((*d == 'C' || *d == 'c') && SystemFolder(e.path().filename().string())) continue;
      std::error_code ignored;
      std::filesystem::remove_all(e.path(), ignored);
    }
  }
}

inline int& LiveRoots() {
  static int live = 0;
  return live;
}

}  // namespace win_root

class TempRoot {
 public:
  TempRoot() {
    if (win_root::LiveRoots()++ == 0) win_root::ClearDrives();
    static int counter = 0;
    const std::filesystem::path p = std::filesystem::temp_directory_path() /
        ("carob-test-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++));
    std::error_code ec;
    std::filesystem::create_directories(p, ec);
    path_ = p.string();
  }
  ~TempRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    if (--win_root::LiveRoots() == 0) win_root::ClearDrives();
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  // Windows-style paths are native here.
  std::string Native(std::string windows_path) const { return windows_path; }
  void MakeFolder(const std::string& windows_folder) const {
    std::error_code ec;
    std::filesystem::create_directories(Native(windows_folder), ec);
  }
  std::string MadeFor(const std::string& windows_path) const {
    const std::filesystem::path p = Native(windows_path);
    std::error_code ec;
    std::filesystem::create_directories(p.parent_path(), ec);
    return p.string();
  }
  void WriteFile(const std::string& windows_path, const std::string& bytes) const {
    std::ofstream(MadeFor(windows_path), std::ios::binary | std::ios::trunc) << bytes;
  }
  // One write at the end of the file, as the family's programs append.
  void Append(const std::string& windows_path, const std::string& bytes) const {
    HANDLE h = ::CreateFileA(MadeFor(windows_path).c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD n = 0;
    (void)::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    ::CloseHandle(h);
  }
  // Read the way the family's programs read on Windows: sharing reading,
  // writing and deletion, so that the reader never stops a writer.
  std::string ReadFile(const std::string& windows_path) const {
    HANDLE h = ::CreateFileA(Native(windows_path).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Exists(windows_path) ? "" : "<missing>";
    std::string bytes;
    char buf[65536];
    DWORD n = 0;
    while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) bytes.append(buf, n);
    ::CloseHandle(h);
    return bytes;
  }
  bool Exists(const std::string& windows_path) const {
    std::error_code ec;
    return std::filesystem::exists(Native(windows_path), ec);
  }

 private:
  std::string path_;
};

}  // namespace carob::testing
