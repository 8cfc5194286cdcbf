#include "html/directory_listing.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "html/builder.h"
#include "html/escape.h"
#include "html/page_handler.h"
#include "http/file_serving.h"

namespace velmora::html {

namespace {

std::string lowerCased(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

std::vector<std::string> sortedForListing(std::vector<std::string> names) {
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(names.size());
  for (std::string& name : names) {
    std::string key = lowerCased(name);
    keyed.emplace_back(std::move(key), std::move(name));
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::string> sorted;
  sorted.reserve(keyed.size());
  for (auto& [key, name] : keyed) sorted.push_back(std::move(name));
  return sorted;
}

http::HttpHandler directoryListingHandler(std::string directory) {
  using http::HttpResponse;
  return [directory = std::move(directory)](const http::HttpRequestPtr& request) -> HttpResponse {
    const auto value = http::firstRouteParameter(*request);
    if (!value || !http::staysInsideDirectory(*value)) return HttpResponse::notFound();
    const std::string path = http::joinPath(directory, *value);

    std::optional<std::vector<std::string>> names;
    try {
      if (!http::fileExists(path)) return HttpResponse::notFound();
      if (http::isDirectory(path)) names = sortedForListing(http::directoryEntries(path));
    } catch (const http::FileError&) {
      return HttpResponse::internalServerError();
    }

    if (!names) {
      auto opened = http::openRegularFile(path);
      if (!opened) return HttpResponse::notFound();
      return http::fileResponse(opened->file);
    }

    // Names come from the file system and the path from the request line: neither may turn
    // into markup in a visitor's browser.
    const std::string base = request->path + "/";
    return pageHandler([&names, &base] {
      html([&] {
        body([&] {
          table(*names, [&](const std::string& name) {
            tr([&] {
              td([&] {
                a([&] {
                  attr::href = escapeHtmlAttribute(base + percentEncodePathSegment(name));
                  innerText = escapeHtmlText(name);
                });
              });
            });
          });
        });
      });
    })(request);
  };
}

}  // namespace velmora::html
