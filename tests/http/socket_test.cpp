#include "http/socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <thread>

#include "tests/support/test_client.h"

namespace velmora::http {
namespace {

TEST(SocketTest, ReadLineDropsControlBytesAndReadsLatin1) {
  auto [reader, writer] = testing::makeSocketPair();
  Socket socket(reader);
  const std::string wire = "GET / HTTP/1.1\r\na\tb\x01" "c\r\n\xE9t\xE9\n" "partial";
  ASSERT_EQ(::write(writer, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
  ::close(writer);
  EXPECT_EQ(socket.readLine(), "GET / HTTP/1.1");
  EXPECT_EQ(socket.readLine(), "abc");
  EXPECT_EQ(socket.readLine(), "\xC3\xA9t\xC3\xA9");
  // The peer closed before the line feed: the partial line is not returned.
  try {
    socket.readLine();
    FAIL() << "a partial line must fail";
  } catch (const SocketError& error) {
    EXPECT_EQ(error.kind(), SocketError::Case::recvFailed);
  }
}

// Plain lines are checked many bytes at a time: a byte to drop or to widen must be found in any
// place of such a run, and the bytes on either side of each bound must be read right.
TEST(SocketTest, ReadLineFindsEveryControlAndLatin1ByteWhereverItSits) {
  struct Row {
    const char* name;
    uint8_t byte;
    std::string reads;
  };
  const Row rows[] = {
      {"NUL is dropped", 0x00, ""},
      {"CR is dropped", 0x0D, ""},
      {"14 is kept", 0x0E, "\x0E"},
      {"DEL is kept", 0x7F, "\x7F"},
      {"128 is widened", 0x80, "\xC2\x80"},
      {"255 is widened", 0xFF, "\xC3\xBF"},
  };
  const std::string around = "abcdefghijklmnopq";  // more than two words
  for (const Row& row : rows) {
    for (std::size_t at = 0; at <= around.size(); ++at) {
      SCOPED_TRACE(std::string(row.name) + " at " + std::to_string(at));
      auto [reader, writer] = testing::makeSocketPair();
      Socket socket(reader);
      std::string wire = around;
      wire.insert(wire.begin() + static_cast<std::ptrdiff_t>(at), static_cast<char>(row.byte));
      wire += "\r\n";
      ASSERT_EQ(::write(writer, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
      std::string expected = around;
      expected.insert(at, row.reads);
      EXPECT_EQ(socket.readLine(), expected);
      ::close(writer);
    }
  }
}

TEST(SocketTest, BufferedBytesStayForTheNextReader) {
  auto [reader, writer] = testing::makeSocketPair();
  Socket socket(reader);
  std::string wire = "line one\nline two\n";
  std::string block(2500, 'x');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
  wire += block + "Z";
  ASSERT_EQ(::write(writer, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
  EXPECT_EQ(socket.readLine(), "line one");
  EXPECT_EQ(socket.readLine(), "line two");
  const std::vector<uint8_t> bytes = socket.readBytes(2500);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), block);
  EXPECT_TRUE(socket.readBytes(0).empty());
  EXPECT_EQ(socket.readByte(), 'Z');
  ::close(writer);
  EXPECT_THROW(socket.readByte(), SocketError);
}

TEST(SocketTest, ReadBytesLargerThanTheBufferArrivesWhole) {
  auto [reader, writer] = testing::makeSocketPair();
  Socket socket(reader);
  std::string payload(1 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  std::thread sender([&, fd = writer] {
    // Small pieces, so the reader sees many partial reads.
    for (std::size_t at = 0; at < payload.size(); at += 777) {
      const std::size_t n = std::min<std::size_t>(777, payload.size() - at);
      ASSERT_EQ(::write(fd, payload.data() + at, n), static_cast<ssize_t>(n));
    }
  });
  const std::vector<uint8_t> bytes = socket.readBytes(payload.size());
  sender.join();
  ::close(writer);
  EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == payload);
}

TEST(SocketTest, ReadLineWithLimit) {
  auto [reader, writer] = testing::makeSocketPair();
  Socket socket(reader);
  const std::string wire = "12345\r\n123456\n";
  ASSERT_EQ(::write(writer, wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
  EXPECT_EQ(socket.readLine(6), std::optional<std::string>("12345"));  // CR counts as raw
  EXPECT_EQ(socket.readLine(5), std::nullopt);
  ::close(writer);
}

TEST(SocketTest, ListeningSocketBindsAndRefusesABusyPort) {
  auto first = Socket::listeningSocket(0, true, 16, std::string("127.0.0.1"));
  const uint16_t port = first->port();
  EXPECT_NE(port, 0);
  EXPECT_TRUE(first->isIPv4());
  try {
    Socket::listeningSocket(port, true, 16, std::nullopt);
    FAIL() << "a busy port must fail";
  } catch (const SocketError& error) {
    EXPECT_EQ(error.kind(), SocketError::Case::bindFailed);
    EXPECT_EQ(error.message(), "Address already in use");
    EXPECT_EQ(error.description(), "bindFailed(\"Address already in use\")");
  }
  // An address that does not parse leaves the "any" address in place.
  auto any = Socket::listeningSocket(0, true, 16, std::string("not an address"));
  testing::TestClient client(any->port());
  auto accepted = any->acceptClient();
  EXPECT_EQ(accepted->peerAddress(), "127.0.0.1");

  auto six = Socket::listeningSocket(0, false, 16, std::nullopt);
  EXPECT_FALSE(six->isIPv4());
}

TEST(SocketTest, WriteToAResetPeerFailsWithoutKillingTheProcess) {
  auto listening = Socket::listeningSocket(0, true, 16, std::string("127.0.0.1"));
  auto client = std::make_unique<testing::TestClient>(listening->port());
  auto accepted = listening->acceptClient();
  client->reset();
  const std::string chunk(64 * 1024, 'x');
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) {
    try {
      accepted->writeText(chunk);
    } catch (const SocketError& error) {
      EXPECT_EQ(error.kind(), SocketError::Case::writeFailed);
      failed = true;
    }
  }
  EXPECT_TRUE(failed);
}

TEST(SocketTest, EmptyWritesSendNothingAndFilesGoWhole) {
  auto [a, b] = testing::makeSocketPair();
  Socket socket(a);
  socket.writeText("");
  socket.writeBytes(std::span<const uint8_t>());
  socket.writeData(nullptr, 0);

  char path[] = "/tmp/velmora-socket-test-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string content(200000, 'f');
  ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fd);
  File file = File::openReading(path);
  std::string received;
  std::thread reader([&, fd2 = b] {
    char buffer[65536];
    while (received.size() < content.size()) {
      const ssize_t n = ::read(fd2, buffer, sizeof buffer);
      if (n <= 0) break;
      received.append(buffer, static_cast<std::size_t>(n));
    }
  });
  const Socket::FileTransfer whole = socket.writeFile(file);
  reader.join();
  EXPECT_EQ(received, content);
  EXPECT_EQ(whole.sent, content.size());
  EXPECT_EQ(whole.fileSize, content.size());

  // A limit cuts the file short and says how long it was.
  received.clear();
  const Socket::FileTransfer cut = socket.writeFile(file, 10);
  char head[16];
  EXPECT_EQ(::read(b, head, sizeof head), 10);
  EXPECT_EQ(cut.sent, 10u);
  EXPECT_EQ(cut.fileSize, content.size());
  file.close();
  std::remove(path);
  ::close(b);
}

// A line may reach the reader in any pieces: split inside the CR LF, around a control byte or
// inside a run of Latin-1 bytes, it still reads as the same text.
TEST(SocketTest, ReadLineIsTheSameWhateverPiecesTheBytesArriveIn) {
  struct Row {
    const char* name;
    std::vector<std::string> pieces;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"one piece", {"GET / HTTP/1.1\r\nHost: a\r\n"}, {"GET / HTTP/1.1", "Host: a"}},
      {"split between CR and LF",
       {"GET / HTTP/1.1\r", "\nHost: a\r", "\n"},
       {"GET / HTTP/1.1", "Host: a"}},
      {"split before the CR", {"Host: a", "\r\nX: b", "c\r\n"}, {"Host: a", "X: bc"}},
      {"byte by byte", {"H", "o", "s", "t", ":", "\r", "\n"}, {"Host:"}},
      {"control byte at a piece's end", {"a\t", "b\x01", "c\r\n"}, {"abc"}},
      {"Latin-1 across pieces", {"caf\xE9", "\xE9\r", "\n"}, {"caf\xC3\xA9\xC3\xA9"}},
      {"CR inside a line", {"a\rb\r\n"}, {"ab"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto [reader, writer] = testing::makeSocketPair();
    Socket socket(reader);
    std::thread sender([&row, fd = writer] {
      for (const std::string& piece : row.pieces) {
        ASSERT_EQ(::write(fd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    std::string reused = "left over from an earlier line";
    for (const std::string& expected : row.lines) {
      ASSERT_TRUE(socket.readLine(reused, 1000));
      EXPECT_EQ(reused, expected);
    }
    sender.join();
    ::close(writer);
  }
}

// A header block and its body handed over together arrive whole and in order, also when the
// kernel takes them in several parts (the body is larger than any socket buffer).
TEST(SocketTest, WriteVectoredSendsHeadThenBodyWhole) {
  struct Row {
    const char* name;
    std::size_t headSize;
    std::size_t bodySize;
  };
  const Row rows[] = {
      {"short head and body", 120, 13},
      {"empty body", 120, 0},
      {"empty head", 0, 5000},
      {"body larger than the socket buffers", 300, 3 * 1024 * 1024},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto [a, b] = testing::makeSocketPair();
    Socket socket(a);
    std::string head(row.headSize, 'h');
    std::vector<uint8_t> body(row.bodySize);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 13 + i / 4096);
    std::string received;
    std::thread reader([&received, total = row.headSize + row.bodySize, fd = b] {
      char buffer[4096];  // small reads, so the writer meets a full buffer many times
      while (received.size() < total) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
      }
    });
    socket.writeVectored(head, body);
    reader.join();
    EXPECT_TRUE(received == head + std::string(body.begin(), body.end()));
    ::close(b);
  }
}

// The peer's address comes with accept(): it is known even when the peer has already reset the
// connection, when asking the socket would fail.
TEST(SocketTest, AcceptedSocketKnowsItsPeerWithoutAskingTheSocket) {
  auto listening = Socket::listeningSocket(0, true, 16, std::string("127.0.0.1"));
  testing::TestClient client(listening->port());
  client.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto accepted = listening->acceptClient();
  EXPECT_EQ(accepted->peerAddress(), "127.0.0.1");
}

TEST(SocketTest, CloseIsIdempotentAndShutdownAfterCloseIsHarmless) {
  auto [a, b] = testing::makeSocketPair();
  auto socket = std::make_shared<Socket>(a);
  socket->close();
  socket->close();
  socket->shutdownConnection();
  EXPECT_TRUE(socket->isShutdown());
  ::close(b);

  // Sockets compare by descriptor number (the placeholder's -1 is never closed).
  Socket placeholder(-1), another(-1);
  EXPECT_TRUE(placeholder == another);
  EXPECT_EQ(std::hash<Socket>()(placeholder), std::hash<Socket>()(another));
}

TEST(SocketTest, ShutdownWakesABlockedReader) {
  auto [a, b] = testing::makeSocketPair();
  auto socket = std::make_shared<Socket>(a);
  std::thread reader([socket] { EXPECT_THROW(socket->readLine(), SocketError); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  socket->shutdownConnection();
  reader.join();
  socket->close();
  ::close(b);
}

// A handler that waits long asks whether its client is still there: bytes of a next request
// mean it is, an orderly close, a reset or its own close mean it is not.
TEST(SocketTest, PeerHasClosedTellsAClientThatLeftFromOneThatWaits) {
  struct Row {
    const char* name;
    std::function<void(testing::TestClient&)> client;
    bool gone;
  };
  const std::vector<Row> rows = {
      {"waiting quietly", [](testing::TestClient&) {}, false},
      {"sent its next request", [](testing::TestClient& c) { c.send("GET / HTTP/1.1\r\n\r\n"); }, false},
      {"closed", [](testing::TestClient& c) { c.close(); }, true},
      {"reset", [](testing::TestClient& c) { c.reset(); }, true},
      {"sent a request, then closed",
       [](testing::TestClient& c) {
         c.send("GET / HTTP/1.1\r\n\r\n");
         c.close();
       },
       false},  // the request's bytes come first: only a read finds the end behind them
  };
  auto listening = Socket::listeningSocket(0, true, 16, std::string("127.0.0.1"));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing::TestClient client(listening->port());
    auto accepted = listening->acceptClient();
    row.client(client);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(accepted->peerHasClosed(), row.gone);
    accepted->close();
    EXPECT_TRUE(accepted->peerHasClosed());
  }
}

}  // namespace
}  // namespace velmora::http
