#include "update/update_info.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <type_traits>
#include <utility>

#include "platform/console.h"

namespace velmora::update {

namespace {

// A member name as a JSON string literal: quoted, control characters escaped.
std::string quoted(const std::string& name) {
  return nlohmann::json(name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string pathText(const std::vector<std::string>& path) {
  std::string text = "[";
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i > 0) text += ", ";
    text += quoted(path[i]);
  }
  return text + "]";
}

std::string describe(const DecodingError::Case& value) {
  return std::visit(
      [](const auto& error) -> std::string {
        using T = std::decay_t<decltype(error)>;
        if constexpr (std::is_same_v<T, DecodingError::DataCorrupted>) {
          return "dataCorrupted: " + error.description;
        } else if constexpr (std::is_same_v<T, DecodingError::TypeMismatch>) {
          return "typeMismatch: expected " + error.expected + ", found " + error.found + " at " +
                 pathText(error.path);
        } else {
          static_assert(std::is_same_v<T, DecodingError::KeyNotFound>);
          return "keyNotFound: " + quoted(error.key) + " at " + pathText(error.path);
        }
      },
      value);
}

std::string requireString(const nlohmann::json& entry, CodingKeys key,
                          const std::string& applicationName) {
  const std::string name(stringValue(key));
  const auto member = entry.find(name);
  if (member == entry.end()) throw DecodingError::keyNotFound(name, {applicationName});
  if (!member->is_string()) {
    throw DecodingError::typeMismatch({applicationName, name}, "string", member->type_name());
  }
  return member->get<std::string>();
}

std::optional<std::int64_t> signedDecimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    // from_chars would take a sign of its own after the "+".
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  }
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

std::string_view stringValue(CodingKeys key) {
  switch (key) {
    case CodingKeys::latestVersion:
      return "latestVersion";
    case CodingKeys::downloadURL:
      return "downloadURL";
  }
  return {};
}

DecodingError::DecodingError(Case value)
    : value_(std::move(value)), description_(describe(value_)) {}

UpdateInfoMap parseUpdateInfo(std::span<const std::uint8_t> body) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(body.begin(), body.end());
  } catch (const nlohmann::json::exception& error) {
    // parse_error for bad syntax or UTF-8, out_of_range for a number beyond a double.
    throw DecodingError::dataCorrupted(error.what());
  }
  if (!document.is_object()) throw DecodingError::typeMismatch({}, "object", document.type_name());

  UpdateInfoMap map;
  for (const auto& [applicationName, entry] : document.items()) {
    if (!entry.is_object()) {
      throw DecodingError::typeMismatch({applicationName}, "object", entry.type_name());
    }
    AppUpdateInfo info;
    info.latestVersion = requireString(entry, CodingKeys::latestVersion, applicationName);
    info.downloadURL = requireString(entry, CodingKeys::downloadURL, applicationName);
    map.emplace(applicationName, std::move(info));
  }
  return map;
}

std::optional<UpdateInfoMap> decodeUpdateInfo(std::span<const std::uint8_t> body) {
  try {
    return parseUpdateInfo(body);
  } catch (const DecodingError& error) {
    platform::printLine("JSONのパースエラー: " + error.description());
    return std::nullopt;
  }
}

std::vector<std::int64_t> versionNumbers(std::string_view version) {
  std::vector<std::int64_t> numbers;
  while (true) {
    const auto dot = version.find('.');
    const auto component = version.substr(0, dot);
    if (!component.empty()) {
      if (const auto number = signedDecimal(component)) numbers.push_back(*number);
    }
    if (dot == std::string_view::npos) break;
    version.remove_prefix(dot + 1);
  }
  return numbers;
}

bool isNewerVersion(std::string_view latest, std::string_view current) {
  const auto latestNumbers = versionNumbers(latest);
  const auto currentNumbers = versionNumbers(current);
  const auto count = std::max(latestNumbers.size(), currentNumbers.size());
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t a = i < latestNumbers.size() ? latestNumbers[i] : 0;
    const std::int64_t b = i < currentNumbers.size() ? currentNumbers[i] : 0;
    if (a != b) return a > b;
  }
  return false;
}

}  // namespace velmora::update
