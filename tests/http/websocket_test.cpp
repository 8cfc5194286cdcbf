#include "http/websocket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <thread>

#include "tests/http/http_test.h"

namespace velmora::http {
namespace {

const std::string kUpgrade =
    "GET /ws HTTP/1.1\r\nUpgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";

// A client frame; `first` holds the opcode and any reserved bits, `fin` adds the final bit.
std::string frame(int first, const std::string& payload, bool fin = true, bool masked = true) {
  const auto size = static_cast<int>(payload.size());
  std::string out{static_cast<char>((fin ? 0x80 : 0) | first),
                  static_cast<char>((masked ? 0x80 : 0) | std::min(size, 126))};
  if (size >= 126) out += {static_cast<char>(size >> 8), static_cast<char>(size & 0xFF)};
  const std::string key = masked ? "k3y!" : "";
  out += key;
  for (int i = 0; i < size; ++i) out += masked ? payload[i] ^ key[i % 4] : payload[i];
  return out;
}

// The server's frames as "opcode:payload" ('~': not final) up to the end or a bad byte.
std::vector<std::string> serverFrames(const std::string& wire) {
  std::vector<std::string> frames;
  for (std::size_t at = 0; at + 2 <= wire.size();) {
    const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(wire[at + i]); };
    uint64_t length = byte(1) & 0x7F;
    const std::size_t head = length < 126 ? 2 : length == 126 ? 4 : 10;
    if (at + head > wire.size() || (byte(0) & 0x70) != 0 || (byte(1) & 0x80) != 0) break;
    for (std::size_t i = 2; i < head; ++i) length = (i > 2 ? length << 8 : 0) | byte(i);
    if (length > wire.size() - at - head) break;
    frames.push_back(std::to_string(byte(0) & 0x0F) + (byte(0) & 0x80 ? ":" : "~") +
                     wire.substr(at + head, length));
    at += head + length;
  }
  return frames;
}

TEST(WebSocketTest, HandshakeThenFramesUntilTheCloseOrAViolation) {
  // Echoes text and binary messages, reports pongs as text.
  auto server = startLocalServer();
  using Bytes = std::vector<uint8_t>;
  std::atomic<int> ended = 0;  // sessions whose disconnected callback ran
  server->GET["/ws"] = websocketHandler(
      [](const WebSocketSessionPtr& session, const std::string& text) { session->writeText(text); },
      [](const WebSocketSessionPtr& session, const Bytes& bytes) { session->writeBinary(bytes); },
      [](const WebSocketSessionPtr& session, const Bytes& bytes) {
        session->writeText("pong " + std::string(bytes.begin(), bytes.end()));
      },
      [](const WebSocketSessionPtr& session) { session->writeText("open"); },
      [&ended](const WebSocketSessionPtr&) { ++ended; }, WebSocketLimits{.maxMessageBytes = 300});

  const std::pair<std::string, std::string> wrongHandshakes[] = {
      {"Upgrade: h2c\r\nConnection: Upgrade\r\nSec-WebSocket-Key: k\r\n", "'Upgrade' header: h2c"},
      {"Upgrade: websocket\r\nConnection: close\r\nSec-WebSocket-Key: k\r\n",
       "'Connection' header: close"},
      {"Upgrade: websocket\r\nConnection: Upgrade\r\n", "'Sec-Websocket-Key' header: unknown"},
  };
  for (const auto& [headers, reason] : wrongHandshakes) {
    const std::string response =
        exchange(server->port(), "GET /ws HTTP/1.1\r\n" + headers + "\r\n");
    EXPECT_EQ(response.substr(0, 13) + testing::bodyOf(response),
              "HTTP/1.1 400 Invalid value of " + reason);
  }

  const std::string close = frame(8, "");
  const std::string a200(200, 'a'), b300(300, 'b');
  const std::string hugeLength("\x82\xFF\x80\0\0\0\0\0\0\0k3y!", 14);
  const std::string binary = std::string("\0\x01\xFF", 3) + a200;  // with a 16-bit length
  const std::tuple<const char*, std::string, std::vector<std::string>> rows[] = {
      {"text", frame(1, "hello") + close, {"1:hello", "8:"}},
      {"binary", frame(2, binary) + close, {"2:" + binary, "8:"}},
      {"fragments reassembled, ping answered between them",
       frame(1, "hel", false) + frame(9, "p") + frame(0, "lo") + close,
       {"10:p", "1:hello", "8:"}},
      {"pong reaches its callback", frame(10, "x") + close, {"1:pong x", "8:"}},
      {"message of maxMessageBytes", frame(2, b300) + close, {"2:" + b300, "8:"}},
      {"one byte more, refused from its header", frame(2, b300 + "b").substr(0, 8), {"8:"}},
      {"fragments together over the limit", frame(1, a200, false) + frame(0, a200), {"8:"}},
      {"unmasked frame", frame(1, "hi", true, false), {"8:"}},
      {"fragmented control frame", frame(9, "p", false), {"8:"}},
      {"invalid UTF-8 text", frame(1, "\xC3\x28"), {"8:"}},
      {"reserved bit", frame(0x41, "hi"), {"8:"}},
      {"new message while fragments wait", frame(1, "a", false) + frame(1, "b"), {"8:"}},
      {"continuation of nothing", frame(0, "x"), {"8:"}},
      {"unknown opcode", frame(3, "x"), {"8:"}},
      {"ping over 125 bytes", frame(9, std::string(126, 'p')), {"8:"}},
      {"64-bit length with its top bit set", hugeLength, {"8:"}},
  };
  int sessions = 0;
  for (const auto& [name, frames, expected] : rows) {
    SCOPED_TRACE(name);
    testing::TestClient client(server->port(), std::chrono::seconds(5));
    client.send(kUpgrade);
    ASSERT_EQ(client.readResponse(),
              "HTTP/1.1 101 Switching Protocols\r\n" + kServer +
                  "Upgrade: WebSocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    client.send(frames);
    std::vector<std::string> all = {"1:open"};
    all.insert(all.end(), expected.begin(), expected.end());
    EXPECT_EQ(serverFrames(client.readUntilClose()), all);
    EXPECT_TRUE(client.closedWithoutData());
    EXPECT_EQ(ended, ++sessions);  // before the connection closed
  }
}

TEST(WebSocketTest, ConcurrentWritersNeverInterleaveFrames) {
  const auto listening = Socket::listeningSocket(0, true, 1, "127.0.0.1");
  testing::TestClient client(listening->port());
  auto session = std::make_shared<WebSocketSession>(listening->acceptClient());
  const int small = 4096;  // writers wait for room inside their frames, where others could cut in
  setsockopt(session->socket()->socketFileDescriptor(), SOL_SOCKET, SO_SNDBUF, &small,
             sizeof small);
  std::string wire;
  std::thread reader([&] { wire = client.readUntilClose(); });
  constexpr int kFrames = 300;
  auto sizeOf = [](int i) -> std::size_t { return i % 10 == 0 ? 70000 : i % 3 == 0 ? 200 : 5; };
  auto write = [sizeOf](const WebSocketSessionPtr& writer, char letter) {
    for (int i = 0; i < kFrames; ++i) writer->writeText(std::string(sizeOf(i), letter));
  };
  // Each thread holds a copy of the session until it ends.
  std::thread a(write, session, 'a'), b(write, session, 'b');
  a.join();
  b.join();
  session.reset();  // its last close frame, then the close
  reader.join();

  const std::vector<std::string> frames = serverFrames(wire);
  ASSERT_EQ(frames.size(), 2 * kFrames + 1u);
  std::map<char, int> next;  // each writer's frames arrive whole and in its order
  for (std::size_t n = 0; n + 1 < frames.size(); ++n) {
    const char letter = frames[n][2];
    ASSERT_TRUE(frames[n] == "1:" + std::string(sizeOf(next[letter]++), letter)) << "frame " << n;
  }
  EXPECT_EQ(frames.back(), "8:");
}

// The connection's thread closes the socket while other threads still write to the session:
// each write goes out or fails, and none lands on the descriptor number given out next.
TEST(WebSocketTest, WritesRacingTheCloseNeverReachTheNextConnection) {
  const auto listening = Socket::listeningSocket(0, true, 8, "127.0.0.1");
  for (int round = 0; round < 20; ++round) {
    auto client = std::make_unique<testing::TestClient>(listening->port());
    auto session = std::make_shared<WebSocketSession>(listening->acceptClient());
    std::vector<std::jthread> writers;
    for (int i = 0; i < 3; ++i) {
      writers.emplace_back([session] {
        for (int n = 0; n < 50; ++n) session->writeText("x");
      });
    }
    client.reset();  // the peer leaves
    session->socket()->close();
    testing::TestClient next(listening->port());
    const auto reused = listening->acceptClient();
    writers.clear();
    reused->writeText("end");  // the only bytes of this connection
    reused->close();
    EXPECT_EQ(next.readUntilClose(), "end") << "round " << round;
  }
}

}  // namespace
}  // namespace velmora::http
