#include "platform/user_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace velmora::platform {

std::filesystem::path homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return found->pw_dir;
  }
  return ".";
}

std::filesystem::path xdgBaseFolder(const char* variable, const std::filesystem::path& underHome) {
  if (const char* value = std::getenv(variable);
      value != nullptr && *value != '\0' && std::filesystem::path(value).is_absolute()) {
    return value;
  }
  return homeFolder() / underHome;
}

}  // namespace velmora::platform
