#include <cerrno>
#include <string>

#include "platform/windows/file.h"

#include <tlhelp32.h>  // after windows.h, which file.h includes

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

std::string CloseEventName(unsigned long pid) { return "carob-close-" + std::to_string(pid); }

std::string CommandLineOfSelf() {
  const char* line = ::GetCommandLineA();
  return line ? line : "";
}

std::string StartedHowSelf() {
  // The parent's id and name from the system's process list; a parent that
  // has ended meanwhile is named by its id alone.
  const DWORD self = ::GetCurrentProcessId();
  Handle list(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!list.valid()) return "";
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  DWORD parent = 0;
  for (BOOL more = ::Process32First(list.get(), &entry); more;
       more = ::Process32Next(list.get(), &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  if (parent == 0) return "";
  std::string name;
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32First(list.get(), &entry); more;
       more = ::Process32Next(list.get(), &entry)) {
    if (entry.th32ProcessID == parent) name = entry.szExeFile;
  }
  const std::string id = "process " + std::to_string(parent);
  return name.empty() ? id : name + ", " + id;
}

bool ProcessAliveNative(int pid) {
  if (pid <= 0) return true;
  Handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
  // No such process is the one refusal that says "none"; any other (access
  // denied) leaves it living.
  if (!process.valid()) return ::GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  if (!::GetExitCodeProcess(process.get(), &code)) return true;
  return code == STILL_ACTIVE;
}

int StopProcessNative(int pid) {
  if (pid <= 0) return ESRCH;
  Handle event(::OpenEventA(EVENT_MODIFY_STATE, FALSE, CloseEventName(pid).c_str()));
  if (!event.valid()) {
    const DWORD code = ::GetLastError();
    return code == ERROR_FILE_NOT_FOUND ? ESRCH : ErrnoOf(code);
  }
  return ::SetEvent(event.get()) ? 0 : LastErrno();
}

}  // namespace carob::platform::win
