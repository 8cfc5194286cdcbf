#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velmora::update {

// The keys of one application's entry in the update document; other keys of an entry are ignored.
enum class CodingKeys { latestVersion, downloadURL };

// The JSON member name of `key`.
std::string_view stringValue(CodingKeys key);

// One application's entry in the update document.
struct AppUpdateInfo {
  std::string latestVersion;  // a version text such as 1.2.3
  std::string downloadURL;    // the download page's address

  bool operator==(const AppUpdateInfo&) const = default;
};

// Bundle name to entry; the document serves several applications.
using UpdateInfoMap = std::map<std::string, AppUpdateInfo>;

// Why a body is not an update document. A path names the members from the top, e.g.
// ["Velmora", "latestVersion"].
class DecodingError : public std::exception {
 public:
  struct DataCorrupted {  // not JSON (or not UTF-8)
    std::string description;
    bool operator==(const DataCorrupted&) const = default;
  };
  struct TypeMismatch {  // a value of the wrong JSON type; `found` is "null" for null
    std::vector<std::string> path;
    std::string expected;
    std::string found;
    bool operator==(const TypeMismatch&) const = default;
  };
  struct KeyNotFound {  // an entry without one of the two members
    std::string key;
    std::vector<std::string> path;
    bool operator==(const KeyNotFound&) const = default;
  };
  using Case = std::variant<DataCorrupted, TypeMismatch, KeyNotFound>;

  explicit DecodingError(Case value);
  static DecodingError dataCorrupted(std::string description) {
    return DecodingError(DataCorrupted{std::move(description)});
  }
  static DecodingError typeMismatch(std::vector<std::string> path, std::string expected,
                                    std::string found) {
    return DecodingError(TypeMismatch{std::move(path), std::move(expected), std::move(found)});
  }
  static DecodingError keyNotFound(std::string key, std::vector<std::string> path) {
    return DecodingError(KeyNotFound{std::move(key), std::move(path)});
  }

  const Case& value() const { return value_; }
  // The printed form, always a single line: member names are quoted with control characters
  // escaped, so a hostile document cannot forge log lines.
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  Case value_;
  std::string description_;
};

// Decodes the update document: a JSON object whose every member is an entry holding the string
// members "latestVersion" and "downloadURL". Raises DecodingError for anything else, including a
// malformed entry of another application. Any thread.
UpdateInfoMap parseUpdateInfo(std::span<const std::uint8_t> body);

// parseUpdateInfo, but a failure is logged as "JSONのパースエラー: " and its printed form and
// gives no map. Any thread.
std::optional<UpdateInfoMap> decodeUpdateInfo(std::span<const std::uint8_t> body);

// The numbers of a version text: its "."-separated components that read as signed decimal
// integers (optional "+" or "-", then ASCII digits, within 64 bits); empty and unreadable
// components are dropped, so "2.0b1" gives {2}.
std::vector<std::int64_t> versionNumbers(std::string_view version);

// Whether `latest` names a newer version than `current`, comparing versionNumbers position by
// position with missing positions read as 0: 1.10 > 1.9, 1.2 == 1.2.0.
bool isNewerVersion(std::string_view latest, std::string_view current);

}  // namespace velmora::update
