#include "html/page_handler.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velmora::html {

http::HttpHandler pageHandler(Block page) {
  return [page = std::move(page)](const http::HttpRequestPtr&) {
    const std::string markup = "<!DOCTYPE html>" + render(page);
    auto bytes = std::make_shared<const std::vector<uint8_t>>(markup.begin(), markup.end());
    return http::HttpResponse::raw(200, "OK", http::HttpHeaders{{"Content-Type", "text/html"}},
                                   [bytes](http::HttpResponseBodyWriter& writer) {
                                     try {
                                       writer.write(*bytes);
                                     } catch (const http::SocketError&) {
                                       // The peer has gone; there is nobody left to tell.
                                     }
                                   });
  };
}

}  // namespace velmora::html
