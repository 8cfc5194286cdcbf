#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::platform {

// Whether `bytes` are well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing beyond U+10FFFF. Any thread.
bool isWellFormedUtf8(std::string_view bytes);

// The length of the well-formed character that `bytes` start with (1 for ASCII), or 0 when they
// start with none (or are empty). Any thread.
std::size_t utf8SequenceLength(std::string_view bytes);

// Appends the UTF-8 form of `codePoint`, which must be a scalar value (at most U+10FFFF, no
// surrogate). Any thread.
void appendUtf8(std::string& out, char32_t codePoint);

}  // namespace velmora::platform
