#include <string>

#include "databank/databank.h"
#include "platform/text.h"

namespace carob::databank {

platform::Status Databank::ReadLines(std::string_view bank, std::vector<std::string>& lines) {
  lines.clear();
  std::string name(bank);
  const std::string path = ResolveBankPath(name);
  if (path.empty()) {
    return platform::Status::Failure("cannot read databank " + name, "the name denotes a folder");
  }
  std::string bytes;
  if (platform::Status read = env_.ReadAll(path, bytes); !read) return read;
  platform::ForEachLine(bytes, [&lines](std::string_view line, int64_t) {
    lines.emplace_back(line);
    return true;
  });
  return platform::Status::Ok();
}

}  // namespace carob::databank
