#pragma once

#include <cstddef>
#include <string_view>

namespace velmora::platform {

// Deeper documents are refused before they are parsed: copying or printing a JSON value recurses
// once per level, so a few hundred kilobytes of brackets from the network would overflow the
// stack. No document this system reads comes near this depth.
inline constexpr std::size_t kMaxJsonDepth = 512;

// Whether the arrays and objects in `text` nest deeper than `limit`, counting brackets outside
// strings. Linear, and it never fails: text that is not JSON just gives some depth. Any thread.
bool jsonNestsDeeperThan(std::string_view text, std::size_t limit = kMaxJsonDepth);

}  // namespace velmora::platform
