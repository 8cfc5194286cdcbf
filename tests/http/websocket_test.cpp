#include "http/websocket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "http/server_io.h"
#include "tests/support/test_client.h"

namespace {

using namespace velmora::http;
using velmora::testing::TestClient;

constexpr uint8_t kFin = 0x80;
constexpr uint8_t kContinue = 0x0, kText = 0x1, kBinary = 0x2, kClose = 0x8, kPing = 0x9,
                  kPong = 0xA;

// One frame as a client sends it (masked unless told otherwise) or, unmasked, as the server
// writes it. `lengthBytes` forces the 2- or 8-byte length form.
std::string frame(uint8_t first, std::string_view payload, bool masked = true,
                  int lengthBytes = 0) {
  const std::size_t size = payload.size();
  if (lengthBytes == 0) lengthBytes = size < 126 ? 0 : size <= 0xFFFF ? 2 : 8;
  const char maskBit = masked ? char(0x80) : char(0);
  std::string out(1, char(first));
  if (lengthBytes == 0) out += char(maskBit | char(size));
  if (lengthBytes == 2) out += {char(maskBit | 126), char(size >> 8), char(size)};
  if (lengthBytes == 8) {
    out += char(maskBit | 127);
    for (int i = 0; i < 8; ++i) out += char(uint64_t{size} >> (56 - 8 * i));
  }
  if (!masked) return out + std::string(payload);
  const char key[4] = {0x37, char(0xFA), 0x21, 0x3D};
  out.append(key, 4);
  for (std::size_t i = 0; i < size; ++i) out += char(payload[i] ^ key[i % 4]);
  return out;
}

std::string serverFrame(uint8_t first, std::string_view payload) {
  return frame(first, payload, false);
}

const std::string kClientClose = frame(kFin | kClose, "");
// The run's close frame, then the one the session writes when it is released.
const std::string kTwoCloses = serverFrame(kFin | kClose, "") + serverFrame(kFin | kClose, "");

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = char(i * 31 + 7);
  return bytes;
}

// What the server's callbacks saw, in order: "connected", "text:...", "binary:<size>",
// "pong:...", "disconnected".
class Events {
 public:
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }
  // The events once the session has ended (or what there is after ten seconds).
  std::vector<std::string> afterDisconnect() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10),
                      [this] { return !events_.empty() && events_.back() == "disconnected"; });
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;  // guarded by mutex_
};

struct EchoOptions {
  bool textCallback = true;
  WebSocketLimits limits;
};

// Echoes text as text and binary as binary, recording every callback.
HttpHandler echoHandler(const std::shared_ptr<Events>& events, EchoOptions options = {}) {
  std::function<void(const WebSocketSessionPtr&, const std::string&)> text;
  if (options.textCallback) {
    text = [events](const WebSocketSessionPtr& session, const std::string& message) {
      events->add("text:" + message);
      session->writeText(message);
    };
  }
  return websocketHandler(
      text,
      [events](const WebSocketSessionPtr& session, const std::vector<uint8_t>& bytes) {
        events->add("binary:" + std::to_string(bytes.size()));
        session->writeBinary(bytes);
      },
      [events](const WebSocketSessionPtr&, const std::vector<uint8_t>& payload) {
        events->add("pong:" + std::string(payload.begin(), payload.end()));
      },
      [events](const WebSocketSessionPtr&) { events->add("connected"); },
      [events](const WebSocketSessionPtr&) { events->add("disconnected"); }, options.limits);
}

// Answers every request with one handler.
class OneHandlerServer : public HttpServerIO {
 public:
  explicit OneHandlerServer(HttpHandler handler) : handler_(std::move(handler)) {}
  std::pair<RouteParams, HttpHandler> dispatch(const HttpRequestPtr&) override {
    return {{}, handler_};
  }

 private:
  HttpHandler handler_;
};

std::shared_ptr<OneHandlerServer> startServer(HttpHandler handler) {
  auto server = std::make_shared<OneHandlerServer>(std::move(handler));
  server->listenAddressIPv4 = "127.0.0.1";
  server->start(0, true);
  return server;
}

const std::string kHandshake =
    "GET /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// A raw client past the opening handshake.
class RawWebSocket {
 public:
  explicit RawWebSocket(int port) : client_(port) {
    client_.send(kHandshake);
    // Byte by byte, so that no frame byte is taken with the header block.
    std::string head;
    char byte;
    while (!head.ends_with("\r\n\r\n") && ::recv(client_.descriptor(), &byte, 1, 0) == 1) {
      head += byte;
    }
    handshake_ = head;
  }
  const std::string& handshake() const { return handshake_; }
  void send(const std::string& bytes) { client_.send(bytes); }
  std::string readUntilClose() { return client_.readUntilClose(); }
  void close() { client_.close(); }

