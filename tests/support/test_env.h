// Test support: a temporary ORB_ROOT with a real POSIX Env over it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/env.h"

namespace carob::testing {

// The whole file at a native path; "" when it cannot be read.
inline std::string ReadNative(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A fresh folder that stands for the ORB root; removed with its contents.
class TempRoot {
 public:
  TempRoot() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "carob-test-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    path_ = made ? made : tmpl;
  }
  ~TempRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  // Native path of a Windows-style path under this root ("C:\x" -> root/c/x).
  std::string Native(const std::string& windows_path) const {
    std::string rel;
    if (windows_path.size() >= 2 && windows_path[1] == ':') {
      rel.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(windows_path[0]))));
      rel += windows_path.substr(2);
    } else {
      rel = windows_path;
    }
    for (char& c : rel) if (c == '\\') c = '/';
    return path_ + "/" + rel;
  }
  // Creates the folder (and parents) of a Windows-style folder path.
  void MakeFolder(const std::string& windows_folder) const {
    std::filesystem::create_directories(Native(windows_folder));
  }
  void WriteFile(const std::string& windows_path, const std::string& bytes) const {
    std::filesystem::path p = Native(windows_path);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  // The whole file, or "<missing>" when it does not exist.
  std::string ReadFile(const std::string& windows_path) const {
    return Exists(windows_path) ? ReadNative(Native(windows_path)) : "<missing>";
  }
  bool Exists(const std::string& windows_path) const {
    return std::filesystem::exists(Native(windows_path));
  }

 private:
  std::string path_;
};

// An Env over `root` whose program runs from the Windows-style folder
// `program_folder` (default "C:\ORB\CAROB", executable "carob"), with an
// optional injected clock.
inline std::unique_ptr<platform::Env> MakeTestEnv(
    const TempRoot& root, std::shared_ptr<platform::Clock> clock = nullptr,
    const std::string& program_folder = "C:\\ORB\\CAROB", const std::string& exe = "carob") {
  root.MakeFolder(program_folder);
  platform::PosixEnvOptions o;
  o.orb_root = root.path();
  o.program_path = root.Native(program_folder) + "/" + exe;
  o.clock = std::move(clock);
  return platform::NewPosixEnv(std::move(o));
}

// A manual clock at 08:29:45 on 12-07-2026 (override as needed).
inline std::shared_ptr<platform::ManualClock> MakeManualClock(int h = 8, int m = 29, double s = 45) {
  platform::WallTime t;
  t.year = 2026; t.month = 12; t.day = 7;
  t.hour = h; t.minute = m; t.second = static_cast<int>(s);
  t.seconds_since_midnight = h * 3600.0 + m * 60.0 + s;
  return std::make_shared<platform::ManualClock>(t);
}

}  // namespace carob::testing
