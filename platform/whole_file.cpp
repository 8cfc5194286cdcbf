#include "platform/whole_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace velmora::platform {

std::string errnoText(int number) {
  return std::error_code(number, std::generic_category()).message();
}

namespace {

std::filesystem::path folderOf(const std::filesystem::path& path) {
  std::filesystem::path folder = path.parent_path();
  return folder.empty() ? "." : folder;
}

std::string temporaryPrefix(const std::filesystem::path& path) {
  return path.filename().string() + ".tmp-";
}

bool writeAll(int fd, std::string_view text) {
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

// Whether `path` still leads to the open file `fd`.
bool stillNamed(int fd, const std::string& path) {
  struct stat mine {};
  struct stat named {};
  return ::fstat(fd, &mine) == 0 && ::stat(path.c_str(), &named) == 0 &&
         mine.st_ino == named.st_ino && mine.st_dev == named.st_dev;
}

// Locks a new temporary file for the length of the write. False when another writer's clean-up
// removed it in the moment before the lock (its name then no longer leads to it).
bool lockTemporary(int fd, const std::string& path) {
  // Where the file system has no such locks nobody can take them, so nobody cleans up either.
  if (::flock(fd, LOCK_EX) != 0) return true;
  return stillNamed(fd, path);
}

void createFolder(const std::filesystem::path& folder, mode_t mode) {
  std::error_code ignored;
  if (std::filesystem::exists(folder, ignored)) return;
  // A failure here shows as the temporary file's, with the system's reason.
  std::filesystem::create_directories(folder.parent_path(), ignored);
  ::mkdir(folder.c_str(), mode);
}

}  // namespace

FileRead readWholeFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return NoSuchFile{};
    return FileUnreadable{errnoText(errno)};
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return FileUnreadable{errnoText(error)};
    }
    text.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  return FileBytes{std::move(text)};
}

// A writer holds an exclusive lock on its temporary file until the rename, so a file whose lock
// can be taken has nobody left to finish it; nothing else would ever remove it.
void removeAbandonedTemporaries(const std::filesystem::path& path) {
  const std::filesystem::path folder = folderOf(path);
  const std::string prefix = temporaryPrefix(path);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    // mkostemp() puts six characters after the prefix.
    if (name.size() != prefix.size() + 6 || !name.starts_with(prefix)) continue;
    const std::string found = (folder / name).string();
    const int fd = ::open(found.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(found.c_str());
    ::close(fd);
  }
  ::closedir(dir);
}

std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               std::string_view contents,
                                               mode_t newFolderMode) {
  const std::filesystem::path folder = folderOf(path);
  createFolder(folder, newFolderMode);
  removeAbandonedTemporaries(path);

  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    temporary = (folder / (temporaryPrefix(path) + "XXXXXX")).string();
    // mkostemp() creates the file with mode 0600.
    fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) break;
    if (!lockTemporary(fd, temporary)) {
      ::close(fd);
      fd = -1;
      errno = EEXIST;
    }
  }
  if (fd < 0) return "creating a temporary file: " + errnoText(errno);

  // Closed only after the rename: closing ends the lock that keeps the file from clean-ups.
  std::optional<std::string> failure;
  if (!writeAll(fd, contents)) {
    failure = "writing: " + errnoText(errno);
  } else if (::fsync(fd) != 0) {
    failure = "fsync: " + errnoText(errno);
  } else if (::rename(temporary.c_str(), path.c_str()) != 0) {
    failure = "renaming: " + errnoText(errno);
  }
  // The data reached the disk with fsync(); what close() might still report changes nothing.
  ::close(fd);
  if (failure) {
    ::unlink(temporary.c_str());
    return failure;
  }
  // The rename itself is only durable once the folder's entry has reached the disk.
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
  return std::nullopt;
}

ExclusiveFileLock::~ExclusiveFileLock() {
  if (fd_ >= 0) ::close(fd_);
}

ExclusiveFileLock::Outcome ExclusiveFileLock::acquire(const std::filesystem::path& path,
                                                      mode_t newFolderMode) {
  if (fd_ >= 0) return Outcome{LockHeld{}};
  createFolder(path.parent_path(), newFolderMode);
  // A holder that removes the file as it lets go may do so between our open and our lock: the
  // lock is ours only while the name still leads to the file locked.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return Outcome{LockFailed{errnoText(errno)}};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK) return Outcome{LockBusy{}};
      return Outcome{LockFailed{errnoText(error)}};
    }
    if (stillNamed(fd, path.string())) {
      fd_ = fd;
      path_ = path;
      return Outcome{LockHeld{}};
    }
    ::close(fd);
  }
  return Outcome{LockFailed{"the lock file kept being replaced"}};
}

void ExclusiveFileLock::releaseAndRemove() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());  // while still locked, so no one takes a lock on a name going away
  ::close(std::exchange(fd_, -1));
}

}  // namespace velmora::platform
