#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "http/server_io.h"
#include "http/socket.h"

namespace velmora::http {

// What one WebSocket peer may make the server hold in memory.
struct WebSocketLimits {
  // The largest frame payload, and the largest message collected from fragments. A frame over it
  // is refused from its header, before anything is allocated for it.
  uint64_t maxMessageBytes = 16 * 1024 * 1024;
};

// One server-side WebSocket connection (RFC 6455): reads client frames and writes unmasked
// frames on the connection's socket. Shared by std::shared_ptr between the session run and any
// callback that keeps it. When the last holder lets go, a close frame goes out and the socket is
// closed (unless it was closed already).
class WebSocketSession {
 public:
  // `continue_` is the continuation frame ("continue" is a keyword).
  enum class OpCode : uint8_t {
    continue_ = 0x0,
    close = 0x8,
    ping = 0x9,
    pong = 0xA,
    text = 0x1,
    binary = 0x2,
  };

  // One frame as read, payload unmasked. Dispatch may change it in place (a continuation takes
  // the kind of the message it continues).
  struct Frame {
    OpCode opcode = OpCode::close;
    bool fin = false;
    uint8_t rsv1 = 0;  // the bits' values (0x40, 0x20, 0x10); always 0 in a frame that was read
    uint8_t rsv2 = 0;
    uint8_t rsv3 = 0;
    std::vector<uint8_t> payload;
  };

  // A protocol violation by the peer; ends the session with a printed line and a close frame.
  class WsError : public std::exception {
   public:
    struct UnknownOpCode {
      std::string text;
      bool operator==(const UnknownOpCode&) const = default;
    };
    struct UnMaskedFrame {
      std::string text;
      bool operator==(const UnMaskedFrame&) const = default;
    };
    struct ProtocolError {
      std::string text;
      bool operator==(const ProtocolError&) const = default;
    };
    struct InvalidUTF8 {
      std::string text;
      bool operator==(const InvalidUTF8&) const = default;
    };
    using Case = std::variant<UnknownOpCode, UnMaskedFrame, ProtocolError, InvalidUTF8>;

    explicit WsError(Case value);
    static WsError unknownOpCode(std::string text) {
      return WsError(UnknownOpCode{std::move(text)});
    }
    static WsError unMaskedFrame(std::string text) {
      return WsError(UnMaskedFrame{std::move(text)});
    }
    static WsError protocolError(std::string text) {
      return WsError(ProtocolError{std::move(text)});
    }
    static WsError invalidUTF8(std::string text) { return WsError(InvalidUTF8{std::move(text)}); }

    const Case& value() const { return value_; }
    bool operator==(const WsError& other) const { return value_ == other.value_; }
    // The case name and its text: protocolError("Control frames must not be fragmented.").
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

   private:
    Case value_;
    std::string description_;
  };

  // The peer's close frame: ends the session normally, without a printed line.
  class Control : public std::exception {
   public:
    struct Close {
      bool operator==(const Close&) const = default;
    };
    using Case = std::variant<Close>;

    explicit Control(Case value) : value_(value) {}
    static Control close() { return Control(Close{}); }
    const Case& value() const { return value_; }
    const char* what() const noexcept override { return "close"; }

   private:
    Case value_;
  };

  explicit WebSocketSession(std::shared_ptr<Socket> socket, WebSocketLimits limits = {});
  ~WebSocketSession();
  WebSocketSession(const WebSocketSession&) = delete;
  WebSocketSession& operator=(const WebSocketSession&) = delete;

  const std::shared_ptr<Socket>& socket() const { return socket_; }

  // Frame writes, from any thread. None fails towards its caller: a socket failure is printed and
  // the rest of the frame is dropped; once the connection is closed nothing is written (a closed
  // descriptor's number may belong to a newer connection). Each frame goes out whole before
  // another write on this session starts, so callers on several threads do not interleave frames.
  void writeText(std::string_view text);             // one final text frame
  void writeBinary(std::span<const uint8_t> bytes);  // one final binary frame
  void writeFrame(std::span<const uint8_t> payload, OpCode opcode, bool fin = true);
  void writeCloseFrame();  // final, empty close frame

  // Reads one frame on the connection's thread. `pendingMessageBytes` are the bytes of an
  // unfinished fragmented message, which a data frame must not take past the limit. Raises
  // WsError for a frame that breaks the protocol or the limit (from its header, before its payload
  // is read), or the socket's SocketError.
  Frame readFrame(std::size_t pendingMessageBytes = 0);

  const WebSocketLimits& limits() const { return limits_; }

  // Sessions on the same socket descriptor are equal.
  bool operator==(const WebSocketSession& other) const { return *socket_ == *other.socket_; }

 private:
  const std::shared_ptr<Socket> socket_;
  const WebSocketLimits limits_;
  std::mutex writeMutex_;   // held for the whole of one frame's writes
  bool closeSent_ = false;  // guarded by writeMutex_
};

using WebSocketSessionPtr = std::shared_ptr<WebSocketSession>;

// The session's callbacks, all optional (an empty function is absent). Each runs on the
// connection's thread, one frame at a time.
struct WebSocketCallbacks {
  std::function<void(const WebSocketSessionPtr&, const std::string&)> text;  // a whole text message
  std::function<void(const WebSocketSessionPtr&, const std::vector<uint8_t>&)> binary;
  std::function<void(const WebSocketSessionPtr&, const std::vector<uint8_t>&)> pong;
  std::function<void(const WebSocketSessionPtr&)> connected;     // before the first frame is read
  std::function<void(const WebSocketSessionPtr&)> disconnected;  // after the final close frame
};

// A route handler for a WebSocket endpoint: checks the opening handshake, answers 400 with the
// reason when it is wrong, otherwise 101 with the accept key, and then runs a session on the
// connection with the callbacks. Each callback may be empty.
HttpHandler websocketHandler(
    std::function<void(const WebSocketSessionPtr&, const std::string&)> text,
    std::function<void(const WebSocketSessionPtr&, const std::vector<uint8_t>&)> binary,
    std::function<void(const WebSocketSessionPtr&, const std::vector<uint8_t>&)> pong,
    std::function<void(const WebSocketSessionPtr&)> connected,
    std::function<void(const WebSocketSessionPtr&)> disconnected, WebSocketLimits limits = {});
// The same without the connected and disconnected callbacks.
HttpHandler websocketHandler(
    std::function<void(const WebSocketSessionPtr&, const std::string&)> text,
    std::function<void(const WebSocketSessionPtr&, const std::vector<uint8_t>&)> binary,
    std::function<void(const WebSocketSessionPtr&, const std::vector<uint8_t>&)> pong);

// Runs one session on an upgraded connection until the peer closes it, breaks the protocol or
// goes away; returns after the final close frame and the disconnected callback. Connection's
// thread.
void runWebSocketSession(std::shared_ptr<Socket> socket, const WebSocketCallbacks& callbacks,
                         WebSocketLimits limits = {});

// The Sec-WebSocket-Accept value for a Sec-WebSocket-Key: Base64 of the SHA-1 of the key and the
// protocol's fixed GUID.
std::string websocketAcceptKey(std::string_view key);

}  // namespace velmora::http

template <>
struct std::hash<velmora::http::WebSocketSession> {
  std::size_t operator()(const velmora::http::WebSocketSession& session) const noexcept {
    return std::hash<velmora::http::Socket>()(*session.socket());
  }
};
