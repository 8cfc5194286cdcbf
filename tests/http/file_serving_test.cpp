#include "http/file_serving.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "http/server.h"
#include "tests/support/test_client.h"

namespace velmora::http {
namespace {

namespace fs = std::filesystem;
using testing::parseResponse;
using testing::TestClient;

// A fresh directory below /tmp, removed with everything in it.
class TempDirectory {
 public:
  TempDirectory() {
    char pattern[] = "/tmp/velmora-files-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name, const std::string& content = "") const {
    const std::string full = path_ + "/" + name;
    std::ofstream(full, std::ios::binary) << content;
    return full;
  }

 private:
  std::string path_;
};

// Reads a sent file back, so that handlers can be called without a connection.
class CollectingWriter final : public HttpResponseBodyWriter {
 public:
  void write(const File& file) override {
    File reader = file;
    std::vector<uint8_t> buffer(4096);
    while (const std::size_t count = reader.read(buffer))
      bytes.append(buffer.begin(), buffer.begin() + count);
  }
  void write(const std::vector<uint8_t>& data) override { bytes.append(data.begin(), data.end()); }
  void write(std::span<const uint8_t> slice) override { bytes.append(slice.begin(), slice.end()); }
  void write(const void* data, std::size_t length) override {
    bytes.append(static_cast<const char*>(data), length);
  }
  void write(std::string_view data) override { bytes += data; }

