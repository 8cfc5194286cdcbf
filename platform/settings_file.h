#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace velmora::platform {

// The preference store: text values under keys, kept in one JSON object of string members.
//
// The file is read once, by the constructor; from then on the values in memory are the truth and
// every change rewrites the whole file atomically (a temporary file in the same folder, fsync,
// rename over the old file, fsync of the folder), so a crash or kill at any moment leaves either
// the old file or the new one, never a mixture.
//
// Switches are kept as the text "true" or "false"; a JSON true or false written by hand loads as
// that text.
//
// A file that is missing, unreadable, empty, truncated or not a JSON object loads as no keys and
// prints one console line naming the file. Members whose value is not a string are skipped
// (the string members are kept) with one console line naming the file and the skipped keys; the
// next write leaves them out. Whatever was loaded, the next change writes a valid file.
//
// Every member function may be called from any thread.
class SettingsFile {
 public:
  // Loads the file at `path`; never fails (see above).
  explicit SettingsFile(std::filesystem::path path = defaultPath());

  // $XDG_CONFIG_HOME/velmora/settings.json, or ~/.config/velmora/settings.json when that
  // variable is unset, empty or not an absolute path. The home folder is $HOME, else the
  // password database's entry of the user.
  static std::filesystem::path defaultPath();

  const std::filesystem::path& path() const { return path_; }

  // The value stored under `key`, or nullopt when there is none.
  std::optional<std::string> string(std::string_view key) const;

  // The switch stored under `key`: true or false; nullopt when there is none or when it holds
  // anything else, which prints one console line naming the file and the key, once per key.
  std::optional<bool> flag(std::string_view key) const;

  // Stores `value` under `key` and writes the file. When writing fails the value is still kept in
  // memory for this run, one console line names the file and the reason, and the answer is false.
  bool set(std::string_view key, std::string_view value);

  // Removes `key` (if present) and writes the file; failures as for set().
  bool remove(std::string_view key);

 private:
  void load();
  bool writeLocked();  // with mutex_ held

  const std::filesystem::path path_;
  mutable std::mutex mutex_;
  // guarded by mutex_, which is also held for the whole of each file write so that writes reach
  // the disk in the order of the changes
  std::map<std::string, std::string, std::less<>> values_;
  mutable std::set<std::string, std::less<>> reportedFlags_;  // guarded by mutex_
};

}  // namespace velmora::platform
