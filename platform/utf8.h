#pragma once

#include <string_view>

namespace velmora::platform {

// Whether `bytes` are well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing beyond U+10FFFF. Any thread.
bool isWellFormedUtf8(std::string_view bytes);

}  // namespace velmora::platform