 private:
  TestClient client_;
  std::string handshake_;
};

TEST(WebSocketAcceptKey, MatchesTheExampleOfRfc6455) {
  EXPECT_EQ(websocketAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketHandshake, ChecksUpgradeConnectionAndKey) {
  struct Row {
    const char* name;
    std::string headers;
    std::string statusLine;
    std::string body;
  };
  const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  const std::vector<Row> rows = {
      {"no upgrade", "Connection: Upgrade\r\n" + key, "HTTP/1.1 400 Bad Request",
       "Invalid value of 'Upgrade' header: unknown"},
      {"other upgrade", "Upgrade: h2c\r\nConnection: Upgrade\r\n" + key, "HTTP/1.1 400 Bad Request",
       "Invalid value of 'Upgrade' header: h2c"},
      {"keep-alive only", "Upgrade: websocket\r\nConnection: keep-alive\r\n" + key,
       "HTTP/1.1 400 Bad Request", "Invalid value of 'Connection' header: keep-alive"},
      {"no key", "Upgrade: websocket\r\nConnection: Upgrade\r\n", "HTTP/1.1 400 Bad Request",
       "Invalid value of 'Sec-Websocket-Key' header: unknown"},
      {"token lists in any case", "Upgrade: WebSocket\r\nConnection: keep-alive, UPGRADE\r\n" + key,
       "HTTP/1.1 101 Switching Protocols", ""},
  };
  auto events = std::make_shared<Events>();
  auto server = startServer(echoHandler(events));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TestClient client(server->port());
    client.send("GET /echo HTTP/1.1\r\nHost: x\r\n" + row.headers + "\r\n");
    const auto response = velmora::testing::parseResponse(client.readResponse());
    EXPECT_EQ(response.statusLine, row.statusLine);
    EXPECT_EQ(response.body, row.body);
    if (row.body.empty()) {
      EXPECT_EQ(response.header("Sec-WebSocket-Accept"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
      EXPECT_EQ(response.header("Upgrade"), "WebSocket");
      EXPECT_EQ(response.header("Connection"), "Upgrade");
      client.send(kClientClose);
      EXPECT_EQ(client.readUntilClose(), kTwoCloses);
    }
  }
  server->stop();
}

TEST(WebSocketSession, HandlesRawFramesOverARealSocket) {
  struct Row {
    const char* name;
    std::string sent;      // client bytes after the handshake, exactly what the server will read
    std::string received;  // every server byte after the 101 response, up to the end
    std::vector<std::string> events;  // between "connected" and "disconnected"
    std::string printed;
    EchoOptions options = {};
  };
  auto hugeLength = [](uint64_t length) {
    std::string header = {char(kFin | kBinary), char(0x80 | 127)};
    for (int i = 0; i < 8; ++i) header += char(length >> (56 - 8 * i));
    return header;
  };
  const std::string ping125 = pattern(125);
  const std::string big = pattern(70000);
  const WebSocketLimits smallLimit{1000};
  const std::vector<Row> rows = {
      {"masked text",
       frame(kFin | kText, "Hello") + kClientClose,
       serverFrame(kFin | kText, "Hello") + kTwoCloses,
       {"text:Hello"},
       ""},
      {"unmasked text",
       frame(kFin | kText, "Hello", false),
       kTwoCloses,
       {},
       "Unmasked frame: unMaskedFrame(\"A client must mask all frames that it sends to the "
       "server.\")\n"},
      {"reserved bit",
       frame(kFin | 0x40 | kText, "Hello"),
       kTwoCloses,
       {},
       "Protocol error: protocolError(\"Reserved frame bit has not been negociated.\")\n"},
      {"unknown opcode",
       frame(kFin | 0x3, "x"),
       kTwoCloses,
       {},
       "Unknown Op Code: unknownOpCode(\"3\")\n"},
      {"fragmented ping",
       frame(kPing, "p"),
       kTwoCloses,
       {},
       "Protocol error: protocolError(\"Control frames must not be fragmented.\")\n"},
      {"ping of 125 bytes",
       frame(kFin | kPing, ping125) + kClientClose,
       serverFrame(kFin | kPong, ping125) + kTwoCloses,
       {},
       ""},
      {"ping of 126 bytes",
       frame(kFin | kPing, pattern(126)),
       kTwoCloses,
       {},
       "Protocol error: protocolError(\"Payload gretter than 125 octets.\")\n"},
      {"pong", frame(kFin | kPong, "pp") + kClientClose, kTwoCloses, {"pong:pp"}, ""},
      {"close with a status code", frame(kFin | kClose, "\x03\xE8"), kTwoCloses, {}, ""},
      {"stray continuation", frame(kFin | kContinue, "x"), kTwoCloses, {}, ""},
      {"zero byte in text is kept",
       frame(kFin | kText, std::string("ab\0cd", 5)) + kClientClose,
       serverFrame(kFin | kText, std::string("ab\0cd", 5)) + kTwoCloses,
       {std::string("text:ab\0cd", 10)},
       ""},
      {"invalid UTF-8",
       frame(kFin | kText, "\xC3\x28"),
       kTwoCloses,
       {},
       "Invalid UTF8 character: invalidUTF8(\"\")\n"},
      {"three fragments with a ping between",
       frame(kText, "Hel") + frame(kFin | kPing, "p") + frame(kContinue, "lo ") +
           frame(kFin | kContinue, "you") + kClientClose,
       serverFrame(kFin | kPong, "p") + serverFrame(kFin | kText, "Hello you") + kTwoCloses,
       {"text:Hello you"},
       ""},
      {"final text inside a fragmented message",
       frame(kText, "a") + frame(kFin | kText, "b"),
       kTwoCloses,
       {},
       "Protocol error: protocolError(\"Continuing fragmented frame cannot have an operation "
       "code.\")\n"},
      {"non-final binary joins a fragmented text",
       frame(kText, "ab") + frame(kBinary, "cd") + frame(kFin | kContinue, "ef") + kClientClose,
       serverFrame(kFin | kBinary, "abcdef") + kTwoCloses,
       {"binary:6"},
       ""},
      {"16-bit length form",
       frame(kFin | kBinary, pattern(300)) + kClientClose,
       serverFrame(kFin | kBinary, pattern(300)) + kTwoCloses,
       {"binary:300"},
       ""},
      {"64-bit length form",
       frame(kFin | kBinary, big) + kClientClose,
       serverFrame(kFin | kBinary, big) + kTwoCloses,
       {"binary:70000"},
       ""},
      {"non-minimal length form",
       frame(kFin | kText, "Hi", true, 8) + kClientClose,
       serverFrame(kFin | kText, "Hi") + kTwoCloses,
       {"text:Hi"},
       ""},
      // Only the header: a server that tried to read the payload would wait for it.
      {"length with its top bit set",
       hugeLength(uint64_t{1} << 63),
       kTwoCloses,
       {},
       "Protocol error: protocolError(\"Payload length has its most significant bit set.\")\n"},
      {"frame over the default limit",
       hugeLength(uint64_t{1} << 40),
       kTwoCloses,
       {},
       "Protocol error: protocolError(\"Message larger than 16777216 octets.\")\n"},
      {"frame at a set limit",
       frame(kFin | kBinary, pattern(1000)) + kClientClose,
       serverFrame(kFin | kBinary, pattern(1000)) + kTwoCloses,
       {"binary:1000"},
       "",
       {true, smallLimit}},
      {"frame over a set limit",
       frame(kFin | kBinary, pattern(1001)).substr(0, 4),
       kTwoCloses,
       {},
       "Protocol error: protocolError(\"Message larger than 1000 octets.\")\n",
       {true, smallLimit}},
      {"fragments over a set limit",
       frame(kBinary, pattern(600)) + frame(kFin | kContinue, pattern(401)).substr(0, 4),
       kTwoCloses,
       {},
       "Protocol error: protocolError(\"Message larger than 1000 octets.\")\n",
       {true, smallLimit}},
      {"ping beside a fragmented message at the limit",
       frame(kBinary, pattern(1000)) + frame(kFin | kPing, "p") + frame(kFin | kContinue, "") +
           kClientClose,
       serverFrame(kFin | kPong, "p") + serverFrame(kFin | kBinary, pattern(1000)) + kTwoCloses,
       {"binary:1000"},
       "",
       {true, smallLimit}},
      {"text ignored without a text callback",
       frame(kFin | kText, "Hello") + frame(kFin | kPing, "p") + kClientClose,
       serverFrame(kFin | kPong, "p") + kTwoCloses,
       {},
       "",
       {false, {}}},
      {"split text without a text callback ends as a stray continuation",
       frame(kText, "a") + frame(kFin | kContinue, "b"),
       kTwoCloses,
       {},
       "",
       {false, {}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto events = std::make_shared<Events>();
    auto server = startServer(echoHandler(events, row.options));
    ::testing::internal::CaptureStdout();
    RawWebSocket socket(server->port());
    ASSERT_TRUE(socket.handshake().starts_with("HTTP/1.1 101 Switching Protocols\r\n"));
    socket.send(row.sent);
    EXPECT_EQ(socket.readUntilClose(), row.received);
    std::vector<std::string> expectedEvents = {"connected"};
    expectedEvents.insert(expectedEvents.end(), row.events.begin(), row.events.end());
    expectedEvents.push_back("disconnected");
    EXPECT_EQ(events->afterDisconnect(), expectedEvents);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), row.printed);
    server->stop();
  }
}

TEST(WebSocketSession, WriteFrameUsesTheShortestLengthForm) {
  struct Row {
    std::size_t size;
    std::string header;  // first byte and length bytes
  };
  const std::vector<Row> rows = {
      {125, "\x82\x7D"},
      {126, std::string("\x82\x7E\x00\x7E", 4)},
      {65535, "\x82\x7E\xFF\xFF"},
      {65536, std::string("\x82\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
  };
  auto [ours, theirs] = velmora::testing::makeSocketPair();
  auto session = std::make_shared<WebSocketSession>(std::make_shared<Socket>(ours));
  Socket peer(theirs);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    const std::string payload = pattern(row.size);
    std::thread writer([&] {
      session->writeBinary(std::span(reinterpret_cast<const uint8_t*>(payload.data()), row.size));
    });
    const std::vector<uint8_t> header = peer.readBytes(row.header.size());
    const std::vector<uint8_t> body = peer.readBytes(row.size);
    writer.join();
    EXPECT_EQ(std::string(header.begin(), header.end()), row.header);
    EXPECT_EQ(std::string(body.begin(), body.end()), payload);
  }
  session.reset();  // its close frame goes to a peer that is still there
  const std::vector<uint8_t> close = peer.readBytes(2);
  EXPECT_EQ(std::string(close.begin(), close.end()), serverFrame(kFin | kClose, ""));
}

TEST(WebSocketSession, PeerThatVanishesEndsTheSessionWithAnUnknownError) {
  auto events = std::make_shared<Events>();
  auto server = startServer(echoHandler(events));
  ::testing::internal::CaptureStdout();
  {
    RawWebSocket socket(server->port());
    socket.send(frame(kFin | kText, "x").substr(0, 3));  // cut inside the masking key
  }
  EXPECT_EQ(events->afterDisconnect(), (std::vector<std::string>{"connected", "disconnected"}));
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(printed.starts_with("Unkown error recvFailed(\"")) << printed;
  server->stop();
}

TEST(WebSocketSession, KeptSessionNeverWritesAfterTheConnectionClosed) {
  auto events = std::make_shared<Events>();
  std::mutex mutex;
  WebSocketSessionPtr kept;  // guarded by mutex
  auto server = startServer(websocketHandler(
      {}, {}, {},
      [&](const WebSocketSessionPtr& session) {
        std::lock_guard lock(mutex);
        kept = session;
      },
      [events](const WebSocketSessionPtr&) { events->add("disconnected"); }));
  ::testing::internal::CaptureStdout();
  RawWebSocket socket(server->port());
  socket.send(kClientClose);
  // Only the run's close frame: the session outlives the connection, which the server closes.
  EXPECT_EQ(socket.readUntilClose(), serverFrame(kFin | kClose, ""));
  EXPECT_EQ(events->afterDisconnect(), std::vector<std::string>{"disconnected"});
  WebSocketSessionPtr session;
  {
    std::lock_guard lock(mutex);
    session = std::exchange(kept, nullptr);
  }
  ASSERT_TRUE(session);
  // Let the server loop finish closing the connection.
  for (int i = 0; i < 1000 && !session->socket()->isShutdown(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(session->socket()->isShutdown());
  session->writeText("late");  // reported, not written to a descriptor that is no longer ours
  session.reset();             // and the release writes nothing
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "writeFailed(\"Bad file descriptor\")\n");
  server->stop();
}

// Runs a command, returning its standard output and exit status.
std::pair<std::string, int> run(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {"popen failed", -1};
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  const int status = ::pclose(pipe);
  return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(WebSocketSession, EchoesARealClient) {
  const std::filesystem::path client = VELMORA_WEBSOCKET_CLIENT_DIR;
  if (!std::filesystem::exists(client / "node_modules" / "ws" / "package.json")) {
    const auto [output, status] =
        run("cd '" + client.string() + "' && npm ci --no-audit --no-fund 2>&1");
    ASSERT_EQ(status, 0) << output;
  }
  auto events = std::make_shared<Events>();
  auto server = startServer(echoHandler(events));
  ::testing::internal::CaptureStdout();
  const auto [output, status] = run("node '" + (client / "echo_client.js").string() + "' " +
                                    std::to_string(server->port()) + " 2>&1");
  const std::vector<std::string> seen = events->afterDisconnect();
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output,
            "text ok 13\nbinary ok 6\nlarge ok 70000\nfragmented ok 12\nping ok\npong ok 10\n"
            "closed 1005\n");
  EXPECT_EQ(seen, (std::vector<std::string>{"connected", "text:héllo wörld", "binary:6",
                                            "binary:70000", "text:frag-ment-ed", "pong:unsolicited",
                                            "text:after-pong", "disconnected"}));
  EXPECT_EQ(printed, "");
  server->stop();
}

}  // namespace
