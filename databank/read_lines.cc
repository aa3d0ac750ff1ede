#include <optional>
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
  // A file the images know is not read again.
  std::optional<platform::FileInfo> info;
  if (images_on_) info = env_.FindFile(path);
  std::string_view bytes;
  Image* image = nullptr;
  platform::Status read =
      info ? Contents(*info, bytes, &image) : env_.ReadAll(path, scratch_);
  if (!read) return read;
  if (!info) bytes = scratch_;
  platform::ForEachLine(bytes, [&lines](std::string_view line, int64_t) {
    lines.emplace_back(line);
    return true;
  });
  return platform::Status::Ok();
}

}  // namespace carob::databank
