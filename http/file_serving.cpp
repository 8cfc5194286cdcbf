#include "http/file_serving.h"

#include "platform/utf8.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <memory>
#include <utility>

namespace velmora::http {

namespace {

// stat() that tells a missing path (nullopt) from a failure (FileError).
std::optional<struct stat> statPath(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) return status;
  if (errno == ENOENT) return std::nullopt;
  throw FileError(errno);
}

// Owns an open file until the body has been sent, or until the response is dropped unsent.
class PendingFile {
 public:
  explicit PendingFile(File file) : file_(file) {}
  ~PendingFile() { close(); }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  void send(HttpResponseBodyWriter& writer) {
    if (!isOpen_) return;
    try {
      writer.write(file_);
    } catch (const SocketError&) {
      // The peer has gone; the file is closed all the same.
    }
    close();
  }

 private:
  void close() {
    if (!isOpen_) return;
    isOpen_ = false;
    file_.close();
  }

  File file_;
  bool isOpen_ = true;  // touched only by the connection thread that sends the body
};

}  // namespace

PathDelimiter pathDelimiter("/");

PathDelimiter& PathDelimiter::operator=(std::string value) {
  std::lock_guard lock(mutex_);
  value_ = std::move(value);
  return *this;
}

std::string PathDelimiter::value() const {
  std::lock_guard lock(mutex_);
  return value_;
}

std::string joinPath(const std::string& directory, const std::string& name) {
  return directory + pathDelimiter.value() + name;
}

const std::unordered_map<std::string, std::string>& mimeTypes() {
  static const std::unordered_map<std::string, std::string> table = [] {
    struct Group {
      const char* type;
      std::vector<const char*> extensions;
    };
    const Group groups[] = {
        {"text/html", {"html", "htm", "shtml"}},
        {"text/css", {"css"}},
        {"text/xml", {"xml"}},
        {"text/mathml", {"mml"}},
        {"text/plain", {"txt"}},
        {"text/vnd.sun.j2me.app-descriptor", {"jad"}},
        {"text/vnd.wap.wml", {"wml"}},
        {"text/x-component", {"htc"}},
        {"image/gif", {"gif"}},
        {"image/jpeg", {"jpeg", "jpg"}},
        {"image/png", {"png"}},
        {"image/tiff", {"tif", "tiff"}},
        {"image/vnd.wap.wbmp", {"wbmp"}},
        {"image/x-icon", {"ico"}},
        {"image/x-jng", {"jng"}},
        {"image/x-ms-bmp", {"bmp"}},
        {"image/svg+xml", {"svg", "svgz"}},
        {"image/webp", {"webp"}},
        {"application/javascript", {"js"}},
        {"application/atom+xml", {"atom"}},
        {"application/rss+xml", {"rss"}},
        {"application/font-woff", {"woff"}},
        {"application/java-archive", {"jar", "war", "ear"}},
        {"application/json", {"json"}},
        {"application/mac-binhex40", {"hqx"}},
        {"application/msword", {"doc"}},
        {"application/pdf", {"pdf"}},
        {"application/postscript", {"ps", "eps", "ai"}},
        {"application/rtf", {"rtf"}},
        {"application/vnd.apple.mpegurl", {"m3u8"}},
        {"application/vnd.ms-excel", {"xls"}},
        {"application/vnd.ms-fontobject", {"eot"}},
        {"application/vnd.ms-powerpoint", {"ppt"}},
        {"application/vnd.wap.wmlc", {"wmlc"}},
        {"application/vnd.google-earth.kml+xml", {"kml"}},
        {"application/vnd.google-earth.kmz", {"kmz"}},
        {"application/x-7z-compressed", {"7z"}},
        {"application/x-cocoa", {"cco"}},
        {"application/x-java-archive-diff", {"jardiff"}},
        {"application/x-java-jnlp-file", {"jnlp"}},
        {"application/x-makeself", {"run"}},
        {"application/x-perl", {"pl", "pm"}},
        {"application/x-pilot", {"prc", "pdb"}},
        {"application/x-rar-compressed", {"rar"}},
        {"application/x-redhat-package-manager", {"rpm"}},
        {"application/x-sea", {"sea"}},
        {"application/x-shockwave-flash", {"swf"}},
        {"application/x-stuffit", {"sit"}},
        {"application/x-tcl", {"tcl", "tk"}},
        {"application/x-x509-ca-cert", {"der", "pem", "crt"}},
        {"application/x-xpinstall", {"xpi"}},
        {"application/xhtml+xml", {"xhtml"}},
        {"application/xspf+xml", {"xspf"}},
        {"application/zip", {"zip"}},
        {"application/octet-stream",
         {"bin", "exe", "dll", "deb", "dmg", "iso", "img", "msi", "msp", "msm"}},
        {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", {"docx"}},
        {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", {"xlsx"}},
        {"application/vnd.openxmlformats-officedocument.presentationml.presentation", {"pptx"}},
        {"audio/midi", {"mid", "midi", "kar"}},
        {"audio/mpeg", {"mp3"}},
        {"audio/ogg", {"ogg"}},
        {"audio/x-m4a", {"m4a"}},
        {"audio/x-realaudio", {"ra"}},
        {"video/3gpp", {"3gpp", "3gp"}},
        {"video/mp2t", {"ts"}},
        {"video/mp4", {"mp4"}},
        {"video/mpeg", {"mpeg", "mpg"}},
        {"video/quicktime", {"mov"}},
        {"video/webm", {"webm"}},
        {"video/x-flv", {"flv"}},
        {"video/x-m4v", {"m4v"}},
        {"video/x-mng", {"mng"}},
        {"video/x-ms-asf", {"asx", "asf"}},
        {"video/x-ms-wmv", {"wmv"}},
        {"video/x-msvideo", {"avi"}},
    };
    std::unordered_map<std::string, std::string> map;
    for (const Group& group : groups) {
      for (const char* extension : group.extensions) map.emplace(extension, group.type);
    }
    return map;
  }();
  return table;
}

std::string mimeTypeForPath(std::string_view path) {
  // The last component; trailing separators do not count.
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (const std::size_t slash = path.rfind('/'); slash != std::string_view::npos) {
    path.remove_prefix(slash + 1);
  }
  std::string extension;
  if (const std::size_t dot = path.rfind('.'); dot != std::string_view::npos) {
    extension = path.substr(dot + 1);
  }
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const auto& table = mimeTypes();
  if (const auto found = table.find(extension); found != table.end()) return found->second;
  return "application/octet-stream";
}

std::string currentDirectory() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE) throw FileError(errno);
    buffer.resize(buffer.size() * 2);
  }
}

