#include "examples/demo_forms_routes.h"

#include "http/body_decoding.h"
#include "http/websocket.h"

namespace velmora::examples {

using http::HttpResponse;
using http::HttpResponseBody;

HttpResponse loginFormPage() {
  return HttpResponse::ok(HttpResponseBody::html(
      "<!DOCTYPE html>\n"
      "<html><head><meta charset=\"UTF-8\"><title>Login</title></head><body>\n"
      "<form method=\"POST\" action=\"/login\" enctype=\"application/x-www-form-urlencoded\">\n"
      "<p><label>User <input type=\"text\" name=\"user\"></label></p>\n"
      "<p><label>Password <input type=\"password\" name=\"password\"></label></p>\n"
      "<p><button type=\"submit\">Log in</button></p>\n"
      "</form>\n"
      "</body></html>\n"));
}

HttpResponse loginSubmit(const http::HttpRequestPtr& request) {
  std::string lines;
  for (const auto& [name, value] : http::urlencodedFormFields(*request)) {
    lines += name + "=" + value + "\n";
  }
  return HttpResponse::ok(HttpResponseBody::text(lines));
}

HttpResponse uploadFormPage() {
  return HttpResponse::ok(HttpResponseBody::html(
      "<!DOCTYPE html>\n"
      "<html><head><meta charset=\"UTF-8\"><title>Upload</title></head><body>\n"
      "<form method=\"POST\" action=\"/upload\" enctype=\"multipart/form-data\">\n"
      "<p><label>Title <input type=\"text\" name=\"title\"></label></p>\n"
      "<p><label>File <input type=\"file\" name=\"file\"></label></p>\n"
      "<p><button type=\"submit\">Upload</button></p>\n"
      "</form>\n"
      "</body></html>\n"));
}

HttpResponse uploadSubmit(const http::HttpRequestPtr& request) {
  std::string lines;
  for (const http::MultiPart& part : http::multipartFormParts(*request)) {
    lines += part.fieldName().value_or("-") + " " + part.fileName().value_or("-") + " " +
             std::to_string(part.body.size()) + "\n";
  }
  return HttpResponse::ok(HttpResponseBody::text(lines));
}

http::HttpHandler wsEcho() {
  return http::websocketHandler(
      [](const http::WebSocketSessionPtr& session, const std::string& text) {
        session->writeText(text);
      },
      [](const http::WebSocketSessionPtr& session, const std::vector<uint8_t>& bytes) {
        session->writeBinary(bytes);
      },
      [](const http::WebSocketSessionPtr&, const std::vector<uint8_t>&) {});
}

}  // namespace velmora::examples
