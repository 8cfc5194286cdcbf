#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "html/builder.h"
#include "html/directory_listing.h"
#include "html/escape.h"
#include "html/markdown.h"
#include "tests/http/http_test.h"

namespace velmora::html {
namespace {

TEST(BuilderTest, AttributesBelongToTheElementWhoseBlockSetsThem) {
  attr::id = "outside";
  const auto failing = [] { attr::class_ = "dropped", b(), throw std::runtime_error("failed"); };
  const std::string page = render([&] {
    EXPECT_EQ(attr::id, std::nullopt);  // render starts afresh
    div([&] {
      attr::class_ = "outer", attr::data_text = "d";
      span([] { attr::id = "s", innerText = "text"; });
      EXPECT_THROW(p(failing), std::runtime_error);
      EXPECT_EQ(attr::class_, "outer");
      i([] { b(), innerText = "replaces the children"; });
      em([] { innerText = render([] { attr::id = "x", u(); }); });
    });
  });
  EXPECT_EQ(page, R"(<div class="outer" data-text="d"><span id="s">text</span>)"
                  R"(<i>replaces the children</i><em><u></u></em></div>)");
  EXPECT_THROW(render([] { throw 1; }), int);
  EXPECT_EQ(std::exchange(attr::id, std::nullopt), "outside");
}

TEST(EscapeTest, TextAttributeAndPathSegment) {
  EXPECT_EQ(escapeHtmlText("&<>\"'"), "&amp;&lt;&gt;\"'");
  EXPECT_EQ(escapeHtmlAttribute("&<>\"'"), "&amp;&lt;&gt;&quot;&#39;");
  EXPECT_EQ(percentEncodePathSegment("a/?#% \"\xC3\xA9-._~.."), "a%2F%3F%23%25%20%22%C3%A9-._~..");
}

TEST(DirectoryListingTest, ListsSortedEscapedLinksAndRefusesToLeaveTheFolder) {
  const http::TemporaryDirectory folder;
  const std::string outer = folder.path;
  std::filesystem::create_directories(outer + "/root/d");
  std::ofstream(outer + "/secret") << "secret";
  for (const char* name : {"b", "A", "c&<\"% \xC3\xA9"}) std::ofstream(outer + "/root/d/" + name);
  auto server = http::startLocalServer();
  server->GET["/list/:path"] = directoryListingHandler(outer + "/root");
  const auto get = [&](const std::string& target) {
    return http::exchange(server->port(), "GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
  };
  const auto row = [](const std::string& href, const std::string& name) {
    return "<tr><td><a href=\"/list/d/" + href + "\">" + name + "</a></td></tr>";
  };
  EXPECT_EQ(testing::bodyOf(get("/list/d")),
            "<!DOCTYPE html><html><body><table>" + row(".", ".") + row("..", "..") + row("A", "A") +
                row("b", "b") + row("c%26%3C%22%25%20%C3%A9", "c&amp;&lt;\"% \xC3\xA9") +
                "</table></body></html>");
  for (const char* target : {"/list/..", "/list/..%2Fsecret", "/list/%2Fetc", "/list/none"}) {
    EXPECT_TRUE(get(target).starts_with("HTTP/1.1 404 ")) << target;
  }
  EXPECT_TRUE(get("/list/d%2Fb%2Fx").starts_with("HTTP/1.1 500 "));  // below a file: stat fails
  server->stop();
}

TEST(MarkdownTest, RendersAnswersWithOnlyWebAndMailLinksAndNoImageLoadedUnasked) {
  struct Row {
    const char* name;
    std::string markdown, present, absent;  // fragments of the markup; no absent one when empty
  };
  const Row rows[] = {
      {"code block", "```\nif (a <b)\n  c;\n```\n", "<code>if (a &lt;b)\n  c;\n", "<b"},
      {"inline code", "use `a<b` here", "<code>a&lt;b</code>", "<b"},
      {"emphasis", "*x* **y** ~~z~~", "<em>x</em> <strong>y</strong> <del>z</del>", "*"},
      {"links elsewhere keep their text only",
       "[a](JavaScript:x) [b](java&#115;cript:x) [c](%6Aavascript:x) [d](data:text/html,x) "
       "[e](/etc/passwd) [f](#top)",
       "<p>a b c d e f</p>", "href"},
      {"web and mail links", "[a](HTTP://h.example/p) [b](https://h.example/p \"T\") [c](mailto:m)",
       "<a href=\"HTTP://h.example/p\">a</a> <a href=\"https://h.example/p\" title=\"T\">b</a> "
       "<a href=\"mailto:m\">c</a>",
       ""},
      {"autolink", "see https://h.example/?a=1&b=2 now",
       "<a href=\"https://h.example/?a=1&amp;b=2\">", ""},
      {"e-mail autolink", "write to a@h.example", "<a href=\"mailto:a@h.example\">a@h.example</a>",
       ""},
      {"link inside a link", "[a https://i.example b](https://o.example)",
       ">a https://i.example b</a>", "\"https://i"},
      {"autolink cut by a table cell's border", "|a|\n|---|\n|https://h.example|b|\n",
       "https://h.example</a></td>", ""},
      {"web image", "![cat](https://h.example/c.png)",
       "<a href=\"https://h.example/c.png\">cat</a>", "<img"},
      {"data image", "![cat](data:image/png;base64,AA)", "<p>cat</p>", "<img"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string html = markdownToHtml(row.markdown);
    EXPECT_NE(html.find(row.present), std::string::npos) << html;
    EXPECT_TRUE(row.absent.empty() || html.find(row.absent) == std::string::npos) << html;
  }
  // An answer that ends inside a link, whatever byte follows it in memory (md4c reads one more).
  const std::string_view closedLater = "[x](y)";
  EXPECT_EQ(markdownToHtml(closedLater.substr(0, 5)), markdownToHtml(std::string("[x](y")));
}

}  // namespace
}  // namespace velmora::html
