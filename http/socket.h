#pragma once

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/file.h"

namespace velmora::http {

// The failure of one socket call. Every case but convertingPeerNameFailed carries the operating
// system's text for the error number at the moment of failure.
class SocketError : public std::exception {
 public:
  enum class Case {
    socketCreationFailed,
    socketSettingReUseAddrFailed,
    bindFailed,
    listenFailed,
    writeFailed,
    getPeerNameFailed,
    getNameInfoFailed,
    acceptFailed,
    recvFailed,
    getSockNameFailed,
    convertingPeerNameFailed,
  };

  SocketError(Case kind, std::string message, int errorNumber = 0);

  // Builds the error from the calling thread's current errno.
  static SocketError fromErrno(Case kind, std::string_view prefix = {});

  Case kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // The errno behind the failure, 0 where none was involved.
  int errorNumber() const { return errorNumber_; }
  // Names the case and quotes the message: writeFailed("Broken pipe").
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  static const char* caseName(Case kind);

 private:
  Case kind_;
  std::string message_;
  int errorNumber_;
  std::string description_;
};

struct Errno {
  // The operating system's text for the calling thread's current errno.
  static std::string currentMessage();
};

// One TCP socket: blocking reads of a byte, a count or a line, and complete writes.
//
// Reads go through a buffer owned by the socket; every byte that no read operation has returned
// stays in that buffer for the next reader of the same Socket (the next request of a keep-alive
// connection, or a WebSocket session after an upgrade). Reads belong to the one thread that
// serves the connection; writes (kept from interleaving by their caller), close() and
// shutdownConnection() may come from any thread.
class Socket {
 public:
  explicit Socket(int32_t socketFileDescriptor);
  ~Socket();  // closes the descriptor unless close() already did
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  int32_t socketFileDescriptor() const { return socketFileDescriptor_; }
  bool isShutdown() const;

  // Releases the descriptor, exactly once however often and from however many threads it is
  // called. Writes under way on other threads are cut short and fail; close() returns when they
  // have, and later writes fail with writeFailed.
  void close();
  // Ends the connection in both directions without releasing the descriptor, so that a thread
  // blocked in a read or write on it returns with an error. Any thread; a no-op after close().
  void shutdownConnection();

  // The local port and address family, from getsockname(); raise getSockNameFailed, also once
  // the socket is closed.
  uint16_t port() const;
  bool isIPv4() const;

  // Complete writes: each returns when every byte went out, or raises writeFailed. An empty
  // input writes nothing. `more` tells the kernel that more data follows at once (MSG_MORE), so
  // that a header block and its body leave in the same segment.
  void writeText(std::string_view text, bool more = false);
  void writeBytes(std::span<const uint8_t> bytes, bool more = false);
  void writeData(const void* bytes, std::size_t length, bool more = false);
  // `head` and then `body`, handed to the kernel together (one sendmsg while it takes them whole),
  // so a header block and a short body cost one system call and leave in one segment.
  void writeVectored(std::string_view head, std::span<const uint8_t> body);
  // What writeFile sent of a file, and the file's size when it began.
  struct FileTransfer {
    uint64_t sent;  // fewer than asked when the file shrank meanwhile
    uint64_t fileSize;
  };
  // Sends the file's content from offset 0, at most `limit` bytes of it, with sendfile(); raises
  // writeFailed with the "sendfile: " prefix.
  FileTransfer writeFile(const File& file, uint64_t limit = UINT64_MAX);

  // Blocking reads; each raises recvFailed when the peer closed or the read failed (also on a
  // receive timeout, or once the read time limit below has passed).
  uint8_t readByte();
  std::vector<uint8_t> readBytes(std::size_t count);
  // Appends `count` bytes to `bytes`, which grows with what arrives.
  void appendBytes(std::vector<uint8_t>& bytes, std::size_t count);
  // Returns once at least one byte that no read returned yet is in the buffer.
  void waitForBytes();
  // How a line read ended.
  enum class LineRead { line, tooLong, controlByte };
  // The next line without its CR LF (or bare LF), into `line`, whose storage is reused from one
  // line to the next; every byte read as Latin-1 and returned as UTF-8, and `rawBytes` the bytes
  // it took from the wire. tooLong, without reading further, once more than maxBytes arrived
  // without a line feed; controlByte at a control byte other than tab (`line` is then
  // unspecified). Raises recvFailed like the reads above.
  LineRead readLine(std::string& line, std::size_t maxBytes, std::size_t& rawBytes);
  // Ends the sending side and reads and drops what the peer still sends until it closes,
  // `maxBytes` arrived or `allowance` passed: a client still sending then reads the answer
  // written before instead of a reset. The reading thread; the descriptor stays open.
  void lingerBeforeClose(std::chrono::milliseconds allowance, std::size_t maxBytes);
  // Whether the peer has closed its end or reset the connection: an orderly end (FIN) is
  // waiting with no data before it, or the socket reports a hang-up or an error. Never blocks and
  // reads nothing. A peer that only shut down its sending side counts as gone: an HTTP client
  // does that only when it is leaving. Any thread.
  bool peerHasClosed() const;
  // On a listening socket: whether a connection waits to be accepted. Never blocks. Any thread.
  bool hasPendingConnection() const;
  // True when bytes that no read returned yet are waiting in the socket's buffer.
  bool hasBufferedBytes() const { return readBegin_ < readEnd_; }

