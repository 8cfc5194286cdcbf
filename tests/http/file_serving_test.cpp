#include "http/file_serving.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/http/http_test.h"

namespace velmora::http {
namespace {

namespace fs = std::filesystem;

TEST(FileServingTest, ServesFilesInsideTheDirectoryOnly) {
  // The served directory is base/root; base/secret.txt lies out of reach.
  const TemporaryDirectory base;
  const fs::path root = fs::path(base.path) / "root";
  fs::create_directories(root / "sub");
  fs::create_directory(root / "dir");
  ASSERT_EQ(mkfifo((root / "pipe").c_str(), 0600), 0);
  std::string data;
  for (int i = 0; i < 300000; ++i) data += static_cast<char>(i * 7 % 256);
  // clang-format off
  const std::pair<fs::path, std::string> files[] = {
      {fs::path(base.path) / "secret.txt", "SECRET"}, {root / "page.html", "<p>hi</p>"},
      {root / "sub" / "note.txt", "note"}, {root / "UP.HTML", "up"}, {root / "a.txt.html", "two"},
      {root / "README", "r"}, {root / "index.htm", "index"}, {root / "data.bin", data}};
  // clang-format on
  for (const auto& [path, content] : files) std::ofstream(path, std::ios::binary) << content;
  auto server = startLocalServer();
  server->GET["/files/:name"] = directoryFilesHandler(root.string(), {});
  server->GET["/one"] = fileHandler((root / "sub" / "note.txt").string());
  server->GET["/gone"] = fileHandler((root / "none").string());
  // The router gives no empty parameter; a handler in between does.
  const HttpHandler index = directoryFilesHandler(root.string(), {"none.html", "index.htm"});
  server->GET["/index"] = [index](const HttpRequestPtr& r) {
    return r->params[":name"] = "", index(r);
  };

  const std::pair<std::string, std::string> rows[] = {
      {"page.html", "200 text/html <p>hi</p>"},
      {"sub%2Fnote.txt", "200 text/plain note"},
      {"UP.HTML", "200 text/html up"},
      {"a.txt.html", "200 text/html two"},
      {"README", "200 application/octet-stream r"},
      {"/one", "200 - note"},
      {"/gone", "404 - "},
      {"/index", "200 - index"},
      {"..", "404 - "},
      {"%2e%2E", "404 - "},
      {"..%2Fsecret.txt", "404 - "},
      {"sub%2F..%2F..%2Fsecret.txt", "404 - "},
      {"%2F..%2Fsecret.txt", "404 - "},
      {"page.html%00.txt", "404 - "},  // a NUL would end the name early
      {"pipe", "404 - "},              // opening a FIFO must not wait for a writer
      {"dir", "404 - "},
  };
  for (const auto& [target, expected] : rows) {
    const std::string response =
        exchange(server->port(), std::string("GET ") + (target.starts_with('/') ? "" : "/files/") +
                                     target + " HTTP/1.1\r\n\r\n");
    const std::string type = testing::headerValue(response, "Content-Type").value_or("-");
    EXPECT_EQ(response.substr(9, 3) + " " + type + " " + testing::bodyOf(response), expected)
        << target;
  }
  testing::TestClient client(server->port());
  const std::string request = "GET /files/data.bin HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";
  client.send(request + request);  // the kept connection answers the second request too
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(testing::bodyOf(client.readResponse()) == data);
}

TEST(FileTest, WritesReadsAndSeeksAndSaysWhatFailed) {
  const TemporaryDirectory folder;
  const std::string path = folder.path + "/f";
  EXPECT_THROW(File::openReading(path), FileError);
  File written = File::openWriting(path);
  written.write(std::span(reinterpret_cast<const uint8_t*>("0123456789"), 10));
  written.close();
  File file = File::openUpdating(path);
  uint8_t buffer[4];
  EXPECT_TRUE(file.seek(7));
  EXPECT_EQ(file.read(buffer), 3u);
  EXPECT_EQ(std::string(buffer, buffer + 3), "789");
  EXPECT_EQ(file.read(buffer) + file.read(std::span(buffer, 0)), 0u);  // the end; no room
  EXPECT_FALSE(file.seek(-1));
  file.close();
  File directory = File::openReading(folder.path);  // opens, but cannot be read
  EXPECT_THROW(directory.read(buffer), FileError);
  directory.close();
}

}  // namespace
}  // namespace velmora::http
