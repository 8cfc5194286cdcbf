#include "html/escape.h"

namespace velmora::html {

namespace {

// Replaces the characters that escapeQuotes selects; everything else is copied as it is.
std::string escape(std::string_view input, bool escapeQuotes) {
  std::string out;
  out.reserve(input.size());
  for (const char c : input) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += escapeQuotes ? "&quot;" : "\"";
        break;
      case '\'':
        out += escapeQuotes ? "&#39;" : "'";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string escapeHtmlText(std::string_view text) {
  return escape(text, false);
}

std::string escapeHtmlAttribute(std::string_view value) {
  return escape(value, true);
}

std::string percentEncodePathSegment(std::string_view segment) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(segment.size());
  for (const char c : segment) {
    const auto byte = static_cast<unsigned char>(c);
    if (isUnreserved(byte)) {
      out += c;
    } else {
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 0x0F];
    }
  }
  return out;
}

}  // namespace velmora::html
