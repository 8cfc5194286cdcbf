#include "app/model_list.h"

#include <nlohmann/json.hpp>
#include <string_view>

#include "platform/console.h"
#include "platform/json_depth.h"

namespace velmora::app {

std::optional<std::vector<std::string>> modelNames(const std::vector<uint8_t>& body) {
  const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
  if (platform::jsonNestsDeeperThan(text)) return std::nullopt;
  const auto document = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (document.is_discarded() || !document.is_object()) return std::nullopt;
  const auto data = document.find("data");
  if (data == document.end() || !data->is_array()) return std::nullopt;
  for (const auto& element : *data) {
    if (!element.is_object()) return std::nullopt;
  }
  platform::printLine(data->dump());
  std::vector<std::string> names;
  for (const auto& element : *data) {
    const auto id = element.find("id");
    if (id != element.end() && id->is_string()) names.push_back(id->get<std::string>());
  }
  return names;
}

}  // namespace velmora::app
