// Messaging between the programs of the family: the shared log writer and
// the console log, ROZ queue files (interface files), and receiving and
// sending messages through the dispatcher's input file.
#pragma once

#include <string>

#include "databank/databank.h"
#include "platform/env.h"
#include "registry/registry.h"

namespace carob::messaging {

// A received message taken apart.
struct SourcedText {
  std::string Source;
  std::string Text;
};

class Messaging {
 public:
  Messaging(platform::Env& env, databank::Databank& db, registry::Registry& registry);

  // -- log writer
  void WriteLog(const std::string& log_name, const std::string& text);
  void AppendLine(const std::string& path, const std::string& line);
  void RotateConsoleLog(bool keep_previous);
  bool ConsoleLogEnabled() const { return console_log_enabled_; }

  // -- ROZ interface files
  std::string ResolveInterfacePath(const std::string& name);
  void AppendEntry(const std::string& file, const std::string& text);
  std::string ReadTopEntry(const std::string& file);
  void DeleteTopEntry(const std::string& file);
  std::string MakeSwapName(const std::string& path);

  // -- receive and send
  std::string ReceiveMessage(const std::string& app, int kind);
  SourcedText SplitSource(const std::string& text);
  void SendMessage(std::string& source, const std::string& destination, const std::string& text);
  void SendToOutputProgram(const std::string& text);
  std::string AddSource(std::string& source, const std::string& text);
  const std::string& LastSource() const { return last_source_; }

  const std::string& RozTempDir() const { return roz_temp_dir_; }

 private:
  void InitInterfaceFileAccess();

  platform::Env& env_;
  databank::Databank& db_;
  registry::Registry& registry_;
  bool console_log_enabled_ = false;
  std::string roz_temp_dir_;
  bool initialising_ = false;
  std::string last_name_;
  std::string last_path_;
  std::string last_source_;
};

}  // namespace carob::messaging
