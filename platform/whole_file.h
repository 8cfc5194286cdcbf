#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velmora::platform {

// Files read and written whole: the stores of this program (settings, the kept conversation).

struct FileBytes {
  std::string bytes;
};
struct NoSuchFile {};
struct FileUnreadable {
  std::string reason;  // the system's description, e.g. "Permission denied"
};
using FileRead = std::variant<FileBytes, NoSuchFile, FileUnreadable>;

// The system's description of an errno value ("No space left on device"). Any thread.
std::string errnoText(int number);

// Reads the whole file at `path`. Any thread.
FileRead readWholeFile(const std::filesystem::path& path);

// Replaces the file at `path` with `contents` so that a crash or kill at any moment leaves either
// the old file or the new one, never a mixture: a temporary file beside it (`path` with
// ".tmp-XXXXXX" added), fsync, rename over the old file, fsync of the folder. The new file is
// readable and writable by its owner only. A missing folder is created, its missing parents with
// the usual mode and the folder itself with `newFolderMode` (less the umask).
// Temporary files of earlier writes whose writer died are removed on the way.
//
// Answers nullopt once the file is on disk, else what failed ("renaming: No space left on
// device"); the old file is then unchanged. Any thread, but the caller keeps writes of one path
// from overlapping: they would reach the disk in either order.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               std::string_view contents,
                                               mode_t newFolderMode = 0777);

// Removes the temporary files that writes of `path` left behind when their writer died before
// its rename (a crash, a kill); a write in progress keeps its own. Any thread.
void removeAbandonedTemporaries(const std::filesystem::path& path);

// An exclusive lock (flock) on a lock file that one process at a time may hold, kept from
// acquire() until releaseAndRemove() or the object's end (the process's end, however it ends).
// Locks of two objects exclude each other also within one process. One thread at a time.
struct LockHeld {};
struct LockBusy {};  // another holder has it
struct LockFailed {
  std::string reason;  // the system's description
};
class ExclusiveFileLock {
 public:
  using Outcome = std::variant<LockHeld, LockBusy, LockFailed>;

  ExclusiveFileLock() = default;
  ~ExclusiveFileLock();  // lets go; the file stays
  ExclusiveFileLock(const ExclusiveFileLock&) = delete;
  ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

  // Takes the lock on `path` without waiting, making the file (owner only) and its folder (as
  // writeFileAtomically does) when missing. LockHeld also when this object holds it already.
  Outcome acquire(const std::filesystem::path& path, mode_t newFolderMode = 0777);
  bool isHeld() const { return fd_ >= 0; }
  // Removes the lock file and lets go of the lock; nothing when not held.
  void releaseAndRemove();

 private:
  int fd_ = -1;
  std::filesystem::path path_;
};

}  // namespace velmora::platform
