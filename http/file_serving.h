#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "http/file.h"
#include "http/parser.h"
#include "http/response.h"
#include "http/server_io.h"

// File-system helpers and the route handlers that answer from files and directories. The
// directory listing, which builds its page with the HTML builder, is in html/directory_listing.h.
namespace velmora::http {

// The separator the handlers put between a directory and a name: "/" until replaced. May be
// replaced from any thread while handlers run; each join reads it afresh.
class PathDelimiter {
 public:
  explicit PathDelimiter(std::string initial) : value_(std::move(initial)) {}
  PathDelimiter& operator=(std::string value);
  std::string value() const;
  operator std::string() const { return value(); }  // NOLINT: reads like the string it holds

 private:
  mutable std::mutex mutex_;
  std::string value_;  // guarded by mutex_
};
extern PathDelimiter pathDelimiter;

// directory + pathDelimiter + name, joined unchanged.
std::string joinPath(const std::string& directory, const std::string& name);

// The extension-to-MIME-type table (103 entries, lower-case keys). Built on first use, then only
// read; any thread.
const std::unordered_map<std::string, std::string>& mimeTypes();

// The type for the extension of the path's last component (the text after its last '.'),
// compared in lower case; "application/octet-stream" when there is none or it is not in the
// table. Any thread.
std::string mimeTypeForPath(std::string_view path);

// The process's working directory. Raises FileError with errno when getcwd fails.
std::string currentDirectory();

// Whether stat() finds the path: false for ENOENT; any other failure raises FileError with errno.
bool fileExists(const std::string& path);

// As fileExists, and then whether the path is a directory (false when missing).
bool isDirectory(const std::string& path);

// The names readdir() gives, in its order, "." and ".." included; names that are not valid UTF-8
// are left out. Raises FileError with errno when the directory cannot be opened or read.
std::vector<std::string> directoryEntries(const std::string& path);

// The value of the request's first route parameter (which one is first among several is not
// defined); nullopt when the request has none.
std::optional<std::string> firstRouteParameter(const HttpRequest& request);

// Whether a relative path taken from a request stays inside the directory it is joined to: no
// ".." segment, no leading '/', no NUL byte. The router has already percent-decoded the value,
// so "..%2Fetc" arrives here as "../etc".
bool staysInsideDirectory(std::string_view relativePath);

// A regular file opened for reading, with its size when opened.
struct OpenedFile {
  File file;
  uint64_t size;
};

// Opens the path for reading when it is a regular file; nullopt when it cannot be opened or is
// something else (a directory, a FIFO, a device). Never blocks on a FIFO. Any thread.
std::optional<OpenedFile> openRegularFile(const std::string& path);

// raw 200 "OK" with the given headers and a body that sends the whole file, ignores a write error
// and closes the file. The file is also closed when the response is dropped without being sent.
HttpResponse fileResponse(File file, std::optional<HttpHeaders> headers = std::nullopt);

// Handlers for routes; each answers every request, whatever its method, on the connection's
// thread, and never raises.

// Sends the file at `path` (no Content-Type); notFound when it cannot be opened.
HttpHandler fileHandler(std::string path);

// Sends the file named by the first route parameter below `directory`, with "Content-Type" from
// its extension and "Content-Length". An empty parameter sends the first of `defaultFiles` that
// opens, without headers. notFound when there is no parameter, when the parameter would leave the
// directory, or when the file cannot be opened.
HttpHandler directoryFilesHandler(std::string directory, std::vector<std::string> defaultFiles);

}  // namespace velmora::http
