#include "platform/windows_path.h"

#include <cctype>

namespace carob::platform {

bool HasDrive(std::string_view path) {
  return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

bool HasStrayColon(std::string_view path) {
  const size_t colon = path.find(':');
  if (colon == std::string_view::npos) return false;
  return !(colon == 1 && HasDrive(path)) || path.find(':', 2) != std::string_view::npos;
}

std::string LastComponent(std::string_view path, std::string_view separators) {
  return std::string(path.substr(path.find_last_of(separators) + 1));  // npos + 1 is 0
}

std::string FolderPart(std::string_view path, std::string_view separators, std::string_view bare) {
  const size_t sep = path.find_last_of(separators);
  if (sep == std::string_view::npos) return std::string(bare);
  if (sep == 2 && path[1] == ':') return std::string(path.substr(0, 3));
  return std::string(path.substr(0, sep));
}

}  // namespace carob::platform