bool fileExists(const std::string& path) {
  return statPath(path).has_value();
}

bool isDirectory(const std::string& path) {
  const auto status = statPath(path);
  return status && S_ISDIR(status->st_mode);
}

std::vector<std::string> directoryEntries(const std::string& path) {
  std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(path.c_str()), ::closedir);
  if (!directory) throw FileError(errno);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(directory.get());
    if (entry == nullptr) {
      // A failure part way would otherwise pass for a shorter listing.
      if (errno != 0) throw FileError(errno);
      break;
    }
    const std::string_view name(entry->d_name);
    if (platform::isWellFormedUtf8(name)) names.emplace_back(name);
  }
  return names;
}

std::optional<std::string> firstRouteParameter(const HttpRequest& request) {
  if (request.params.empty()) return std::nullopt;
  return request.params.begin()->second;
}

bool staysInsideDirectory(std::string_view relativePath) {
  if (relativePath.starts_with('/')) return false;
  if (relativePath.find('\0') != std::string_view::npos) return false;
  std::string_view rest = relativePath;
  for (;;) {
    const std::size_t slash = rest.find('/');
    if (rest.substr(0, slash) == "..") return false;
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

std::optional<OpenedFile> openRegularFile(const std::string& path) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer and hold the connection forever.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return std::nullopt;
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
      ::fcntl(descriptor, F_SETFL, O_RDONLY) != 0) {
    ::close(descriptor);
    return std::nullopt;
  }
  std::FILE* stream = ::fdopen(descriptor, "rb");
  if (stream == nullptr) {
    ::close(descriptor);
    return std::nullopt;
  }
  return OpenedFile{File(stream), static_cast<uint64_t>(status.st_size)};
}

HttpResponse fileResponse(File file, std::optional<HttpHeaders> headers) {
  auto pending = std::make_shared<PendingFile>(file);
  return HttpResponse::raw(200, "OK", std::move(headers),
                           [pending](HttpResponseBodyWriter& writer) { pending->send(writer); });
}

HttpHandler fileHandler(std::string path) {
  return [path = std::move(path)](const HttpRequestPtr&) {
    auto opened = openRegularFile(path);
    if (!opened) return HttpResponse::notFound();
    return fileResponse(opened->file);
  };
}

HttpHandler directoryFilesHandler(std::string directory, std::vector<std::string> defaultFiles) {
  return [directory = std::move(directory),
          defaultFiles = std::move(defaultFiles)](const HttpRequestPtr& request) {
    const auto value = firstRouteParameter(*request);
    if (!value || !staysInsideDirectory(*value)) return HttpResponse::notFound();
    if (value->empty()) {
      for (const std::string& name : defaultFiles) {
        if (auto opened = openRegularFile(joinPath(directory, name))) {
          return fileResponse(opened->file);
        }
      }
    }
    auto opened = openRegularFile(joinPath(directory, *value));
    if (!opened) return HttpResponse::notFound();
    return fileResponse(opened->file,
                        HttpHeaders{{"Content-Type", mimeTypeForPath(*value)},
                                    {"Content-Length", std::to_string(opened->size)}});
  };
}

}  // namespace velmora::http
