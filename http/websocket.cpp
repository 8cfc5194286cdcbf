#include "http/websocket.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>

#include "http/body_decoding.h"
#include "platform/console.h"

namespace velmora::http {

namespace {

using OpCode = WebSocketSession::OpCode;
using WsError = WebSocketSession::WsError;

constexpr char kAcceptGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::optional<OpCode> opCodeFromNibble(uint8_t nibble) {
  switch (nibble) {
    case 0x0:
      return OpCode::continue_;
    case 0x8:
      return OpCode::close;
    case 0x9:
      return OpCode::ping;
    case 0xA:
      return OpCode::pong;
    case 0x1:
      return OpCode::text;
    case 0x2:
      return OpCode::binary;
    default:
      return std::nullopt;
  }
}

bool isControl(OpCode opcode) {
  switch (opcode) {
    case OpCode::close:
    case OpCode::ping:
    case OpCode::pong:
      return true;
    case OpCode::continue_:
    case OpCode::text:
    case OpCode::binary:
      return false;
  }
  return false;
}

// The printed line's prefix for each case.
std::string linePrefix(const WsError& error) {
  return std::visit(
      [](const auto& value) -> std::string {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, WsError::UnknownOpCode>) {
          return "Unknown Op Code: ";
        } else if constexpr (std::is_same_v<T, WsError::UnMaskedFrame>) {
          return "Unmasked frame: ";
        } else if constexpr (std::is_same_v<T, WsError::ProtocolError>) {
          return "Protocol error: ";
        } else {
          static_assert(std::is_same_v<T, WsError::InvalidUTF8>);
          return "Invalid UTF8 character: ";
        }
      },
      error.value());
}

// One run's reassembly state and the dispatch of each frame to the callbacks.
class SessionRun {
 public:
  SessionRun(const WebSocketSessionPtr& session, const WebSocketCallbacks& callbacks)
      : session_(session), callbacks_(callbacks) {}

  std::size_t pendingMessageBytes() const { return fragmentBuffer_.size(); }

  void dispatch(WebSocketSession::Frame& frame) {
    switch (frame.opcode) {
      case OpCode::continue_:
        // With no fragmented message in progress this is taken as a close frame.
        frame.opcode = fragmentOpCode_;
        if (frame.fin) {
          append(frame.payload);
          frame.payload = std::move(fragmentBuffer_);
          fragmentBuffer_.clear();
          fragmentOpCode_ = OpCode::close;
        }
        dispatch(frame);
        return;
      case OpCode::text:
        if (!callbacks_.text) return;
        if (collect(frame)) return;
        callbacks_.text(session_, decodeText(frame.payload));
        return;
      case OpCode::binary:
        if (!callbacks_.binary) return;
        if (collect(frame)) return;
        callbacks_.binary(session_, frame.payload);
        return;
      case OpCode::close:
        throw WebSocketSession::Control::close();
      case OpCode::ping:
        if (frame.payload.size() > 125)
          throw WsError::protocolError("Payload gretter than 125 octets.");
        session_->writeFrame(frame.payload, OpCode::pong, true);
        return;
      case OpCode::pong:
        if (callbacks_.pong) callbacks_.pong(session_, frame.payload);
        return;
    }
  }

 private:
  // Keeps a non-final fragment (true); a final frame must not arrive while fragments wait.
  bool collect(const WebSocketSession::Frame& frame) {
    if (!frame.fin) {
      append(frame.payload);
      fragmentOpCode_ = frame.opcode;
      return true;
    }
    if (!fragmentBuffer_.empty()) {
      throw WsError::protocolError("Continuing fragmented frame cannot have an operation code.");
    }
    return false;
  }

  void append(const std::vector<uint8_t>& payload) {
    // readFrame already refused a frame that would take the message past the limit.
    fragmentBuffer_.insert(fragmentBuffer_.end(), payload.begin(), payload.end());
  }

  // The whole payload: U+0000 is valid UTF-8, and cutting the text there would lose the rest.
  static std::string decodeText(const std::vector<uint8_t>& payload) {
    std::string text(payload.begin(), payload.end());
    if (!isWellFormedUtf8(text)) throw WsError::invalidUTF8("");
    return text;
  }

  const WebSocketSessionPtr& session_;
  const WebSocketCallbacks& callbacks_;
  OpCode fragmentOpCode_ = OpCode::close;  // close: no fragmented message in progress
  std::vector<uint8_t> fragmentBuffer_;
};

}  // namespace

