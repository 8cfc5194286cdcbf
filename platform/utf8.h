#pragma once

#include <cstddef>
#include <string_view>

namespace velmora::platform {

// Whether `bytes` are well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing beyond U+10FFFF. Any thread.
bool isWellFormedUtf8(std::string_view bytes);

// The length of the well-formed character that `bytes` start with (1 for ASCII), or 0 when they
// start with none (or are empty). Any thread.
std::size_t utf8SequenceLength(std::string_view bytes);

}  // namespace velmora::platform
