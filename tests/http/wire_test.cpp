#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <csignal>
#include <map>
#include <thread>

#include "http/parser.h"

namespace velmora::http {
namespace {

struct Pair {  // a connected pair: the socket under test and its peer
  int fds[2] = {-1, -1};
  const bool made = socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0;
  Socket ours{fds[0]};
  Socket peer{fds[1]};
};

// The requests read from `wire`, sent in pieces of `step` bytes (0: whole), until the end of the
// stream or an error, then the error: "GET /a [host:x] {body} | POST /b | tooManyHeaders".
std::string parseAll(const std::string& wire, const HttpLimits& limits, std::size_t step) {
  Pair pair;
  const std::size_t piece = step > 0 ? step : wire.size();
  std::thread sender([&] {
    for (std::size_t at = 0; at < wire.size(); at += piece) {
      pair.peer.writeText(std::string_view(wire).substr(at, piece));
      if (step > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    shutdown(pair.fds[1], SHUT_WR);
  });
  std::string out;
  auto add = [&out](const std::string& text) { out += (out.empty() ? "" : " | ") + text; };
  try {
    for (;;) {
      const HttpRequestPtr request = HttpParser().readRequest(pair.ours, limits);
      std::string text = request->method + " " + request->path;
      for (const auto& [name, value] : request->queryParams) text += " ?" + name + "=" + value;
      for (const auto& [name, value] : std::map(request->headers.begin(), request->headers.end())) {
        text += " [" + name + ":" + value + "]";
      }
      if (!request->body.empty())
        text += " {" + std::string(request->body.begin(), request->body.end()) + "}";
      add(text);
    }
  } catch (const HttpParserError& error) {
    add(error.what());
  } catch (const SocketError&) {  // the end of the stream
  }
  sender.join();
  return out;
}

TEST(HttpParserTest, ReadsRequestsAndRefusesThemAtTheExactLimits) {
  const HttpLimits small{.maxLineBytes = 28, .maxHeaderLines = 3, .maxBodyBytes = 5};
  const std::string get = "GET / HTTP/1.1\r\n";
  const std::string post = "POST / HTTP/1.1\r\nContent-Length: ";
  const std::string pipelined = post + "5\r\n\r\nhelloGET /next HTTP/1.1\r\n\r\n";
  const std::string read = "POST / [content-length:5] {hello} | GET /next";
  const std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string v(20000, 'v'), x(40000, 'x');  // longer than the read buffer
  struct Row {
    const char* name;
    std::string wire;
    std::string expected;
    bool small = false;
    std::size_t step = 0;
  };
  const Row rows[] = {
      {"bare line feeds", "GET / HTTP/1.1\n\n", "GET /"},
      {"query in order", "GET /p?a=1&b&&c=x=y&a=2 HTTP/1.1\r\n\r\n", "GET /p ?a=1 ?b= ?c=x=y ?a=2"},
      {"absolute form", "GET http://h:80/x%20?y=1 HTTP/1.1\r\n\r\n", "GET /x%20 ?y=1"},
      {"names lower-cased, values trimmed, last wins, no name skipped",
       get + "X-A:  one \r\nx-a: two\r\nno colon\r\n: v\r\n\r\n", "GET / [x-a:two]"},
      {"Latin-1 as UTF-8, controls dropped, no-break spaces trimmed",
       get + "Name: caf\xE9\x01\r\nNbsp: \xA0v\xA0\r\n\r\n", "GET / [name:caf\xC3\xA9] [nbsp:v]"},
      {"body, then a pipelined request", pipelined, read},
      {"one byte at a time", pipelined, read, false, 1},
      {"beyond the read buffer, in pieces",
       post + "40000\r\nk: " + v + "\r\n\r\n" + x + get + "\r\n",
       "POST / [content-length:40000] [k:" + v + "] {" + x + "} | GET /", false, 7001},
      {"garbage length reads no body", post + "3x\r\n\r\n" + get + "\r\n",
       "POST / [content-length:3x] | GET /"},
      {"negative length", post + "-1\r\n\r\n", "negativeContentLength"},
      {"huge length, nothing allocated", post + "9223372036854775807\r\n\r\n",
       "contentTooLarge(9223372036854775807)"},
      {"body cut short", post + "9\r\n\r\nabc", ""},
      {"two words", "GET /\r\n\r\n", "invalidStatusLine(\"GET /\")"},
      {"maxHeaderLines lines", get + "a: 1\r\nb: 2\r\nc: 3\r\n\r\n", "GET / [a:1] [b:2] [c:3]",
       true},
      {"one line more", get + "a: 1\r\nb: 2\r\nc: 3\r\nd: 4\r\n\r\n", "tooManyHeaders", true},
      {"body of maxBodyBytes", post + "5\r\n\r\n12345", "POST / [content-length:5] {12345}", true},
      {"one byte more", post + "6\r\n\r\n123456", "contentTooLarge(6)", true},
      // A line's bytes count its carriage return, not its line feed.
      {"line of maxLineBytes", "GET /aaaaaaaaaaaaa HTTP/1.1\r\n\r\n", "GET /aaaaaaaaaaaaa", true},
      {"one byte more", "GET /aaaaaaaaaaaaaa HTTP/1.1\r\n\r\n", "lineTooLong", true},
      {"line of maxLineBytes in pieces", get + "k: 123456789012345678901234\r\n\r\n",
       "GET / [k:123456789012345678901234]", true, 1},
      {"one byte more in pieces", get + "k: 1234567890123456789012345\r\n\r\n", "lineTooLong", true, 1},
      {"chunked, extension and trailer, then a pipelined request",
       chunked + "5;x=y\r\nhello\r\nA \r\n0123456789\r\n0\r\nT: v\r\n\r\n" + get + "\r\n",
       "POST / [transfer-encoding:chunked] {hello0123456789} | GET /", false, 1},
      {"chunked to maxBodyBytes", chunked + "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
       "POST / [transfer-encoding:chunked] {abcde}", true},
      {"one chunked byte more", chunked + "3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n",
       "contentTooLarge(6)", true},
      {"chunk size past 64 bits", chunked + "fffffffffffffffffff\r\n", "contentTooLarge(268435455)"},
      {"chunk longer than its size", chunked + "2\r\nabc\r\n0\r\n\r\n", "malformedChunk"},
      {"chunk size not hex", chunked + "0x2\r\nab\r\n0\r\n\r\n", "malformedChunk"},
      {"length beside chunked", post + "5\r\nTransfer-Encoding: chunked\r\n\r\n", "ambiguousLength"},
      {"lengths that differ", post + "5\r\ncontent-length: 6\r\n\r\nhello!", "ambiguousLength"},
      {"a length repeated is one", post + "5, 5\r\n\r\nhello",
       "POST / [content-length:5, 5] {hello}"},
      {"a coding before chunked, on another line",
       get + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "unsupportedTransferCoding(\"gzip, chunked\")"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string got = parseAll(row.wire, row.small ? small : HttpLimits{}, row.step);
    EXPECT_TRUE(got == row.expected) << got.substr(0, 300);
  }
}

// Signals interrupt the blocked writer: the kernel takes each write in parts that end anywhere.
TEST(SocketTest, LargeWritesTakenInPartsArriveWholeAndTheEndIsSeen) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGUSR1, &action, nullptr);  // no SA_RESTART: a send returns what it sent so far
  Pair pair;
  const int small = 4096;
  setsockopt(pair.ours.socketFileDescriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string body(2'000'000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 131 % 251);
  const std::string head = body.substr(7, 30000);  // longer than one part
  auto bytes = [](const std::string& s) {
    return std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  std::thread writer([&] {
    pair.ours.writeVectored(head, bytes(body));
    pair.ours.writeText(body, true);
  });
  const std::string expected = head + body + body;
  std::string got;
  char buffer[8192];
  for (ssize_t n;
       got.size() < expected.size() && (n = recv(pair.fds[1], buffer, sizeof buffer, 0)) > 0;) {
    got.append(buffer, static_cast<std::size_t>(n));
    pthread_kill(writer.native_handle(), SIGUSR1);
  }
  writer.join();
  EXPECT_TRUE(got == expected);

  EXPECT_FALSE(pair.ours.peerHasClosed());
  pair.ours.writeText("x");
  shutdown(pair.fds[0], SHUT_WR);
  pollfd end{pair.fds[1], POLLRDHUP, 0};
  ASSERT_EQ(poll(&end, 1, 10000), 1);
  EXPECT_FALSE(pair.peer.peerHasClosed());  // a byte waits before the end
  EXPECT_EQ(pair.peer.readByte(), 'x');
  EXPECT_TRUE(pair.peer.peerHasClosed());
}

}  // namespace
}  // namespace velmora::http