  std::string bytes;
};

HttpRequestPtr requestWith(std::unordered_map<std::string, std::string> params) {
  auto request = std::make_shared<HttpRequest>();
  request->method = "GET";
  request->path = "/";
  request->params = std::move(params);
  return request;
}

std::string bodyOf(const HttpResponse& response) {
  CollectingWriter writer;
  if (auto content = response.content(); content.writer) content.writer(writer);
  return writer.bytes;
}

std::size_t openDescriptorCount() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// extension list, type: every pair of the table, typed independently of the code.
TEST(MimeTypes, TableHoldsEveryPairAndNothingElse) {
  const std::pair<const char*, const char*> groups[] = {
      {"html htm shtml", "text/html"},
      {"css", "text/css"},
      {"xml", "text/xml"},
      {"mml", "text/mathml"},
      {"txt", "text/plain"},
      {"jad", "text/vnd.sun.j2me.app-descriptor"},
      {"wml", "text/vnd.wap.wml"},
      {"htc", "text/x-component"},
      {"gif", "image/gif"},
      {"jpeg jpg", "image/jpeg"},
      {"png", "image/png"},
      {"tif tiff", "image/tiff"},
      {"wbmp", "image/vnd.wap.wbmp"},
      {"ico", "image/x-icon"},
      {"jng", "image/x-jng"},
      {"bmp", "image/x-ms-bmp"},
      {"svg svgz", "image/svg+xml"},
      {"webp", "image/webp"},
      {"js", "application/javascript"},
      {"atom", "application/atom+xml"},
      {"rss", "application/rss+xml"},
      {"woff", "application/font-woff"},
      {"jar war ear", "application/java-archive"},
      {"json", "application/json"},
      {"hqx", "application/mac-binhex40"},
      {"doc", "application/msword"},
      {"pdf", "application/pdf"},
      {"ps eps ai", "application/postscript"},
      {"rtf", "application/rtf"},
      {"m3u8", "application/vnd.apple.mpegurl"},
      {"xls", "application/vnd.ms-excel"},
      {"eot", "application/vnd.ms-fontobject"},
      {"ppt", "application/vnd.ms-powerpoint"},
      {"wmlc", "application/vnd.wap.wmlc"},
      {"kml", "application/vnd.google-earth.kml+xml"},
      {"kmz", "application/vnd.google-earth.kmz"},
      {"7z", "application/x-7z-compressed"},
      {"cco", "application/x-cocoa"},
      {"jardiff", "application/x-java-archive-diff"},
      {"jnlp", "application/x-java-jnlp-file"},
      {"run", "application/x-makeself"},
      {"pl pm", "application/x-perl"},
      {"prc pdb", "application/x-pilot"},
      {"rar", "application/x-rar-compressed"},
      {"rpm", "application/x-redhat-package-manager"},
      {"sea", "application/x-sea"},
      {"swf", "application/x-shockwave-flash"},
      {"sit", "application/x-stuffit"},
      {"tcl tk", "application/x-tcl"},
      {"der pem crt", "application/x-x509-ca-cert"},
      {"xpi", "application/x-xpinstall"},
      {"xhtml", "application/xhtml+xml"},
      {"xspf", "application/xspf+xml"},
      {"zip", "application/zip"},
      {"bin exe dll deb dmg iso img msi msp msm", "application/octet-stream"},
      {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
      {"mid midi kar", "audio/midi"},
      {"mp3", "audio/mpeg"},
      {"ogg", "audio/ogg"},
      {"m4a", "audio/x-m4a"},
      {"ra", "audio/x-realaudio"},
      {"3gpp 3gp", "video/3gpp"},
      {"ts", "video/mp2t"},
      {"mp4", "video/mp4"},
      {"mpeg mpg", "video/mpeg"},
      {"mov", "video/quicktime"},
      {"webm", "video/webm"},
      {"flv", "video/x-flv"},
      {"m4v", "video/x-m4v"},
      {"mng", "video/x-mng"},
      {"asx asf", "video/x-ms-asf"},
      {"wmv", "video/x-ms-wmv"},
      {"avi", "video/x-msvideo"},
  };
  std::size_t pairs = 0;
  for (const auto& [extensions, type] : groups) {
    std::istringstream words(extensions);
    for (std::string extension; words >> extension; ++pairs) {
      SCOPED_TRACE(extension);
      ASSERT_TRUE(mimeTypes().contains(extension));
      EXPECT_EQ(mimeTypes().at(extension), type);
      EXPECT_EQ(mimeTypeForPath("dir/name." + extension), type);
    }
  }
  EXPECT_EQ(pairs, 103u);
  EXPECT_EQ(mimeTypes().size(), 103u);
}

TEST(MimeTypes, ExtensionOfTheLastComponentInLowerCase) {
  const struct {
    const char* name;
    const char* path;
    const char* type;
  } rows[] = {
      {"upperCase", "INDEX.HTML", "text/html"},
      {"mixedCase", "photo.PnG", "image/png"},
      {"doubleExtension", "archive.tar.gz", "application/octet-stream"},
      {"lastOfTwoKnown", "data.json.txt", "text/plain"},
      {"none", "README", "application/octet-stream"},
      {"dotInDirectoryOnly", "v1.2/README", "application/octet-stream"},
      {"trailingDot", "name.", "application/octet-stream"},
      {"absolute", "/srv/site/app.js", "application/javascript"},
      {"empty", "", "application/octet-stream"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(mimeTypeForPath(row.path), row.type);
  }
}

TEST(PathOperations, StatAndListing) {
  TempDirectory directory;
  const std::string file = directory.file("plain.txt", "x");
  fs::create_directory(directory.path() + "/sub");
  directory.file("\xff\xfe-not-utf8");
  directory.file("caf\xc3\xa9.txt");

  EXPECT_EQ(currentDirectory(), fs::current_path().string());

  EXPECT_TRUE(fileExists(file));
  EXPECT_TRUE(fileExists(directory.path()));
  EXPECT_FALSE(fileExists(directory.path() + "/missing"));
  EXPECT_TRUE(isDirectory(directory.path() + "/sub"));
  EXPECT_FALSE(isDirectory(file));
  EXPECT_FALSE(isDirectory(directory.path() + "/missing"));

  // A file in the place of a directory is a failure, not a missing path.
  for (const auto& check : {fileExists, isDirectory}) {
    try {
      check(file + "/below");
      ADD_FAILURE() << "ENOTDIR must raise";
    } catch (const FileError& error) {
      EXPECT_EQ(error.errorNumber(), ENOTDIR);
    }
  }

  auto names = directoryEntries(directory.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "caf\xc3\xa9.txt", "plain.txt", "sub"}));
  try {
    directoryEntries(directory.path() + "/missing");
    ADD_FAILURE() << "a missing directory must raise";
  } catch (const FileError& error) {
    EXPECT_EQ(error.errorNumber(), ENOENT);
  }
  EXPECT_THROW(directoryEntries(file), FileError);
}

TEST(PathOperations, RelativePathsThatLeaveTheDirectoryAreRefused) {
  const struct {
    const char* name;
    std::string value;
    bool inside;
  } rows[] = {
      {"plain", "a.txt", true},
      {"nested", "sub/a.txt", true},
      {"empty", "", true},
      {"dotsInName", "a..b", true},
      {"threeDots", "...", true},
      {"dotDotPrefix", "..hidden", true},
      {"currentDirectory", "./a.txt", true},
      {"parent", "..", false},
      {"parentFirst", "../etc/passwd", false},
      {"parentInside", "sub/../../x", false},
      {"parentLast", "sub/..", false},
      {"absolute", "/etc/passwd", false},
      {"nulByte", std::string("a.txt\0/../x", 11), false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(staysInsideDirectory(row.value), row.inside);
  }
}

TEST(FileHandlers, AnswerFromFilesWithoutAConnection) {
  TempDirectory directory;
  const std::string served = directory.path() + "/served";
  fs::create_directory(served);
  std::ofstream(served + "/home.html") << "home";
  std::ofstream(served + "/index.html") << "index";
  fs::create_directory(served + "/folder.html");
  std::ofstream(directory.path() + "/secret.txt") << "secret";
  ASSERT_EQ(::mkfifo((served + "/pipe.txt").c_str(), 0600), 0);

  const HttpResponse whole = fileHandler(served + "/home.html")(requestWith({}));
  EXPECT_EQ(whole.statusCode(), 200);
  EXPECT_EQ(whole.headers(), (HttpHeaders{{"Server", serverHeaderValue()}}));
  EXPECT_EQ(bodyOf(whole), "home");
  EXPECT_EQ(fileHandler(served + "/missing")(requestWith({})).statusCode(), 404);
  EXPECT_EQ(fileHandler(served)(requestWith({})).statusCode(), 404) << "a directory is no file";

  const HttpHandler files =
      directoryFilesHandler(served, {"missing.html", "folder.html", "home.html", "index.html"});
  const HttpResponse fallback = files(requestWith({{":path", ""}}));
  EXPECT_EQ(fallback.statusCode(), 200);
  EXPECT_EQ(fallback.headers().size(), 1u) << "a default file goes without Content-Type";
  EXPECT_EQ(bodyOf(fallback), "home");
  EXPECT_EQ(directoryFilesHandler(served, {"none.html"})(requestWith({{":path", ""}})).statusCode(),
            404)
      << "without a default, the directory itself is tried, and it is no file";

  const struct {
    const char* name;
    std::string value;
  } refused[] = {
      {"missing", "nothing.txt"},    {"directory", "folder.html"},
      {"fifo", "pipe.txt"},          {"parent", "../secret.txt"},
      {"absolute", "/etc/hostname"}, {"nul", std::string("home.html\0x", 11)},
  };
  for (const auto& row : refused) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(files(requestWith({{":path", row.value}})).statusCode(), 404);
  }
  EXPECT_EQ(files(requestWith({})).statusCode(), 404) << "no parameter";
}

TEST(FileHandlers, FileClosedWhenTheResponseIsNeverSent) {
  TempDirectory directory;
  directory.file("a.txt", "a");
  const HttpHandler files = directoryFilesHandler(directory.path(), {});
  const std::size_t before = openDescriptorCount();
  for (int i = 0; i < 20; ++i) {
    const HttpResponse response = files(requestWith({{":path", "a.txt"}}));
    EXPECT_EQ(response.statusCode(), 200);
  }
  EXPECT_EQ(openDescriptorCount(), before);

  // Sent once, the file is closed; a second call writes nothing.
  const HttpResponse response = files(requestWith({{":path", "a.txt"}}));
  CollectingWriter writer;
  response.content().writer(writer);
  response.content().writer(writer);
  EXPECT_EQ(writer.bytes, "a");
}

// A server with /static/:path on a directory whose parent holds a file that must stay unreachable.
class FileServingServer : public ::testing::Test {
 protected:
  void SetUp() override {
    served = root.path() + "/served";
    fs::create_directory(served);
    root.file("secret.txt", "secret");
    server->GET["/static/:path"] = directoryFilesHandler(served, {"index.html"});
    server->start(0, true);
  }
  void TearDown() override { server->stop(); }

