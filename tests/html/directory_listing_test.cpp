#include "html/directory_listing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "http/server.h"
#include "tests/support/test_client.h"

namespace velmora::html {
namespace {

namespace fs = std::filesystem;
using testing::parseResponse;
using testing::TestClient;

TEST(SortedForListing, LowerCasedOrderWithDotsFirst) {
  EXPECT_EQ(sortedForListing({"b", "..", "A", "c", "."}),
            (std::vector<std::string>{".", "..", "A", "b", "c"}));
  EXPECT_EQ(sortedForListing({"b", "B", "a.txt", "A.TXT", "a"}),
            (std::vector<std::string>{"a", "A.TXT", "a.txt", "B", "b"}));
}

// A listing route over a fresh directory below /tmp, beside which a secret file lies.
class DirectoryListingServer : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-listing-XXXXXX";
    outer = ::mkdtemp(pattern);
    root = outer + "/root";
    fs::create_directory(root);
    std::ofstream(outer + "/secret.txt") << "secret";
    server->GET["/list/:path"] = directoryListingHandler(root);
    server->start(0, true);
  }
  void TearDown() override {
    server->stop();
    std::error_code ignored;
    fs::permissions(root + "/locked", fs::perms::owner_all, ignored);
    fs::remove_all(outer, ignored);
  }

  std::string fetch(const std::string& target) {
    TestClient client(server->port());
    client.send("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    return client.readUntilClose();
  }
  void touch(const std::string& relative, const std::string& content = "") const {
    std::ofstream(root + "/" + relative, std::ios::binary) << content;
  }

  std::string outer;
  std::string root;
  std::shared_ptr<http::HttpServer> server = std::make_shared<http::HttpServer>();
};

TEST_F(DirectoryListingServer, ListsEntriesSortedWithLinks) {
  fs::create_directory(root + "/d");
  for (const char* name : {"b", "A", "c"}) touch(std::string("d/") + name);

  const auto response = parseResponse(fetch("/list/d"));
  EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(response.header("Content-Type"), "text/html");
  EXPECT_EQ(response.header("Content-Length"), std::nullopt);
  std::string expected = "<!DOCTYPE html><html><body><table>";
  for (const char* name : {".", "..", "A", "b", "c"}) {
    expected += std::string("<tr><td><a href=\"/list/d/") + name + "\">" + name + "</a></td></tr>";
  }
  expected += "</table></body></html>";
  EXPECT_EQ(response.body, expected);
}

TEST_F(DirectoryListingServer, NamesAndPathsAreEscaped) {
  fs::create_directory(root + "/d");
  touch("d/<img src=x onerror=alert(1)>");
  touch("d/a\"b'c&d.txt");
  touch("d/caf\xc3\xa9 menu");

  const std::string body = parseResponse(fetch("/list/d")).body;
  EXPECT_EQ(body.find("<img"), std::string::npos) << body;
  EXPECT_NE(body.find("<a href=\"/list/d/%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E\">"
                      "&lt;img src=x onerror=alert(1)&gt;</a>"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("<a href=\"/list/d/a%22b%27c%26d.txt\">a\"b'c&amp;d.txt</a>"),
            std::string::npos)
      << body;
  EXPECT_NE(body.find("<a href=\"/list/d/caf%C3%A9%20menu\">caf\xc3\xa9 menu</a>"),
            std::string::npos)
      << body;

  // The request's own path goes into every href: a quote in it must not end the attribute.
  fs::create_directory(root + "/q\"d");
  const std::string quoted = parseResponse(fetch("/list/q\"d")).body;
  EXPECT_NE(quoted.find("<a href=\"/list/q&quot;d/.\">.</a>"), std::string::npos) << quoted;
}

TEST_F(DirectoryListingServer, FilesAreSentWithoutHeaders) {
  touch("notes.txt", "some notes");
  const auto response = parseResponse(fetch("/list/notes.txt"));
  EXPECT_EQ(response.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(response.header("Content-Type"), std::nullopt);
  EXPECT_EQ(response.body, "some notes");
}

TEST_F(DirectoryListingServer, MissingRefusedAndFailingPaths) {
  touch("file.txt", "x");
  ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0600), 0);
  fs::create_symlink("loop", root + "/loop");
  const struct {
    const char* name;
    const char* target;
    const char* statusLine;
  } rows[] = {
      {"missing", "/list/nothing", "HTTP/1.1 404 Not Found"},
      {"fifoIsNoFile", "/list/pipe", "HTTP/1.1 404 Not Found"},
      {"parent", "/list/..", "HTTP/1.1 404 Not Found"},
      {"encodedParent", "/list/..%2F", "HTTP/1.1 404 Not Found"},
      {"encodedParentFile", "/list/..%2Fsecret.txt", "HTTP/1.1 404 Not Found"},
      {"absolute", "/list/%2Fetc", "HTTP/1.1 404 Not Found"},
      // stat() failures other than a missing path.
      {"fileAsDirectory", "/list/file.txt%2Fbelow", "HTTP/1.1 500 Internal Server Error"},
      {"symlinkLoop", "/list/loop", "HTTP/1.1 500 Internal Server Error"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto response = parseResponse(fetch(row.target));
    EXPECT_EQ(response.statusLine, row.statusLine);
    EXPECT_EQ(response.body.find("secret"), std::string::npos);
  }
}

TEST_F(DirectoryListingServer, PermissionFailureIsAServerError) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root passes every permission check; the 500 path is covered by the "
                    "ENOTDIR and ELOOP rows of MissingRefusedAndFailingPaths";
  }
  fs::create_directory(root + "/locked");
  touch("locked/inner");
  fs::permissions(root + "/locked", fs::perms::none);
  EXPECT_EQ(parseResponse(fetch("/list/locked%2Finner")).statusLine,
            "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(parseResponse(fetch("/list/locked")).statusLine, "HTTP/1.1 500 Internal Server Error")
      << "opendir fails";
}

}  // namespace
}  // namespace velmora::html
