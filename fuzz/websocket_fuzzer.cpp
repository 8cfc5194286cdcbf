// A WebSocket client's bytes after the upgrade. Read twice over a fresh connection each time:
// frame by frame with readFrame, which must refuse what breaks the protocol or the limit and
// nothing else, and as a whole echo session, which reassembles fragments and answers pings.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "http/socket.h"
#include "http/websocket.h"

namespace {

using velmora::http::Socket;
using velmora::http::SocketError;
using velmora::http::WebSocketCallbacks;
using velmora::http::WebSocketLimits;
using velmora::http::WebSocketSession;
using velmora::http::WebSocketSessionPtr;
using OpCode = WebSocketSession::OpCode;

// Small, so that short inputs reach the limit on frames and on reassembled messages.
const WebSocketLimits kLimits{.maxMessageBytes = 512};

constexpr int kMaxFrames = 256;

bool isControl(OpCode opcode) {
  return opcode == OpCode::close || opcode == OpCode::ping || opcode == OpCode::pong;
}

void readFrames(std::span<const uint8_t> input) {
  velmora::fuzz::ClientFeed feed(input, true);
  WebSocketSession session(std::make_shared<Socket>(feed.serverDescriptor()), kLimits);
  std::size_t pending = 0;  // bytes of the fragmented message being collected
  try {
    for (int i = 0; i < kMaxFrames; ++i) {
      const WebSocketSession::Frame frame = session.readFrame(pending);
      FUZZ_CHECK(frame.rsv1 == 0 && frame.rsv2 == 0 && frame.rsv3 == 0);
      FUZZ_CHECK(frame.payload.size() <= kLimits.maxMessageBytes);
      if (isControl(frame.opcode)) {
        FUZZ_CHECK(frame.fin);
        continue;
      }
      FUZZ_CHECK(pending + frame.payload.size() <= kLimits.maxMessageBytes);
      pending = frame.fin ? 0 : pending + frame.payload.size();
    }
  } catch (const WebSocketSession::WsError&) {
  } catch (const SocketError&) {
  }
}

void runSession(std::span<const uint8_t> input) {
  velmora::fuzz::ClientFeed feed(input, true);
  WebSocketCallbacks callbacks;
  callbacks.text = [](const WebSocketSessionPtr& session, const std::string& text) {
    FUZZ_CHECK(velmora::fuzz::isUtf8(text));
    FUZZ_CHECK(text.size() <= kLimits.maxMessageBytes);
    session->writeText(text);
  };
  callbacks.binary = [](const WebSocketSessionPtr& session, const std::vector<uint8_t>& bytes) {
    FUZZ_CHECK(bytes.size() <= kLimits.maxMessageBytes);
    session->writeBinary(bytes);
  };
  callbacks.pong = [](const WebSocketSessionPtr&, const std::vector<uint8_t>& bytes) {
    FUZZ_CHECK(bytes.size() <= kLimits.maxMessageBytes);
  };
  velmora::http::runWebSocketSession(std::make_shared<Socket>(feed.serverDescriptor()), callbacks,
                                     kLimits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  readFrames({data, size});
  runSession({data, size});
  return 0;
}
