#include "platform/json_events.h"

#include <locale.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/ascii.h"
#include "platform/byte_scan.h"
#include "platform/utf8.h"

namespace velmora::platform {

namespace {

uint8_t byteAt(const char* at) { return static_cast<uint8_t>(*at); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

class Scanner {
 public:
  Scanner(std::string_view text, JsonEventSink& sink)
      : at_(text.data()), end_(text.data() + text.size()), sink_(sink) {}

  bool run() {
    if (end_ - at_ >= 3 && byteAt(at_) == 0xEF && byteAt(at_ + 1) == 0xBB && byteAt(at_ + 2) == 0xBF) at_ += 3;
    std::vector<bool> open;  // the containers around the current place, innermost last; true: an object
    for (;;) {
      // A value is due here.
      skipWhitespace();
      if (atEnd()) return false;
      const char c = *at_;
      if (c == '{' || c == '[') {
        ++at_;
        const bool isObject = c == '{';
        if (!sink_.beginContainer(isObject)) return false;
        skipWhitespace();
        if (at_ == end_ || *at_ != (isObject ? '}' : ']')) {
          open.push_back(isObject);
          if (isObject && !readKey()) return false;
          continue;
        }
        ++at_;
        if (!sink_.endContainer()) return false;
      } else if (c == '"') {
        ++at_;
        if (!readString() || !sink_.string(string_)) return false;
      } else if (c == '-' || isDigit(c)) {
        if (!readNumber() || !sink_.scalar()) return false;
      } else if (!readLiteral() || !sink_.scalar()) {
        return false;
      }
      // A value has ended: the next member or element, or the end of containers.
      for (;;) {
        skipWhitespace();
        if (open.empty()) return atEnd();
        if (atEnd()) return false;
        const char next = *at_++;
        if (next == ',') {
          if (open.back() && !readKey()) return false;
          break;
        }
        if (next != (open.back() ? '}' : ']')) return false;
        open.pop_back();
        if (!sink_.endContainer()) return false;
      }
    }
  }

 private:
  // Where a token may start, a NUL byte ends the input as the end itself does (what the tree's
  // parser does, for documents kept in C strings).
  bool atEnd() const { return at_ == end_ || *at_ == '\0'; }

  void skipWhitespace() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
  }

  // A member's name and the colon after it.
  bool readKey() {
    skipWhitespace();
    if (at_ == end_ || *at_ != '"') return false;
    ++at_;
    if (!readString() || !sink_.key(string_)) return false;
    skipWhitespace();
    if (at_ == end_ || *at_ != ':') return false;
    ++at_;
    return true;
  }

  bool readLiteral() {
    for (const std::string_view word : {std::string_view("true"), std::string_view("false"), std::string_view("null")}) {
      if (static_cast<std::size_t>(end_ - at_) >= word.size() && std::string_view(at_, word.size()) == word) {
        at_ += word.size();
        return true;
      }
    }
    return false;
  }

  // RFC 8259 section 6. A number that does not fit 64 bits must still be finite as a double.
  bool readNumber() {
    const char* start = at_;
    bool integral = true;
    if (*at_ == '-') ++at_;
    if (at_ == end_ || !isDigit(*at_)) return false;
    if (*at_++ != '0') {
      while (at_ != end_ && isDigit(*at_)) ++at_;
    }
    if (at_ != end_ && *at_ == '.') {
      integral = false;
      ++at_;
      if (at_ == end_ || !isDigit(*at_)) return false;
      while (at_ != end_ && isDigit(*at_)) ++at_;
    }
    if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
      integral = false;
      ++at_;
      if (at_ != end_ && (*at_ == '+' || *at_ == '-')) ++at_;
      if (at_ == end_ || !isDigit(*at_)) return false;
      while (at_ != end_ && isDigit(*at_)) ++at_;
    }
    if (integral && at_ - start <= 19) return true;
    // Independent of the process's locale, whose decimal point may not be '.'.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const std::string copy(start, at_);
    return std::isfinite(strtod_l(copy.c_str(), nullptr, cLocale));
  }

  // The rest of a string after its opening quote, decoded into string_. A string without escapes
  // is a view of the input; only escapes make it a copy, in text_.
  bool readString() {
    const char* run = at_;
    bool copied = false;
    for (;;) {
      skipPlainStringBytes();
      if (at_ == end_) return false;
      const uint8_t b = byteAt(at_);
      if (b == '"') {
        if (copied) {
          text_.append(run, at_);
          string_ = text_;
        } else {
          string_ = std::string_view(run, static_cast<std::size_t>(at_ - run));
        }
        ++at_;
        return true;
      }
      if (b < 0x20) return false;
      if (b == '\\') {
        if (!copied) text_.clear();
        copied = true;
        text_.append(run, at_);
        ++at_;
        if (!readEscape()) return false;
        run = at_;
      } else if (!skipUtf8Sequence()) {
        return false;
      }
    }
  }

  // Moves at_ to the first quote, backslash, control byte or non-ASCII byte, or to the end.
  void skipPlainStringBytes() {
    namespace scan = byte_scan;
    at_ += scan::findFirst(std::string_view(at_, static_cast<std::size_t>(end_ - at_)), 0,
                           [](uint64_t word) {
                             return scan::bytesFrom128(word) | scan::bytesBelow(word, 0x20) |
                                    scan::bytesEqual(word, '"') | scan::bytesEqual(word, '\\');
                           });
  }

  bool readHex4(uint32_t& value) {
    if (end_ - at_ < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = hexDigitValue(*at_++);
      if (digit < 0) return false;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }

  bool readEscape() {
    if (at_ == end_) return false;
    switch (*at_++) {
      case '"': text_ += '"'; return true;
      case '\\': text_ += '\\'; return true;
      case '/': text_ += '/'; return true;
      case 'b': text_ += '\b'; return true;
      case 'f': text_ += '\f'; return true;
      case 'n': text_ += '\n'; return true;
      case 'r': text_ += '\r'; return true;
      case 't': text_ += '\t'; return true;
      case 'u': break;
      default: return false;
    }
    uint32_t codePoint = 0;
    if (!readHex4(codePoint)) return false;
    if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) return false;  // a low surrogate alone
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
      uint32_t low = 0;
      if (end_ - at_ < 2 || at_[0] != '\\' || at_[1] != 'u') return false;
      at_ += 2;
      if (!readHex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUtf8(text_, codePoint);
    return true;
  }

  // One well-formed UTF-8 character of two to four bytes, which stands in the string as it is.
  bool skipUtf8Sequence() {
    const std::size_t length = utf8SequenceLength(std::string_view(at_, static_cast<std::size_t>(end_ - at_)));
    if (length == 0) return false;
    at_ += length;
    return true;
  }

  const char* at_;
  const char* const end_;
  JsonEventSink& sink_;
  std::string text_;         // a string with escapes, decoded
  std::string_view string_;  // the string just read: into the input or text_
};

}  // namespace

bool scanJson(std::string_view text, JsonEventSink& sink) { return Scanner(text, sink).run(); }

}  // namespace velmora::platform