WebSocketSession::WsError::WsError(Case value) : value_(std::move(value)) {
  description_ = std::visit(
      [](const auto& c) -> std::string {
        using T = std::decay_t<decltype(c)>;
        std::string name;
        if constexpr (std::is_same_v<T, UnknownOpCode>) {
          name = "unknownOpCode";
        } else if constexpr (std::is_same_v<T, UnMaskedFrame>) {
          name = "unMaskedFrame";
        } else if constexpr (std::is_same_v<T, ProtocolError>) {
          name = "protocolError";
        } else {
          static_assert(std::is_same_v<T, InvalidUTF8>);
          name = "invalidUTF8";
        }
        return name + "(\"" + c.text + "\")";
      },
      value_);
}

WebSocketSession::WebSocketSession(std::shared_ptr<Socket> socket, WebSocketLimits limits)
    : socket_(std::move(socket)), limits_(limits) {}

WebSocketSession::~WebSocketSession() {
  // A closed descriptor's number may already belong to another connection: never write to it.
  if (!socket_->isShutdown()) writeCloseFrame();
  socket_->close();
}

void WebSocketSession::writeText(std::string_view text) {
  writeFrame(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), OpCode::text,
             true);
}

void WebSocketSession::writeBinary(std::span<const uint8_t> bytes) {
  writeFrame(bytes, OpCode::binary, true);
}

void WebSocketSession::writeCloseFrame() {
  writeFrame({}, OpCode::close, true);
}

void WebSocketSession::writeFrame(std::span<const uint8_t> payload, OpCode opcode, bool fin) {
  const uint8_t first = static_cast<uint8_t>((fin ? 0x80 : 0x00) | static_cast<uint8_t>(opcode));
  uint8_t length[9];
  std::size_t lengthSize;
  const uint64_t size = payload.size();
  if (size < 126) {
    length[0] = static_cast<uint8_t>(size);
    lengthSize = 1;
  } else if (size <= 0xFFFF) {
    length[0] = 126;
    length[1] = static_cast<uint8_t>(size >> 8);
    length[2] = static_cast<uint8_t>(size);
    lengthSize = 3;
  } else {
    length[0] = 127;
    for (int i = 0; i < 8; ++i) length[1 + i] = static_cast<uint8_t>(size >> (56 - 8 * i));
    lengthSize = 9;
  }

  std::lock_guard lock(writeMutex_);
  // Nothing follows a close frame, not even a second one (RFC 6455 section 5.5.1).
  if (closeSent_) return;
  closeSent_ = opcode == OpCode::close;
  try {
    // Three writes, held back by the kernel until the last so that they leave as one segment.
    socket_->writeBytes(std::span(&first, 1), true);
    socket_->writeBytes(std::span(length, lengthSize), !payload.empty());
    socket_->writeBytes(payload);
  } catch (const SocketError& error) {
    platform::printLine(error.description());
  }
}

WebSocketSession::Frame WebSocketSession::readFrame(std::size_t pendingMessageBytes) {
  Frame frame;
  const uint8_t first = socket_->readByte();
  frame.fin = (first & 0x80) != 0;
  frame.rsv1 = first & 0x40;
  frame.rsv2 = first & 0x20;
  frame.rsv3 = first & 0x10;
  if (frame.rsv1 != 0 || frame.rsv2 != 0 || frame.rsv3 != 0) {
    throw WsError::protocolError("Reserved frame bit has not been negociated.");
  }
  const uint8_t nibble = first & 0x0F;
  const std::optional<OpCode> opcode = opCodeFromNibble(nibble);
  if (!opcode) throw WsError::unknownOpCode(std::to_string(nibble));
  frame.opcode = *opcode;
  if (isControl(frame.opcode) && !frame.fin) {
    throw WsError::protocolError("Control frames must not be fragmented.");
  }

  const uint8_t second = socket_->readByte();
  if ((second & 0x80) == 0) {
    throw WsError::unMaskedFrame("A client must mask all frames that it sends to the server.");
  }
  uint64_t length = second & 0x7F;
  if (length == 126 || length == 127) {
    const int bytes = length == 126 ? 2 : 8;
    length = 0;
    for (int i = 0; i < bytes; ++i) length = (length << 8) | socket_->readByte();
  }
  if ((length >> 63) != 0) {
    throw WsError::protocolError("Payload length has its most significant bit set.");
  }
  // A data frame adds to the message being collected; a control frame stands alone.
  const uint64_t pending = isControl(frame.opcode) ? 0 : pendingMessageBytes;
  if (pending > limits_.maxMessageBytes || length > limits_.maxMessageBytes - pending) {
    throw WsError::protocolError("Message larger than " + std::to_string(limits_.maxMessageBytes) +
                                 " octets.");
  }

  const std::vector<uint8_t> key = socket_->readBytes(4);
  frame.payload = socket_->readBytes(static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < frame.payload.size(); ++i) frame.payload[i] ^= key[i % 4];
  return frame;
}