  std::string fetch(const std::string& target) {
    TestClient client(server->port());
    client.send("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    return client.readUntilClose();
  }
  void write(const std::string& name, const std::string& content) const {
    std::ofstream(served + "/" + name, std::ios::binary) << content;
  }

  TempDirectory root;
  std::string served;
  std::shared_ptr<HttpServer> server = std::make_shared<HttpServer>();
};

TEST_F(FileServingServer, ServesFilesWithTypeAndLength) {
  write("page.html", "<p>hello</p>");
  write("LOGO.PNG", "\x89PNG");
  write("backup.tar.gz", "gz");
  write("NOTES", "n");
  write("caf\xc3\xa9 menu.txt", "menu");
  const struct {
    const char* name;
    const char* target;
    const char* type;
    const char* body;
  } rows[] = {
      {"html", "/static/page.html", "text/html", "<p>hello</p>"},
      {"upperCase", "/static/LOGO.PNG", "image/png", "\x89PNG"},
      {"doubleExtension", "/static/backup.tar.gz", "application/octet-stream", "gz"},
      {"noExtension", "/static/NOTES", "application/octet-stream", "n"},
      {"encodedName", "/static/caf%C3%A9%20menu.txt", "text/plain", "menu"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string raw = fetch(row.target);
    const auto response = parseResponse(raw);
    EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(response.header("Content-Type"), row.type);
    EXPECT_EQ(response.header("Content-Length"), std::to_string(std::string(row.body).size()));
    EXPECT_EQ(response.body, row.body);
    EXPECT_EQ(raw.find("Content-Length"), raw.rfind("Content-Length")) << "one length only";
  }
}

TEST_F(FileServingServer, RefusesMissingFilesAndPathsOutOfTheDirectory) {
  const char* targets[] = {
      "/static/missing.txt",
      "/static/..%2Fsecret.txt",
      "/static/..%2F..%2Fetc%2Fpasswd",
      "/static/..%2F..%2F..%2F..%2F..%2F..%2Fetc%2Fpasswd",
      "/static/%2E%2E%2Fsecret.txt",
      "/static/%2Fetc%2Fpasswd",
      "/static/..",
      "/static/a.txt%00",
  };
  for (const char* target : targets) {
    SCOPED_TRACE(target);
    const auto response = parseResponse(fetch(target));
    EXPECT_EQ(response.statusLine, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(response.body.find("secret"), std::string::npos);
    EXPECT_EQ(response.body.find("root:"), std::string::npos);
  }
}

TEST_F(FileServingServer, LargeFileArrivesIntact) {
  std::string content(3 * 1024 * 1024 / 2 + 7, '\0');
  std::mt19937 random(7);
  for (char& c : content) c = static_cast<char>(random());
  write("large.bin", content);

  const auto response = parseResponse(fetch("/static/large.bin"));
  EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(response.header("Content-Length"), std::to_string(content.size()));
  ASSERT_EQ(response.body.size(), content.size());
  EXPECT_TRUE(response.body == content);
}

TEST_F(FileServingServer, FilesKeepTheConnectionUnlessTheFileChangedUnderfoot) {
  const std::string large(300 * 1024, 'L');
  write("large.bin", large);
  write("small.txt", "small");
  TestClient client(server->port());
  for (const auto& [target, body] : {std::pair{"/static/large.bin", large}, {"/static/small.txt", std::string("small")},
                                     {"/static/large.bin", large}}) {
    SCOPED_TRACE(target);
    client.send(std::string("GET ") + target + " HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    const auto response = parseResponse(client.readResponse());
    EXPECT_EQ(response.header("Connection"), "keep-alive");
    EXPECT_TRUE(response.body == body);
  }

  // The length went out in the header block before the file grew: only that many bytes follow,
  // and the connection closes instead of handing the rest to the next response.
  const HttpHandler files = directoryFilesHandler(served, {});
  server->GET["/growing/:path"] = [&](const HttpRequestPtr& request) {
    HttpResponse response = files(request);
    std::ofstream(served + "/small.txt", std::ios::binary | std::ios::app) << " and more";
    return response;
  };
  client.send("GET /growing/small.txt HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  const std::string wire = client.readUntilClose();
  EXPECT_TRUE(client.peerClosed());
  EXPECT_EQ(parseResponse(wire).header("Content-Length"), "5");
  EXPECT_EQ(parseResponse(wire).body, "small");
}

TEST_F(FileServingServer, ClientLeavingMidFileLeavesTheServerServing) {
  write("large.bin", std::string(4 * 1024 * 1024, 'x'));
  write("small.txt", "small");
  // sendfile() to a peer that has gone raises SIGPIPE, which would end this whole process.
  for (int i = 0; i < 8; ++i) {
    TestClient leaving(server->port());
    leaving.send("GET /static/large.bin HTTP/1.1\r\n\r\n");
    if (i % 2 == 0) {
      leaving.reset();
    } else {
      char some[1024];
      EXPECT_GT(::recv(leaving.descriptor(), some, sizeof some, 0), 0);
      leaving.close();
    }
  }
  EXPECT_EQ(parseResponse(fetch("/static/small.txt")).body, "small");
}

// Handlers run on several connection threads while the separator is replaced.
TEST_F(FileServingServer, ParallelRequestsWhileTheDelimiterIsReplaced) {
  write("a.css", "body{}");
  std::atomic<bool> done{false};
  std::thread replacer([&] {
    while (!done) pathDelimiter = "/";
  });
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        const auto response = parseResponse(fetch("/static/a.css"));
        if (response.body == "body{}" && response.header("Content-Type") == "text/css") ++answered;
      }
    });
  }
  for (auto& client : clients) client.join();
  done = true;
  replacer.join();
  EXPECT_EQ(answered, 40);
  EXPECT_EQ(std::string(pathDelimiter), "/");
}

}  // namespace
}  // namespace velmora::http
