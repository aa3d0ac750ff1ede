#include <cerrno>
#include <string>

#include "platform/windows/file.h"

namespace carob::platform::win {

namespace {

// The classic window-style numbers onto ShowWindow's.
WORD ShowCommand(int window_style) {
  switch (window_style) {
    case 0: return SW_HIDE;
    case 2: return SW_SHOWMINIMIZED;
    case 3: return SW_SHOWMAXIMIZED;
    case 4: return SW_SHOWNOACTIVATE;
    case 6: return SW_SHOWMINNOACTIVE;
    default: return SW_SHOWNORMAL;
  }
}

}  // namespace

int StartDetached(const std::string& exe, int window_style) {
  DWORD attributes = ::GetFileAttributesA(exe.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EACCES;

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = ShowCommand(window_style);
  PROCESS_INFORMATION started{};
  // The command line is the quoted path alone; CreateProcess may write
  // into it.
  std::string command = "\"" + exe + "\"";
  // A process group of its own: a Ctrl+C meant for its starter's console
  // does not reach it.
  if (!::CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_PROCESS_GROUP, nullptr, FolderOf(exe).c_str(), &startup,
                        &started)) {
    return LastErrno();
  }
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  return 0;
}

}  // namespace carob::platform::win
