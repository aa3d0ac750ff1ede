// The tests' one world builder: a temporary ORB root with "C:\FileLoc"
// naming the shared temporary folder C:\TEMP, an Env over it, and the
// Databank, Registry and Messaging layers, each built only when a test asks
// for it (so a test links only the layers it uses). Beside it, files as a
// reader independent of the program's layers sees them.
#pragma once

#ifdef _WIN32
#include <windows.h>
#undef Yield  // names of ours that the system's headers define as macros
#undef MessageBox
#undef SendMessage
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/interaction.h"

namespace carob::databank { class Databank; }
namespace carob::registry { class Registry; }
namespace carob::messaging { class Messaging; }

namespace carob::testing {

inline constexpr const char* kProgramFolder = "C:\\ORB\\CAROB";
inline constexpr const char* kTempFolder = "C:\\TEMP";
inline constexpr const char* kStatusPath = "C:\\TEMP\\STATUS";

#ifdef _WIN32
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
#endif

inline std::string Upper(std::string s) {  // ASCII letters
  for (char& c : s) c = static_cast<char>(std::toupper(c & 0xff));
  return s;
}

// The tests' one file reader: the whole file at a native path, or
// "<missing>" when it cannot be opened. On Windows it is read sharing
// everything, as the family reads, never to stop a writer.
inline std::string ReadNative(const std::string& path) {
#ifdef _WIN32
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char buf[65536];
  for (DWORD n = 0; ::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0;) bytes.append(buf, n);
  ::CloseHandle(h);
  return bytes;
#else
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
#endif
}

// Lines ended with CR LF, as the databanks and queues hold them.
inline std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\r\n";
  return out;
}

// A "C:\FileLoc" naming the temporary folder and the STATUS databank.
inline std::string FileLocWithStatus(const std::string& temp_folder = kTempFolder) {
  return Lines({"Temporary path=" + temp_folder, std::string("STATUS=") + kStatusPath});
}

// The bytes of a STATUS databank: `lines`, then "fillerNNNNN=xx..." entries
// up to exactly `size` bytes.
inline std::string StatusOfSize(const std::vector<std::string>& lines, size_t size) {
  std::string out = Lines(lines);
  for (int n = 0; out.size() < size; ++n) {
    char key[32];
    const int used = std::snprintf(key, sizeof key, "filler%05d=", n) + 2;  // and CR LF
    const size_t line = size - out.size() >= 200 ? 100 : size - out.size();  // the last: the rest
    out += key + std::string(line - used, 'x') + "\r\n";
  }
  return out;
}

// The start of every entry's header line, then an entry's header line and a
// whole entry as the family appends it: header, text, CR LF.
inline constexpr const char* kRozHeader = "--- Entry by ROZ Default on ";
inline std::string RozHeader(const std::string& stamp = "12-07-2026 08:29:45") {
  return kRozHeader + stamp + "\r\n";
}
inline std::string RozEntry(const std::string& text,
                            const std::string& stamp = "12-07-2026 08:29:45") {
  return RozHeader(stamp) + text + "\r\n";
}

// The lines of a text, split at LF with a CR before it dropped.
inline std::vector<std::string> SplitLines(const std::string& bytes) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; at < bytes.size(); at = end + 1) {
    end = std::min(bytes.find('\n', at), bytes.size());
    lines.push_back(bytes.substr(at, end - at - (end > at && bytes[end - 1] == '\r')));
  }
  return lines;
}

// The lines of a file at a native path, and whether one of them is `line`.
inline std::vector<std::string> ReadLines(const std::string& native_path) {
  return SplitLines(ReadNative(native_path));
}
inline bool HasLine(const std::string& native_path, const std::string& line) {
  return std::ranges::count(ReadLines(native_path), line) > 0;
}

// The entries of a queue file: a line beginning with "---" starts one; lines
// before the first header form an entry without one; a missing file has none.
struct QueueEntry {
  std::string header;
  std::vector<std::string> lines;
};
inline std::vector<QueueEntry> ParseQueue(const std::string& bytes) {
  std::vector<QueueEntry> entries;
  for (const std::string& line : SplitLines(bytes == "<missing>" ? "" : bytes)) {
    const bool header = line.starts_with("---");
    if (header || entries.empty()) entries.emplace_back();
    (header ? entries.back().header : entries.back().lines.emplace_back()) = line;
  }
  return entries;
}

// The value of a key in a databank file (case-blind key, blanks trimmed).
inline std::optional<std::string> BankValue(const std::string& bytes, const std::string& key) {
  auto trim = [](std::string s) {
    s.erase(0, s.find_first_not_of(' '));
    return s.erase(s.find_last_not_of(' ') + 1);
  };
  for (const std::string& line : SplitLines(bytes)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos && Upper(trim(line.substr(0, eq))) == Upper(trim(key))) {
      return trim(line.substr(eq + 1));
    }
  }
  return std::nullopt;
}

