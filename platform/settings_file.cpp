#include "platform/settings_file.h"

#include <nlohmann/json.hpp>
#include <string>

#include "platform/console.h"
#include "platform/overloaded.h"
#include "platform/user_folders.h"
#include "platform/whole_file.h"

namespace velmora::platform {

SettingsFile::SettingsFile(std::filesystem::path path) : path_(std::move(path)) {
  load();
}

std::filesystem::path SettingsFile::defaultPath() {
  return xdgBaseFolder("XDG_CONFIG_HOME", ".config") / "velmora" / "settings.json";
}

void SettingsFile::load() {
  const std::string name = path_.string();
  std::optional<std::string> text;
  FileRead read = readWholeFile(path_);
  std::visit(Overloaded{[&](FileBytes& file) { text = std::move(file.bytes); },
                        [&](const NoSuchFile&) {
                          printLine("Settings file " + name +
                                    " does not exist yet; starting with no settings");
                        },
                        [&](const FileUnreadable& failure) {
                          printLine("⚠️ Settings file " + name + " could not be read (" +
                                    failure.reason + "); starting with no settings");
                        }},
             read);
  if (!text) return;
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
    } else if (value.is_boolean()) {
      // A switch written by hand as a JSON literal; the next write stores it as text.
      values_[key] = value.get<bool>() ? "true" : "false";
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

std::optional<bool> SettingsFile::flag(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  if (found->second == "true") return true;
  if (found->second == "false") return false;
  if (reportedFlags_.insert(found->first).second) {
    printLine("⚠️ Settings file " + path_.string() + ": " + found->first + " is \"" +
              found->second + "\", not true or false; the default is used");
  }
  return std::nullopt;
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

  const std::optional<std::string> failure = writeFileAtomically(path_, text);
  if (!failure) return true;
  printLine("⚠️ Could not write settings file " + path_.string() + " (" + *failure + ")");
  return false;
}

}  // namespace velmora::platform
