// The shared log writer and the console log ("Console_use.log").
#include <string>

#include "messaging/messaging.h"
#include "platform/clockstamp.h"
#include "platform/log_rotation.h"
#include "platform/text.h"

namespace carob::messaging {

Messaging::Messaging(platform::Env& env, databank::Databank& db, registry::Registry& registry)
    : env_(env), db_(db), registry_(registry) {}

void Messaging::WriteLog(const std::string& log_name, const std::string& text) {
  std::string path = log_name;
  if (path.find(':') == std::string::npos) path = platform::JoinPath(env_.ProgramFolder(), path);
  // The whole path counts: a dot in a folder name is enough to keep ".log" off.
  if (path.find('.') == std::string::npos) path += ".log";
  AppendLine(path, platform::ClockStamp(env_) + "| " + text);
}

void Messaging::AppendLine(const std::string& path, const std::string& line) {
  std::string resolved = ResolveInterfacePath(path);
  if (resolved.empty()) return;
  std::unique_ptr<platform::File> file;
  // A missing folder or a locked file: the line is lost.
  if (!env_.Open(resolved, platform::OpenMode::kAppend, &file)) return;
  // One write per line, so a reader between two lines sees whole lines.
  (void)file->Write(line + std::string(platform::kCrLf));  // a log line is best effort
}

void Messaging::RotateConsoleLog(bool keep_previous) {
  const std::string log = platform::JoinPath(env_.ProgramFolder(), kConsoleLogName);
  platform::StartLogAfresh(env_, log, keep_previous);
  console_log_enabled_ = true;
}

}  // namespace carob::messaging