  // The peer's numeric host text; raises getPeerNameFailed or getNameInfoFailed. The peer of a
  // connected socket never changes, so the answer is kept after the first call (a socket from
  // acceptClient() knows it from the start).
  const std::string& peerAddress();

  // Accepts one connection on this listening socket; raises acceptFailed. The new socket keeps
  // the peer's address that accept() reported, and inherits this socket's options (Linux copies
  // TCP_NODELAY and the timeouts from the listening socket).
  std::shared_ptr<Socket> acceptClient();

  // Limits the time that reads may take from now on, for a peer that sends just enough to beat
  // the receive timeout: reads fail with recvFailed (ETIMEDOUT) once a deadline passes that
  // starts `allowance` from now and moves one second later for every `bytesPerSecond` bytes
  // received (0: never), but never to more than `allowance` after the last bytes received.
  void limitReadTime(std::chrono::milliseconds allowance, uint32_t bytesPerSecond = 0);
  void unlimitReadTime() { readDeadline_.reset(); }

  // Receive and send timeouts (SO_RCVTIMEO, SO_SNDTIMEO); zero means none.
  void setReceiveTimeout(std::chrono::milliseconds timeout);
  void setSendTimeout(std::chrono::milliseconds timeout);
  // Sends small writes at once instead of waiting for the peer's acknowledgement (TCP_NODELAY).
  void setNoDelay();

  // Opens a listening TCP socket with SO_REUSEADDR. A listen address that does not parse leaves
  // the "any" address in place. Raises socketCreationFailed, socketSettingReUseAddrFailed,
  // bindFailed or listenFailed, closing the descriptor first.
  static std::shared_ptr<Socket> listeningSocket(uint16_t port, bool ipv4Only, int32_t backlog,
                                                 const std::optional<std::string>& listenAddress);
  // Linux has no SO_NOSIGPIPE: every write passes MSG_NOSIGNAL instead, so this does nothing.
  static void disableSigPipe(int32_t descriptor);
  static void closeDescriptor(int32_t descriptor);

  friend bool operator==(const Socket& a, const Socket& b) {
    return a.socketFileDescriptor_ == b.socketFileDescriptor_;
  }

 private:
  void writeRaw(const uint8_t* bytes, std::size_t length, bool more);
  sockaddr_storage localAddress() const;
  // Reads whatever the kernel has (at least one byte) into the empty buffer.
  void fillBuffer();
  // One recv() into `into`, within the read time limit; raises recvFailed.
  std::size_t receive(uint8_t* into, std::size_t capacity);

  // Counts a write as using the descriptor, so that close() waits for it: a number released
  // under a write from another thread (a WebSocket session is written from any thread) may
  // already name someone else's connection. Raises writeFailed (EBADF) once closed.
  class WriteUse {
   public:
    explicit WriteUse(Socket& socket);
    ~WriteUse();
    WriteUse(const WriteUse&) = delete;
    WriteUse& operator=(const WriteUse&) = delete;

   private:
    Socket& socket_;
  };

  const int32_t socketFileDescriptor_;
  mutable std::mutex closeMutex_;
  std::condition_variable writesEnded_;
  bool shutdown_ = false;  // guarded by closeMutex_
  int writers_ = 0;        // writes under way; guarded by closeMutex_

  static constexpr std::size_t kReadBufferSize = 16 * 1024;
  std::unique_ptr<uint8_t[]> readBuffer_;  // allocated on the first read
  std::size_t readBegin_ = 0;
  std::size_t readEnd_ = 0;
  std::optional<std::string> peerAddress_;
  // The read time limit; touched only by the reading thread.
  std::optional<std::chrono::steady_clock::time_point> readDeadline_;
  std::chrono::milliseconds readAllowance_{0};
  uint32_t readBytesPerSecond_ = 0;
};

}  // namespace velmora::http

template <>
struct std::hash<velmora::http::Socket> {
  std::size_t operator()(const velmora::http::Socket& socket) const noexcept {
    return std::hash<int32_t>()(socket.socketFileDescriptor());
  }
};
