#include "http/body_decoding.h"

#include "platform/ascii.h"
#include "platform/url.h"

namespace velmora::http {

namespace {

// Every piece between separators, empty ones included: "a&&b" gives a, "", b.
std::vector<std::string_view> splitAll(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const std::size_t at = text.find(separator);
    pieces.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    text.remove_prefix(at + 1);
  }
}

// The trimmed pieces of the request's content type, when its first piece is exactly `mediaType`.
std::optional<std::vector<std::string>> contentTypePieces(const HttpRequest& request,
                                                          std::string_view mediaType) {
  const auto found = request.headers.find("content-type");
  if (found == request.headers.end()) return std::nullopt;
  std::vector<std::string> pieces;
  for (std::string_view piece : splitAll(found->second, ';')) pieces.push_back(trimSpaces(piece));
  if (pieces.front() != mediaType) return std::nullopt;
  return pieces;
}

// One name or value of a url-encoded form: '+' is a space, "%XX" a byte, and the result must be
// UTF-8.
std::optional<std::string> decodeFormComponent(std::string_view text) {
  std::optional<std::string> decoded = platform::percentDecode(text, true);
  if (!decoded || !isWellFormedUtf8(*decoded)) return std::nullopt;
  return decoded;
}

// Walks a multipart body with one read position.
class MultipartReader {
 public:
  MultipartReader(const std::vector<uint8_t>& body, std::string marker)
      : body_(body), marker_(std::move(marker)) {}

  std::optional<MultiPart> readPart(bool firstPart) {
    const std::optional<std::string> line = readPartLine();
    // The first line must be the marker: a preamble means no parts. Later, the line is what
    // follows the previous marker ("" or the closing "--").
    if (firstPart && (!line || *line != marker_)) return std::nullopt;

    MultiPart part;
    for (;;) {
      const std::optional<std::string> header = readPartLine();
      if (!header || header->empty()) break;
      // A value that holds a colon of its own makes more than two pieces: the line is skipped.
      const std::vector<std::string_view> pieces = splitAll(*header, ':');
      if (pieces.size() == 2) part.headers[platform::lowercaseAscii(pieces[0])] = trimSpaces(pieces[1]);
    }
    std::optional<std::vector<uint8_t>> content = readPartBody();
    if (!content) return std::nullopt;
    part.body = std::move(*content);
    return part;
  }

 private:
  // The bytes up to the next LF (consumed, not kept), bytes below 14 dropped, as UTF-8; absent
  // when they are not UTF-8. Empty at the end of the body.
  std::optional<std::string> readPartLine() {
    std::string line;
    while (position_ < body_.size()) {
      const uint8_t byte = body_[position_++];
      if (byte == '\n') break;
      if (byte >= 14) line.push_back(static_cast<char>(byte));
    }
    if (!isWellFormedUtf8(line)) return std::nullopt;
    return line;
  }

  // The bytes up to the next marker, which is consumed; the line break before the marker is not
  // part of the content. Nothing when the body ends first.
  std::optional<std::vector<uint8_t>> readPartBody() {
    if (position_ >= body_.size()) return std::nullopt;
    const std::size_t start = position_;
    std::size_t matched = 0;
    while (position_ < body_.size() && matched < marker_.size()) {
      // A mismatch starts over without comparing the byte again; the line break before a real
      // marker never matches its leading '-', so such markers are always found.
      matched = body_[position_++] == static_cast<uint8_t>(marker_[matched]) ? matched + 1 : 0;
    }
    if (matched < marker_.size()) return std::nullopt;

    std::size_t end = position_ - marker_.size();
    if (end > start && body_[end - 1] == '\n') {
      --end;
      if (end > start && body_[end - 1] == '\r') --end;
    }
    return std::vector<uint8_t>(body_.begin() + static_cast<std::ptrdiff_t>(start),
                                body_.begin() + static_cast<std::ptrdiff_t>(end));
  }

  const std::vector<uint8_t>& body_;
  const std::string marker_;
  std::size_t position_ = 0;
};

std::optional<std::string> dispositionParameter(const MultiPart& part, std::string_view name) {
  const auto found = part.headers.find("content-disposition");
  if (found == part.headers.end()) return std::nullopt;
  for (std::string_view rawPiece : splitAll(found->second, ';')) {
    const std::string piece = trimSpaces(rawPiece);
    const std::vector<std::string_view> parts = splitAll(piece, '=');
    // A bare word without "=" names no value, even when it spells the parameter.
    if (parts.size() >= 2 && parts.front() == name) return unquoted(parts.back());
  }
  return std::nullopt;
}

}  // namespace

std::string unquoted(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return std::string(text.substr(1, text.size() - 2));
  }
  return std::string(text);
}

std::optional<std::string> MultiPart::fieldName() const {
  return dispositionParameter(*this, "name");
}

std::optional<std::string> MultiPart::fileName() const {
  return dispositionParameter(*this, "filename");
}

FormFields urlencodedFormFields(const HttpRequest& request) {
  if (!contentTypePieces(request, "application/x-www-form-urlencoded")) return {};
  const std::string_view text(reinterpret_cast<const char*>(request.body.data()),
                              request.body.size());
  if (!isWellFormedUtf8(text)) return {};

  FormFields fields;
  for (std::string_view piece : splitAll(text, '&')) {
    const std::vector<std::string_view> parts = splitAll(piece, '=');
    std::optional<std::string> name;
    std::optional<std::string> value;
    if (parts.size() == 2) {
      name = decodeFormComponent(parts[0]);
      value = decodeFormComponent(parts[1]);
    }
    if (name && value) {
      fields.emplace_back(std::move(*name), std::move(*value));
    } else {
      fields.emplace_back();
    }
  }
  return fields;
}

std::vector<MultiPart> multipartFormParts(const HttpRequest& request) {
  const std::optional<std::vector<std::string>> pieces =
      contentTypePieces(request, "multipart/form-data");
  if (!pieces) return {};

  // A later boundary parameter wins. RFC 2046 lets senders quote the boundary; without the quotes
  // removed such an upload would decode to nothing.
  std::optional<std::string> boundary;
  for (const std::string& piece : *pieces) {
    const std::vector<std::string_view> parts = splitAll(piece, '=');
    if (parts.size() == 2 && parts[0] == "boundary") boundary = unquoted(parts[1]);
  }
  if (!boundary || boundary->empty()) return {};

  MultipartReader reader(request.body, "--" + *boundary);
  std::vector<MultiPart> parts;
  while (std::optional<MultiPart> part = reader.readPart(parts.empty())) {
    parts.push_back(std::move(*part));
  }
  return parts;
}

}  // namespace velmora::http
