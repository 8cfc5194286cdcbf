#pragma once

#include <span>
#include <string>
#include <string_view>

namespace velmora::platform {

// Protocol names (header fields, schemes, tokens) compare without regard to ASCII case; other
// bytes compare as they are, whatever the process's locale. Any thread.
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);
// `text` with A to Z made lower case and every other byte kept. Any thread.
std::string lowercaseAscii(std::string_view text);
// The value of a hexadecimal digit in either case, or -1 for any other byte. Any thread.
int hexDigitValue(char c);
// The bytes as lower-case hexadecimal digits, two per byte. Any thread.
std::string lowerHex(std::span<const unsigned char> bytes);

}  // namespace velmora::platform
