#pragma once

#include <string>
#include <string_view>

namespace velmora::platform {

// Receives the events of scanJson in document order. Each call may return false to stop the
// scan, which then fails. Strings arrive decoded (escapes resolved), valid only during the call.
class JsonEventSink {
 public:
  virtual ~JsonEventSink() = default;
  virtual bool beginContainer(bool isObject) = 0;
  virtual bool endContainer() = 0;
  virtual bool key(std::string_view name) = 0;
  virtual bool string(std::string_view text) = 0;
  virtual bool scalar() = 0;  // a number, true, false or null
};

// Walks one JSON document (RFC 8259) without building it and reports its parts to `sink`.
// Accepts exactly what nlohmann::json::parse accepts: a leading UTF-8 byte order mark is skipped,
// strings must be valid UTF-8 without control characters and with paired surrogate escapes,
// numbers must be finite as doubles, and nothing but whitespace may follow the value, up to the
// end or to a NUL byte where a token could start (that parser's end of a C string). Returns
// false for anything else, or when the sink stops. Nesting costs heap, not stack. Any thread.
bool scanJson(std::string_view text, JsonEventSink& sink);

}  // namespace velmora::platform