// A fresh folder that stands for the ORB root, removed with its contents;
// files are named by their Windows-style path ("C:\x" -> root/c/x). On
// Windows those paths are the system's own: the tests use the drives of a
// throwaway wine prefix named in CAROB_SCRATCH_DRIVES ("CDEF"), cleared (but
// for the system's folders) by the first and by the last living TempRoot, so
// the suite runs one program at a time; path() is a folder of the root's own.
class TempRoot {
 public:
  TempRoot() {
#ifdef _WIN32
    if (LiveRoots()++ == 0) ClearDrives();
    static int counter = 0;
    path_ = (std::filesystem::temp_directory_path() /
             ("carob-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
              std::to_string(counter++))).string();
    MakeFolder(path_);
#else
    std::string tmpl = (std::filesystem::temp_directory_path() / "carob-test-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data()) ? tmpl : "";
#endif
  }
  ~TempRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
#ifdef _WIN32
    if (--LiveRoots() == 0) ClearDrives();
#endif
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  std::string Native(std::string windows_path) const {
#ifndef _WIN32
    if (windows_path.size() >= 2 && windows_path[1] == ':') {
      windows_path.replace(0, 2, 1, static_cast<char>(std::tolower(windows_path[0] & 0xff)));
    }
    for (char& c : windows_path) if (c == '\\') c = '/';
    windows_path = path_ + "/" + windows_path;
#endif
    return windows_path;
  }
  void MakeFolder(const std::string& windows_folder) const {
    std::error_code ec;
    std::filesystem::create_directories(Native(windows_folder), ec);
  }
  // The native path of a file, its folder made.
  std::string MadeFor(const std::string& windows_path) const {
    MakeFolder(windows_path.substr(0, windows_path.rfind('\\')));
    return Native(windows_path);
  }
  void WriteFile(const std::string& windows_path, const std::string& bytes) const {
    std::ofstream(MadeFor(windows_path), std::ios::binary | std::ios::trunc) << bytes;
  }
  // Appends in one write, as the family appends, so that a program that
  // rebuilds the file meanwhile loses nothing.
  void Append(const std::string& windows_path, const std::string& bytes) const {
#ifdef _WIN32
    HANDLE h = ::CreateFileA(MadeFor(windows_path).c_str(), FILE_APPEND_DATA, kShareAll, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD n = 0;
    (void)::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    ::CloseHandle(h);
#else
    const int fd = ::open(MadeFor(windows_path).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    (void)!::write(fd, bytes.data(), bytes.size());
    ::close(fd);
#endif
  }
  std::string ReadFile(const std::string& windows_path) const {  // as ReadNative
    return ReadNative(Native(windows_path));
  }
  bool Exists(const std::string& windows_path) const {
    std::error_code ec;
    return std::filesystem::exists(Native(windows_path), ec);
  }

 private:
  std::string path_;
#ifdef _WIN32
  static int& LiveRoots() {
    static int live = 0;
    return live;
  }
  static void ClearDrives() {
    const char* scratch = std::getenv("CAROB_SCRATCH_DRIVES");
    if (scratch == nullptr || std::string(scratch).find_first_of("Cc") == std::string::npos) {
      std::fprintf(stderr, "The Windows tests clear the drives they use. Run them in a throwaway "
                           "wine prefix with CAROB_SCRATCH_DRIVES=CDEF (scripts/test.sh does).\n");
      std::exit(3);
    }
    for (const char* d = scratch; *d; ++d) {
      std::error_code ec;
      for (const auto& e : std::filesystem::directory_iterator(std::string(1, *d) + ":\\", ec)) {
        const std::string name = Upper(e.path().filename().string());
        const bool system = name == "WINDOWS" || name == "USERS" || name == "PROGRAMDATA" ||
                            name.starts_with("PROGRAM FILES");
        if (!(system && std::toupper(*d) == 'C')) std::filesystem::remove_all(e.path(), ec);
      }
    }
  }
#endif
};

// An Env over `root` whose program `exe` runs from the Windows-style folder
// `program_folder`, with an optional injected clock.
inline std::unique_ptr<platform::Env> MakeTestEnv(
    const TempRoot& root, std::shared_ptr<platform::Clock> clock = nullptr,
    const std::string& program_folder = kProgramFolder, const std::string& exe = "carob") {
  root.MakeFolder(program_folder);
  return platform::NewSystemEnv({.clock = std::move(clock), .random = nullptr,
                                .orb_root = root.path(),
                                .program_path = root.Native(program_folder) + "/" + exe});
}

// A manual clock, by default at 08:29:45 on 12-07-2026.
inline std::shared_ptr<platform::ManualClock> MakeManualClock(int h = 8, int m = 29, double s = 45) {
  return std::make_shared<platform::ManualClock>(
      platform::WallTime{2026, 12, 7, h, m, static_cast<int>(s), h * 3600.0 + m * 60.0 + s});
}

// An Interaction a test scripts; unset, it behaves as a program without a window.
struct ScriptedInteraction : platform::Interaction {
  std::function<void()> on_yield;
  std::function<void(const std::string& text, const std::string& title)> on_message_box;

  void Yield() override { on_yield ? on_yield() : platform::NoWindow().Yield(); }
  void MessageBox(const std::string& text, const std::string& title) override {
    on_message_box ? on_message_box(text, title) : platform::NoWindow().MessageBox(text, title);
  }
};

struct WorldOptions {
  std::string program_folder = kProgramFolder;
  std::string exe = "carob";
  std::string fileloc = "Temporary path=C:\\TEMP\r\n";  // the bytes of C:\FileLoc
  std::shared_ptr<platform::Clock> clock = MakeManualClock();  // null: the system clock
};

class World {
 public:
  explicit World(WorldOptions o = {})
      : options_(std::move(o)),
        clock(std::dynamic_pointer_cast<platform::ManualClock>(options_.clock)) {
    root.WriteFile("C:\\FileLoc", options_.fileloc);
    root.MakeFolder(kTempFolder);
    Restart();
  }
  ~World() {
    while (!layers_.empty()) layers_.pop_back();  // from the top down
  }

  // The program (re)starts: the layers go, from the top down, and a fresh
  // Env comes; the Add* calls build the layers afresh.
  void Restart() {
    while (!layers_.empty()) layers_.pop_back();
    db = nullptr, reg = nullptr, msg = nullptr;
    over_ = (env = NewEnv()).get();
  }

  // One more Env for the same program, root and clock (another running copy).
  std::unique_ptr<platform::Env> NewEnv() const {
    return MakeTestEnv(root, options_.clock, options_.program_folder, options_.exe);
  }

  // A second program on the same files, sharing no caches with the layers.
  template <class Databank = databank::Databank>
  std::unique_ptr<Databank> OtherProgram() {
    return std::make_unique<Databank>(*Hold(std::shared_ptr<platform::Env>(NewEnv())));
  }

  // Builds the layers over a `Wrapper` of the real Env (one that counts or
  // fails some calls); call it before adding them.
  template <class Wrapper>
  Wrapper* Wrap() {
    Wrapper* w = Hold(std::make_shared<Wrapper>(*env));
    over_ = w;
    return w;
  }

  // The layers, each over the ones below it.
  template <class Databank = databank::Databank>
  World& AddDatabank() {
    db = Hold(std::make_shared<Databank>(*over_));
    return *this;
  }
  template <class Registry = registry::Registry>
  World& AddRegistry() {
    if (db == nullptr) AddDatabank();
    reg = Hold(std::make_shared<Registry>(*over_, *db, ui));
    return *this;
  }
  template <class Messaging = messaging::Messaging>
  World& AddMessaging() {
    if (reg == nullptr) AddRegistry();
    msg = Hold(std::make_shared<Messaging>(*over_, *db, *reg));
    return *this;
  }

  std::string Status() const { return root.ReadFile(kStatusPath); }
  void WriteStatus(const std::vector<std::string>& lines) const {
    root.WriteFile(kStatusPath, Lines(lines));
  }
  // A line added to "C:\FileLoc" as another program would record it.
  void AddFileLoc(const std::string& key, const std::string& value) const {
    root.Append("C:\\FileLoc", key + "=" + value + "\r\n");
  }

 private:
  WorldOptions options_;
  std::vector<std::shared_ptr<void>> layers_;
  platform::Env* over_ = nullptr;  // what the layers are built over

  template <class T>
  T* Hold(std::shared_ptr<T> layer) {
    layers_.push_back(layer);
    return layer.get();
  }

 public:
  TempRoot root;
  ScriptedInteraction ui;  // the registry's yields and message boxes
  std::shared_ptr<platform::ManualClock> clock;  // null with another clock
  std::unique_ptr<platform::Env> env;
  databank::Databank* db = nullptr;
  registry::Registry* reg = nullptr;
  messaging::Messaging* msg = nullptr;
};

// A world up to the registry where a warning nobody expected throws, so that
// a guard that wrongly warns does not wait for ever.
struct RegistryWorld : World {
  template <class Registry = registry::Registry>
  explicit RegistryWorld(WorldOptions o = {}) : World(std::move(o)) {
    AddRegistry<Registry>();
    ui.on_message_box = [](const std::string& text, const std::string&) {
      throw std::runtime_error(text);
    };
  }
};

}  // namespace carob::testing