void runWebSocketSession(std::shared_ptr<Socket> socket, const WebSocketCallbacks& callbacks,
                         WebSocketLimits limits) {
  auto session = std::make_shared<WebSocketSession>(std::move(socket), limits);
  try {
    SessionRun run(session, callbacks);
    if (callbacks.connected) callbacks.connected(session);
    for (;;) {
      WebSocketSession::Frame frame = session->readFrame(run.pendingMessageBytes());
      run.dispatch(frame);
    }
  } catch (const WebSocketSession::Control&) {
    // The peer closed the conversation.
  } catch (const WsError& error) {
    platform::printLine(linePrefix(error) + error.description());
  } catch (const std::exception& error) {
    platform::printLine(std::string("Unkown error ") + error.what());
  } catch (...) {
    platform::printLine("Unkown error (not a standard exception)");
  }
  session->writeCloseFrame();
  if (callbacks.disconnected) {
    try {
      callbacks.disconnected(session);
    } catch (const std::exception& error) {
      platform::printLine(std::string("Unkown error ") + error.what());
    } catch (...) {
      platform::printLine("Unkown error (not a standard exception)");
    }
  }
  // Unless a callback kept the session, this writes its last close frame and closes the socket.
  session.reset();
}

std::string websocketAcceptKey(std::string_view key) {
  std::string input(key);
  input += kAcceptGuid;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  unsigned char encoded[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
  const int length = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
}

HttpHandler websocketHandler(
    std::function<void(const WebSocketSessionPtr&, const std::string&)> text,
    std::function<void(const WebSocketSessionPtr&, const std::vector<uint8_t>&)> binary,
    std::function<void(const WebSocketSessionPtr&, const std::vector<uint8_t>&)> pong,
    std::function<void(const WebSocketSessionPtr&)> connected,
    std::function<void(const WebSocketSessionPtr&)> disconnected, WebSocketLimits limits) {
  auto callbacks = std::make_shared<const WebSocketCallbacks>(
      WebSocketCallbacks{std::move(text), std::move(binary), std::move(pong), std::move(connected),
                         std::move(disconnected)});
  return [callbacks, limits](const HttpRequestPtr& request) -> HttpResponse {
    auto valueOrUnknown = [&request](const std::string& name) {
      const auto found = request->headers.find(name);
      return found == request->headers.end() ? std::string("unknown") : found->second;
    };
    if (!request->headerHasToken("upgrade", "websocket")) {
      return HttpResponse::badRequest(HttpResponseBody::text("Invalid value of 'Upgrade' header: " +
                                                             valueOrUnknown("upgrade")));
    }
    if (!request->headerHasToken("connection", "upgrade")) {
      return HttpResponse::badRequest(HttpResponseBody::text(
          "Invalid value of 'Connection' header: " + valueOrUnknown("connection")));
    }
    const auto key = request->headers.find("sec-websocket-key");
    if (key == request->headers.end()) {
      return HttpResponse::badRequest(
          HttpResponseBody::text("Invalid value of 'Sec-Websocket-Key' header: unknown"));
    }
    HttpHeaders headers;
    setHeader(headers, "Upgrade", "WebSocket");
    setHeader(headers, "Connection", "Upgrade");
    setHeader(headers, "Sec-WebSocket-Accept", websocketAcceptKey(key->second));
    return HttpResponse::switchProtocols(
        std::move(headers), [callbacks, limits](std::shared_ptr<Socket> socket) {
          runWebSocketSession(std::move(socket), *callbacks, limits);
        });
  };
}

HttpHandler websocketHandler(
    std::function<void(const WebSocketSessionPtr&, const std::string&)> text,
    std::function<void(const WebSocketSessionPtr&, const std::vector<uint8_t>&)> binary,
    std::function<void(const WebSocketSessionPtr&, const std::vector<uint8_t>&)> pong) {
  return websocketHandler(std::move(text), std::move(binary), std::move(pong), {}, {});
}

}  // namespace velmora::http
