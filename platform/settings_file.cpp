#include "platform/settings_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "platform/console.h"

namespace velmora::platform {

namespace {

std::string errnoText(int number) {
  return std::error_code(number, std::generic_category()).message();
}

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

// Reads the whole file; nullopt with `error` set when it cannot be opened or read.
std::optional<std::string> readWhole(const std::filesystem::path& path, int& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return std::nullopt;
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      error = errno;
      ::close(fd);
      return std::nullopt;
    }
    text.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  return text;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(count);
  }
  return true;
}

// Removes the temporary files of earlier writes whose writer died (a crash, a kill) before its
// rename: nothing else ever would, and they would pile up. A writer holds an exclusive lock on
// its temporary file until the rename, so a file whose lock can be taken has nobody left to
// finish it.
void removeAbandonedTemporaries(const std::filesystem::path& folder, const std::string& prefix) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    // mkostemp() puts six characters after the prefix.
    if (name.size() != prefix.size() + 6 || !name.starts_with(prefix)) continue;
    const std::string path = (folder / name).string();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(path.c_str());
    ::close(fd);
  }
  ::closedir(dir);
}

// Locks a new temporary file for the length of the write. False when another writer's clean-up
// removed it in the moment before the lock (its name then no longer leads to it).
bool lockTemporary(int fd, const std::string& path) {
  // Where the file system has no such locks nobody can take them, so nobody cleans up either.
  if (::flock(fd, LOCK_EX) != 0) return true;
  struct stat mine {};
  struct stat named {};
  return ::fstat(fd, &mine) == 0 && ::stat(path.c_str(), &named) == 0 &&
         mine.st_ino == named.st_ino && mine.st_dev == named.st_dev;
}

}  // namespace

SettingsFile::SettingsFile(std::filesystem::path path) : path_(std::move(path)) {
  load();
}

std::filesystem::path SettingsFile::defaultPath() {
  std::filesystem::path base;
  // The XDG rules ignore a relative value.
  if (const char* config = std::getenv("XDG_CONFIG_HOME");
      config != nullptr && *config != '\0' && std::filesystem::path(config).is_absolute()) {
    base = config;
  } else {
    base = homeFolder() / ".config";
  }
  return base / "velmora" / "settings.json";
}

void SettingsFile::load() {
  const std::string name = path_.string();
  int error = 0;
  const std::optional<std::string> text = readWhole(path_, error);
  if (!text) {
    if (error == ENOENT) {
      printLine("Settings file " + name + " does not exist yet; starting with no settings");
    } else {
      printLine("⚠️ Settings file " + name + " could not be read (" + errnoText(error) +
                "); starting with no settings");
    }
    return;
  }
  const nlohmann::json document = nlohmann::json::parse(*text, nullptr, false);
  if (document.is_discarded()) {
    printLine("⚠️ Settings file " + name +
              " is empty or not valid JSON; starting with no settings");
    return;
  }
  if (!document.is_object()) {
    printLine("⚠️ Settings file " + name +
              " does not hold a JSON object; starting with no settings");
    return;
  }
  std::string skipped;
  std::lock_guard lock(mutex_);
  for (const auto& [key, value] : document.items()) {
    if (value.is_string()) {
      values_[key] = value.get<std::string>();
    } else {
      skipped += skipped.empty() ? key : ", " + key;
    }
  }
  if (!skipped.empty()) {
    printLine("⚠️ Settings file " + name +
              " holds values that are not text, ignored: " + skipped);
  }
}

std::optional<std::string> SettingsFile::string(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

bool SettingsFile::set(std::string_view key, std::string_view value) {
  std::lock_guard lock(mutex_);
  values_.insert_or_assign(std::string(key), std::string(value));
  return writeLocked();
}

bool SettingsFile::remove(std::string_view key) {
  std::lock_guard lock(mutex_);
  if (const auto found = values_.find(key); found != values_.end()) values_.erase(found);
  return writeLocked();
}

bool SettingsFile::writeLocked() {
  nlohmann::json document = nlohmann::json::object();
  for (const auto& [key, value] : values_) document[key] = value;
  // Bytes that are not UTF-8 cannot go into JSON text; they are written as U+FFFD.
  const std::string text =
      document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";

  std::filesystem::path folder = path_.parent_path();
  if (folder.empty()) folder = ".";
  std::string failure;
  std::error_code created;
  std::filesystem::create_directories(folder, created);

  const std::string prefix = path_.filename().string() + ".tmp-";
  removeAbandonedTemporaries(folder, prefix);
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    temporary = (folder / (prefix + "XXXXXX")).string();
    fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) break;
    if (!lockTemporary(fd, temporary)) {
      ::close(fd);
      fd = -1;
      errno = EEXIST;
    }
  }
  if (fd < 0) {
    failure = "creating a temporary file: " + errnoText(errno);
  } else {
    bool ok = writeAll(fd, text);
    if (!ok) failure = "writing: " + errnoText(errno);
    if (ok && ::fsync(fd) != 0) {
      ok = false;
      failure = "fsync: " + errnoText(errno);
    }
    // Closed only after the rename: closing ends the lock that keeps the file from clean-ups.
    if (ok && ::rename(temporary.c_str(), path_.c_str()) != 0) {
      ok = false;
      failure = "renaming: " + errnoText(errno);
    }
    // The data reached the disk with fsync(); what close() might still report changes nothing.
    ::close(fd);
    if (!ok) {
      ::unlink(temporary.c_str());
    } else {
      // The rename itself is only durable once the folder's entry has reached the disk.
      const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
      }
    }
  }
  if (failure.empty()) return true;
  printLine("⚠️ Could not write settings file " + path_.string() + " (" + failure + ")");
  return false;
}

}  // namespace velmora::platform
