#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "http/file.h"
#include "http/socket.h"

namespace velmora::http {

// Header fields in the order they were set. setHeader replaces a field of exactly the same name.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;
void setHeader(HttpHeaders& headers, std::string name, std::string value);
const std::string* findHeader(const HttpHeaders& headers, std::string_view name);

// Where a body callback writes its bytes: the connection, on the connection's thread. Every write
// sends all its bytes or raises (the server's writer raises SocketError writeFailed).
class HttpResponseBodyWriter {
 public:
  virtual ~HttpResponseBodyWriter() = default;
  virtual void write(const File& file) = 0;                      // the whole file
  virtual void write(const std::vector<uint8_t>& bytes) = 0;     // a byte array
  virtual void write(std::span<const uint8_t> slice) = 0;        // a slice of one
  virtual void write(const void* bytes, std::size_t length) = 0;  // a byte buffer
  virtual void write(std::string_view data) = 0;                 // a data value
};

using HttpBodyCallback = std::function<void(HttpResponseBodyWriter&)>;
using SocketSessionHandler = std::function<void(std::shared_ptr<Socket>)>;

// The length of a body (-1 when unknown: no Content-Length, and the connection closes after it)
// and the callback that writes it.
struct HttpResponseContent {
  int64_t length = -1;
  HttpBodyCallback writer;  // empty when there is no body
};

// Why a body could not be serialised.
struct SerializationError {
  enum class Case { invalidObject, notSupported };
  Case kind;
};

class HttpResponseBody {
 public:
  struct Json {
    nlohmann::json value;
  };
  struct Html {
    std::string text;
  };
  struct HtmlBody {
    std::string text;
  };
  struct Text {
    std::string text;
  };
  struct Data {
    std::vector<uint8_t> bytes;
    std::optional<std::string> contentType;
  };
  struct Custom {
    std::any value;
    // May throw; the body then reads "Serialisation error: " and the failure.
    std::function<std::string(const std::any&)> serializer;
  };
  using Kind = std::variant<Json, Html, HtmlBody, Text, Data, Custom>;

  explicit HttpResponseBody(Kind kind) : kind_(std::move(kind)) {}
  static HttpResponseBody json(nlohmann::json value) { return HttpResponseBody(Json{std::move(value)}); }
  static HttpResponseBody html(std::string text) { return HttpResponseBody(Html{std::move(text)}); }
  static HttpResponseBody htmlBody(std::string text) { return HttpResponseBody(HtmlBody{std::move(text)}); }
  static HttpResponseBody text(std::string text) { return HttpResponseBody(Text{std::move(text)}); }
  static HttpResponseBody data(std::vector<uint8_t> bytes, std::optional<std::string> contentType = {}) {
    return HttpResponseBody(Data{std::move(bytes), std::move(contentType)});
  }
  static HttpResponseBody custom(std::any value, std::function<std::string(const std::any&)> serializer) {
    return HttpResponseBody(Custom{std::move(value), std::move(serializer)});
  }

  const Kind& kind() const { return kind_; }
  // The body's bytes, produced whole now, and a writer that sends them with one call. Never
  // fails: a serialisation failure becomes a "Serialisation error: " body.
  HttpResponseContent content() const;

 private:
  Kind kind_;
};

// What a handler answers: a closed set of responses, each with its status, phrase, headers and
// body.
class HttpResponse {
 public:
  struct SwitchProtocols {
    HttpHeaders headers;
    SocketSessionHandler handler;
  };
  struct Ok {
    HttpResponseBody body;
  };
  struct Created {};
  struct Accepted {};
  struct MovedPermanently {
    std::string location;
  };
  struct MovedTemporarily {
    std::string location;
  };
  struct BadRequest {
    std::optional<HttpResponseBody> body;
  };
  struct Unauthorized {};
  struct Forbidden {};
  struct NotFound {};
  struct NotAcceptable {};
  struct TooManyRequests {};
  struct InternalServerError {};
  struct Raw {
    int statusCode;
    std::string reasonPhrase;
    std::optional<HttpHeaders> headers;
    HttpBodyCallback writer;  // may be empty: headers only
  };
  using Case = std::variant<SwitchProtocols, Ok, Created, Accepted, MovedPermanently,
                            MovedTemporarily, BadRequest, Unauthorized, Forbidden, NotFound,
                            NotAcceptable, TooManyRequests, InternalServerError, Raw>;

  HttpResponse(Case value) : value_(std::move(value)) {}  // NOLINT: a case is a response

  static HttpResponse switchProtocols(HttpHeaders headers, SocketSessionHandler handler) {
    return HttpResponse(SwitchProtocols{std::move(headers), std::move(handler)});
  }
  static HttpResponse ok(HttpResponseBody body) { return HttpResponse(Ok{std::move(body)}); }
  static HttpResponse created() { return HttpResponse(Created{}); }
  static HttpResponse accepted() { return HttpResponse(Accepted{}); }
  static HttpResponse movedPermanently(std::string location) { return HttpResponse(MovedPermanently{std::move(location)}); }
  static HttpResponse movedTemporarily(std::string location) { return HttpResponse(MovedTemporarily{std::move(location)}); }
  static HttpResponse badRequest(std::optional<HttpResponseBody> body = {}) { return HttpResponse(BadRequest{std::move(body)}); }
  static HttpResponse unauthorized() { return HttpResponse(Unauthorized{}); }
  static HttpResponse forbidden() { return HttpResponse(Forbidden{}); }
  static HttpResponse notFound() { return HttpResponse(NotFound{}); }
  static HttpResponse notAcceptable() { return HttpResponse(NotAcceptable{}); }
  static HttpResponse tooManyRequests() { return HttpResponse(TooManyRequests{}); }
  static HttpResponse internalServerError() { return HttpResponse(InternalServerError{}); }
  static HttpResponse raw(int statusCode, std::string reasonPhrase, std::optional<HttpHeaders> headers = {},
                          HttpBodyCallback writer = {}) {
    return HttpResponse(Raw{statusCode, std::move(reasonPhrase), std::move(headers), std::move(writer)});
  }

  const Case& value() const { return value_; }

  int statusCode() const;
  std::string reasonPhrase() const;
  // "Server" first, then the fields of the case.
  HttpHeaders headers() const;
  HttpResponseContent content() const;
  // The socket-session handler of switchProtocols; empty for every other case.
  SocketSessionHandler upgradeHandler() const;

 private:
  Case value_;
};

// "Velmora " followed by the project version: the value of every response's "Server" field.
const std::string& serverHeaderValue();

}  // namespace velmora::http
