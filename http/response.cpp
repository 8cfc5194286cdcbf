#include "http/response.h"

#include <cmath>

#include "platform/overloaded.h"
#include "velmora/version.h"

namespace velmora::http {

namespace {

using platform::Overloaded;

bool isFiniteTree(const nlohmann::json& value) {
  if (value.is_number_float()) return std::isfinite(value.get<double>());
  if (value.is_structured()) {
    for (const auto& child : value) {
      if (!isFiniteTree(child)) return false;
    }
  }
  return true;
}

// The callbacks hold their bytes themselves: one allocation per body, not two.
HttpResponseContent stringContent(std::string bytes) {
  const auto length = static_cast<int64_t>(bytes.size());
  return {length, [bytes = std::move(bytes)](HttpResponseBodyWriter& writer) {
            writer.write(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
          }};
}

HttpResponseContent dataContent(std::string bytes) {
  const auto length = static_cast<int64_t>(bytes.size());
  return {length, [bytes = std::move(bytes)](HttpResponseBodyWriter& writer) {
            writer.write(std::string_view(bytes));
          }};
}

HttpResponseContent serialisationError(const std::string& description) {
  return stringContent("Serialisation error: " + description);
}

}  // namespace

void setHeader(HttpHeaders& headers, std::string name, std::string value) {
  for (auto& [existing, existingValue] : headers) {
    if (existing == name) {
      existingValue = std::move(value);
      return;
    }
  }
  headers.emplace_back(std::move(name), std::move(value));
}

const std::string* findHeader(const HttpHeaders& headers, std::string_view name) {
  for (const auto& [existing, value] : headers) {
    if (existing == name) return &value;
  }
  return nullptr;
}

const std::string& serverHeaderValue() {
  static const std::string value = std::string(kApplicationName) + " " + kApplicationVersion;
  return value;
}

HttpResponseContent HttpResponseBody::content() const {
  return std::visit(
      Overloaded{
          [](const Json& body) -> HttpResponseContent {
            if (!(body.value.is_object() || body.value.is_array()) || !isFiniteTree(body.value)) {
              return serialisationError("invalidObject");
            }
            try {
              return dataContent(body.value.dump());
            } catch (const std::exception& error) {
              return serialisationError(error.what());
            }
          },
          [](const Html& body) { return stringContent(body.text); },
          [](const HtmlBody& body) {
            return stringContent("<html><meta charset=\"UTF-8\"><body>" + body.text + "</body></html>");
          },
          [](const Text& body) { return stringContent(body.text); },
          [](const Data& body) { return dataContent(std::string(body.bytes.begin(), body.bytes.end())); },
          [](const Custom& body) -> HttpResponseContent {
            try {
              return stringContent(body.serializer(body.value));
            } catch (const std::exception& error) {
              return serialisationError(error.what());
            } catch (...) {
              return serialisationError("unknown error");
            }
          },
      },
      kind_);
}

int HttpResponse::statusCode() const {
  return std::visit(Overloaded{
                        [](const SwitchProtocols&) { return 101; },
                        [](const Ok&) { return 200; },
                        [](const Created&) { return 201; },
                        [](const Accepted&) { return 202; },
                        [](const MovedPermanently&) { return 301; },
                        [](const MovedTemporarily&) { return 307; },
                        [](const BadRequest&) { return 400; },
                        [](const Unauthorized&) { return 401; },
                        [](const Forbidden&) { return 403; },
                        [](const NotFound&) { return 404; },
                        [](const NotAcceptable&) { return 406; },
                        [](const TooManyRequests&) { return 429; },
                        [](const InternalServerError&) { return 500; },
                        [](const Raw& raw) { return raw.statusCode; },
                    },
                    value_);
}

std::string HttpResponse::reasonPhrase() const {
  return std::visit(Overloaded{
                        [](const SwitchProtocols&) -> std::string { return "Switching Protocols"; },
                        [](const Ok&) -> std::string { return "OK"; },
                        [](const Created&) -> std::string { return "Created"; },
                        [](const Accepted&) -> std::string { return "Accepted"; },
                        [](const MovedPermanently&) -> std::string { return "Moved Permanently"; },
                        [](const MovedTemporarily&) -> std::string { return "Moved Temporarily"; },
                        [](const BadRequest&) -> std::string { return "Bad Request"; },
                        [](const Unauthorized&) -> std::string { return "Unauthorized"; },
                        [](const Forbidden&) -> std::string { return "Forbidden"; },
                        [](const NotFound&) -> std::string { return "Not Found"; },
                        [](const NotAcceptable&) -> std::string { return "Not Acceptable"; },
                        [](const TooManyRequests&) -> std::string { return "Too Many Requests"; },
                        [](const InternalServerError&) -> std::string { return "Internal Server Error"; },
                        [](const Raw& raw) { return raw.reasonPhrase; },
                    },
                    value_);
}

HttpHeaders HttpResponse::headers() const {
  HttpHeaders headers;
  headers.reserve(4);
  headers.emplace_back("Server", serverHeaderValue());
  auto addAll = [&headers](const HttpHeaders& extra) {
    for (const auto& [name, value] : extra) setHeader(headers, name, value);
  };
  std::visit(Overloaded{
                 [&](const SwitchProtocols& response) { addAll(response.headers); },
                 [&](const Ok& response) {
                   std::visit(Overloaded{
                                  [&](const HttpResponseBody::Json&) {
                                    headers.emplace_back("Content-Type", "application/json");
                                  },
                                  [&](const HttpResponseBody::Html&) {
                                    headers.emplace_back("Content-Type", "text/html");
                                  },
                                  [&](const HttpResponseBody::Data& data) {
                                    if (data.contentType) headers.emplace_back("Content-Type", *data.contentType);
                                  },
                                  [](const HttpResponseBody::HtmlBody&) {},
                                  [](const HttpResponseBody::Text&) {},
                                  [](const HttpResponseBody::Custom&) {},
                              },
                              response.body.kind());
                 },
                 [&](const MovedPermanently& response) { headers.emplace_back("Location", response.location); },
                 [&](const MovedTemporarily& response) { headers.emplace_back("Location", response.location); },
                 [&](const Raw& response) {
                   if (response.headers) addAll(*response.headers);
                 },
                 [](const Created&) {},
                 [](const Accepted&) {},
                 [](const BadRequest&) {},
                 [](const Unauthorized&) {},
                 [](const Forbidden&) {},
                 [](const NotFound&) {},
                 [](const NotAcceptable&) {},
                 [](const TooManyRequests&) {},
                 [](const InternalServerError&) {},
             },
             value_);
  return headers;
}

HttpResponseContent HttpResponse::content() const {
  if (const auto* ok = std::get_if<Ok>(&value_)) return ok->body.content();
  if (const auto* bad = std::get_if<BadRequest>(&value_)) {
    if (bad->body) return bad->body->content();
  }
  if (const auto* raw = std::get_if<Raw>(&value_)) return {-1, raw->writer};
  return {-1, {}};
}

SocketSessionHandler HttpResponse::upgradeHandler() const {
  if (const auto* upgrade = std::get_if<SwitchProtocols>(&value_)) return upgrade->handler;
  return {};
}

}  // namespace velmora::http
