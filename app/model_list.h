#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora::app {

// The model names of a model-list document: the "id" strings of the "data" array's objects, in
// order, duplicates kept; elements without a string "id" are skipped. nullopt when the body is
// not JSON, the top level is not an object, or "data" is missing, not an array, or holds
// anything but objects. Prints the "data" array on the way.
// Any thread.
std::optional<std::vector<std::string>> modelNames(const std::vector<uint8_t>& body);

}  // namespace velmora::app
