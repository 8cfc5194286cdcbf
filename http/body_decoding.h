#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "http/parser.h"
#include "platform/utf8.h"

namespace velmora::http {

// Form fields in body order, duplicates kept.
using FormFields = std::vector<std::pair<std::string, std::string>>;

// One part of a "multipart/form-data" body.
struct MultiPart {
  std::unordered_map<std::string, std::string> headers;  // lower-cased names, trimmed values
  std::vector<uint8_t> body;  // the content, without the line break before the next marker

  // The "name" and "filename" parameters of the "content-disposition" header, with one pair of
  // surrounding double quotes removed; absent when the header or the parameter is missing.
  std::optional<std::string> fieldName() const;
  std::optional<std::string> fileName() const;

  bool operator==(const MultiPart&) const = default;
};

// The decoders read the request's headers and body afresh on every call and change nothing, so
// any thread may call them. They never fail: a request that is not of their media type, or whose
// body does not decode, gives an empty list.

// The fields of an "application/x-www-form-urlencoded" body. A piece that does not decode (no
// "=", a second "=", a bad escape, invalid UTF-8) becomes a pair of two empty strings and the
// other pieces are unaffected; a body that is not UTF-8 gives an empty list.
FormFields urlencodedFormFields(const HttpRequest& request);

// The parts of a "multipart/form-data" body, up to the first part that is malformed or cut short
// by the end of the body.
std::vector<MultiPart> multipartFormParts(const HttpRequest& request);

using platform::isWellFormedUtf8;

// The text without one pair of surrounding double quotes, when it has them; otherwise unchanged.
std::string unquoted(std::string_view text);

}  // namespace velmora::http
