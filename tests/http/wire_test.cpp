#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <csignal>
#include <map>
#include <thread>

#include "http/parser.h"
#include "tests/http/http_test.h"

namespace velmora::http {
namespace {

// What a server answers to `wire`, sent in pieces of `step` bytes (0: whole) and then the end of
// sending: each request read as "GET /a ?q=1 [name:value] {body}" (Connection left out), each
// refusal and interim answer as its status once its bytes are exactly those of one, " | " between,
// and "(reset)" when the server closed before it read what the client sent.
std::string serveAll(const std::string& wire, const HttpLimits& limits, std::size_t step) {
  auto server = startLocalServer(limits);
  server->setNotFoundHandler([](const HttpRequestPtr& request) {
    std::string text = request->method + " " + request->path;
    for (const auto& [name, value] : request->queryParams) text += " ?" + name + "=" + value;
    for (const auto& [name, value] : std::map(request->headers.begin(), request->headers.end())) {
      if (name != "connection") text += " [" + name + ":" + value + "]";
    }
    if (!request->body.empty())
      text += " {" + std::string(request->body.begin(), request->body.end()) + "}";
    return HttpResponse::ok(HttpResponseBody::text(text));
  });
  testing::TestClient client(server->port());
  bool sendFailed = false;  // a reset: the server closed with bytes unread
  std::thread sender([&] {
    const std::size_t piece = step > 0 ? step : wire.size();
    try {
      for (std::size_t at = 0; at < wire.size(); at += piece) {
        client.send(wire.substr(at, piece));
        if (step > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      client.finishSending();
    } catch (const std::exception&) {
      sendFailed = true;
    }
  });
  std::string rest = client.readUntilClose();
  sender.join();
  std::string out;
  for (std::size_t end; (end = rest.find("\r\n\r\n")) != std::string::npos;) {
    const std::string head = rest.substr(0, end + 4);
    const std::string status = head.substr(9, head.find("\r\n") - 9);
    std::string item = status;
    if (head.starts_with("HTTP/1.1 200 OK\r\n")) {
      item = rest.substr(end + 4, std::stoul(*testing::headerValue(head, "Content-Length")));
    } else if (head != "HTTP/1.1 " + status + "\r\n" + kServer +
                           "Content-Length: 0\r\nConnection: close\r\n\r\n" &&
               head != "HTTP/1.1 100 Continue\r\n\r\n") {
      break;
    }
    out += (out.empty() ? "" : " | ") + item;
    rest.erase(0, head.size() + (status.starts_with("200") ? item.size() : 0));
  }
  return out + (rest.empty() ? "" : " ~" + rest.substr(0, 200)) + (sendFailed ? " (reset)" : "");
}

// Each framing case with what the client reads, and whether the request after it is read.
TEST(HttpParserTest, ReadsRequestsAndRefusesThemAtTheExactLimits) {
  const HttpLimits small{
      .maxRequestLineBytes = 28, .maxHeadBytes = 100, .maxHeaderLines = 3, .maxBodyBytes = 5};
  const std::string ka = "Connection: keep-alive\r\n";
  const std::string get = "GET / HTTP/1.1\r\n" + ka;
  const std::string post = "POST / HTTP/1.1\r\n" + ka + "Content-Length: ";
  const std::string next = "GET /next HTTP/1.1\r\n\r\n";
  const std::string pipelined = post + "5\r\n\r\nhello" + next;
  const std::string read = "POST / [content-length:5] {hello} | GET /next";
  const std::string chunked = "POST / HTTP/1.1\r\n" + ka + "Transfer-Encoding: chunked\r\n\r\n";
  const std::string v(20000, 'v'), x(40000, 'x'), head53(53, 'h');
  const std::string r400 = "400 Bad Request", r413 = "413 Content Too Large";
  const std::string r431 = "431 Request Header Fields Too Large", r501 = "501 Not Implemented";
  const HttpLimits largest{.maxBodyBytes = UINT64_MAX};
  HttpLimits reading = small;  // reads all a client sends after a refusal
  reading.lingerBytes = 64 << 20;
  struct Row {
    std::string name;
    std::string wire;
    std::string expected;
    HttpLimits limits = {};
    std::size_t step = 0;
  };
  // clang-format off
  std::vector<Row> rows = {
      {"bare line feeds", "GET / HTTP/1.1\n\n", "GET /"},
      {"query in order", "GET /p?a=1&b&&c=x=y&a=2 HTTP/1.1\r\n\r\n", "GET /p ?a=1 ?b= ?c=x=y ?a=2"},
      {"absolute form", "GET http://h:80/x%20?y=1 HTTP/1.1\r\n\r\n", "GET /x%20 ?y=1"},
      {"names lower-cased, values trimmed, last wins",
       get + "X-A:  one \r\nx-a: two\r\n\r\n" + next, "GET / [x-a:two] | GET /next"},
      {"Latin-1 as UTF-8, no-break spaces trimmed",
       get + "Name: caf\xE9\r\nNbsp: \xA0v\xA0\r\n\r\n", "GET / [name:caf\xC3\xA9] [nbsp:v]"},
      {"empty lines before the request line", "\r\n\n" + get + "\r\n" + next, "GET / | GET /next",
       {}, 1},
      {"body, then a pipelined request", pipelined, read},
      {"one byte at a time", pipelined, read, {}, 1},
      {"beyond the read buffer, in pieces", post + "40000\r\nk: " + v + "\r\n\r\n" + x + next,
       "POST / [content-length:40000] [k:" + v + "] {" + x + "} | GET /next", {}, 7001},
      {"100-continue", post + "5\r\nExpect: 100-continue\r\n\r\nhello" + next,
       "100 Continue | POST / [content-length:5] [expect:100-continue] {hello} | GET /next"},
      {"over the limit: no 100-continue", post + "6\r\nExpect: 100-continue\r\n\r\n", r413, small},
      {"huge length, nothing allocated", post + "9223372036854775807\r\n\r\n" + next, r413},
      {"body cut short", post + "9\r\n\r\nabc", ""},
      {"two words", "GET /\r\n\r\n" + next, r400},
      {"maxHeaderLines lines", get + "a: 1\r\nb: 2\r\n\r\n", "GET / [a:1] [b:2]", small},
      {"one line more", get + "a: 1\r\nb: 2\r\nc: 3\r\n\r\n", r431, small},
      {"body of maxBodyBytes", post + "5\r\n\r\n12345", "POST / [content-length:5] {12345}", small},
      {"one byte more, a long body unread but the answer read",
       post + "6\r\n\r\n" + std::string(16 << 20, 'b'), r413, reading},
      // A line's bytes count its carriage return, not its line feed.
      {"line of maxRequestLineBytes", "GET /aaaaaaaaaaaaa HTTP/1.1\r\n\r\n", "GET /aaaaaaaaaaaaa",
       small},
      {"one byte more", "GET /aaaaaaaaaaaaaa HTTP/1.1\r\n\r\n", "414 URI Too Long", small},
      {"head of maxHeadBytes in pieces", get + "k: " + head53 + "\r\n\r\n",
       "GET / [k:" + head53 + "]", small, 1},
      {"one byte more in pieces", get + "k: " + head53 + "h\r\n\r\n", r431, small, 1},
      {"chunked, extension and trailer, then a pipelined request",
       chunked + "5;x=y\r\nhello\r\nA \r\n0123456789\r\n0\r\nT: v\r\n\r\n" + next,
       "POST / [transfer-encoding:chunked] {hello0123456789} | GET /next", {}, 1},
      {"chunked to maxBodyBytes", chunked + "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
       "POST / [transfer-encoding:chunked] {abcde}", small},
      {"one chunked byte more", chunked + "3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n", r413, small},
      {"chunk size past 64 bits", chunked + "fffffffffffffffffff\r\n", r413},
      {"chunk size wrapping to 0 under the largest limit",
       chunked + "10000000000000000\r\n\r\n" + next, r413, largest},
      {"chunk longer than its size", chunked + "2\r\nabc\r\n0\r\n\r\n" + next, r400},
      {"chunk size not hex", chunked + "0x2\r\nab\r\n0\r\n\r\n" + next, r400},
      {"length beside chunked", post + "5\r\nTransfer-Encoding: chunked\r\n\r\n" + next, r400},
      {"lengths that differ", post + "5\r\ncontent-length: 6\r\n\r\nhello!" + next, r400},
      {"a length repeated is one", post + "5, 5\r\n\r\nhello",
       "POST / [content-length:5, 5] {hello}"},
      {"a coding before chunked, on another line",
       get + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + next, r501},
      {"an unknown coding alone", get + "Transfer-Encoding: gzip\r\n\r\n" + next, r501},
      {"chunked before another coding",
       get + "Transfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n" + next, r400},
      {"a coding in HTTP/1.0", "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       r400},
      {"space before a colon", post.substr(0, post.size() - 2) + " : 5\r\n\r\nhello" + next, r400},
      {"space before a coding's colon", get + "Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n" + next,
       r400},
      {"NUL inside a name", get + std::string("Content-\0Length: 5\r\n\r\nhello", 27) + next, r400},
      {"vertical tab inside a value", post + "1\v4\r\n\r\n" + next, r400},
      {"CR inside a value", get + "A: 1\r2\r\n\r\n" + next, r400},
      {"continuation line", get + "A: 1\r\n folded\r\n\r\n" + next, r400},
      {"line without a colon", get + "no colon\r\n\r\n" + next, r400},
      {"empty name", get + ": v\r\n\r\n" + next, r400},
  };
  // clang-format on
  // A length that is not plain digits must not leave its body to be read as the next request.
  for (const char* length : {"59 59", "59x", "0x3b", "+59", "-1", "", "99999999999999999999"}) {
    rows.push_back(
        {"Content-Length: " + std::string(length), post + length + "\r\n\r\n" + next, r400});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string got = serveAll(row.wire, row.limits, row.step);
    EXPECT_TRUE(got == row.expected) << got.substr(0, 300);
  }
}

// Signals interrupt the blocked writer: the kernel takes each write in parts that end anywhere.
TEST(SocketTest, LargeWritesTakenInPartsArriveWholeAndTheEndIsSeen) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGUSR1, &action, nullptr);  // no SA_RESTART: a send returns what it sent so far
  int fds[2];                            // the socket under test and its peer
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  Socket ours{fds[0]}, peer{fds[1]};
  const int small = 4096;
  setsockopt(ours.socketFileDescriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string body(2'000'000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 131 % 251);
  const std::string head = body.substr(7, 30000);  // longer than one part
  std::thread writer([&] {
    ours.writeVectored(head, std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
    ours.writeText(body, true);
  });
  const std::string expected = head + body + body;
  std::string got;
  char buffer[8192];
  for (ssize_t n;
       got.size() < expected.size() && (n = recv(fds[1], buffer, sizeof buffer, 0)) > 0;) {
    got.append(buffer, static_cast<std::size_t>(n));
    pthread_kill(writer.native_handle(), SIGUSR1);
  }
  writer.join();
  EXPECT_TRUE(got == expected);

  EXPECT_FALSE(ours.peerHasClosed());
  ours.writeText("x");
  shutdown(fds[0], SHUT_WR);
  pollfd end{fds[1], POLLRDHUP, 0};
  ASSERT_EQ(poll(&end, 1, 10000), 1);
  EXPECT_FALSE(peer.peerHasClosed());  // a byte waits before the end
  EXPECT_EQ(peer.readByte(), 'x');
  EXPECT_TRUE(peer.peerHasClosed());
}

}  // namespace
}  // namespace velmora::http
