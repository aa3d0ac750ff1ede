// Sending messages: every message goes as one entry into the dispatcher's
// input file, which the dispatcher registers under "RORU PO Input".
#include <string>

#include "messaging/messaging.h"
#include "platform/text.h"

namespace carob::messaging {

void Messaging::SendMessage(std::string& source, const std::string& destination,
                            const std::string& text) {
  if (source.empty()) source = kNoComputer;
  const std::string input = FileLocation(kDispatcherInputKey);
  const std::string body = destination.empty() || destination == kNoComputer
                               ? "DO " + text
                               : "SENDTO [" + destination + "] " + text;
  // Not told on: SendMessage answers nobody, and a message the dispatcher's
  // input cannot take is lost as it always was (orb talk, which must know,
  // appends its messages itself).
  (void)AppendEntry(input, AddSource(source, body));
  if (console_log_enabled_) {
    WriteLog(kConsoleLogName, "Sent [" + AddSource(source, body) + "] to [" + input + "]");
    WriteLog(kConsoleLogName, " SourceComputer = " + source);
    WriteLog(kConsoleLogName, " ToComputer = " + destination);
    WriteLog(kConsoleLogName, " Text = " + text);
  }
}

void Messaging::SendToOutputProgram(const std::string& text) {
  if (last_source_refused_) {
    if (console_log_enabled_) {
      WriteLog(kConsoleLogName, "Not sent [" + text + "]: the message it answers named no valid source");
    }
    return;
  }
  std::string source = registry_.GetLocalId();
  SendMessage(source, last_source_, text);
}

std::string Messaging::AddSource(std::string& source, const std::string& text) {
  if (platform::Trim(text).empty()) return "";
  const std::string trimmed = platform::Trim(source);
  if (trimmed.empty() || trimmed == kNoComputer) source = registry_.GetLocalId();
  return "SET SOURCE = " + source + std::string(platform::kCrLf) + text;
}

}  // namespace carob::messaging
