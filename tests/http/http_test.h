#pragma once

#include "http/server.h"
#include "tests/support/test_client.h"

namespace velmora::http {

const std::string kServer = "Server: " + serverHeaderValue() + "\r\n";  // in every answer

// A server listening on 127.0.0.1, on a port of the system's choice.
inline std::shared_ptr<HttpServer> startLocalServer(HttpLimits limits = {}) {
  auto server = std::make_shared<HttpServer>();
  server->listenAddressIPv4 = "127.0.0.1";
  server->limits = limits;
  server->start(0, true);
  return server;
}

using testing::TemporaryDirectory;

// Sends the bytes on a new connection and reads until the server closes it; "(still open)" ends
// the answer when the server did not close it.
inline std::string exchange(int port, const std::string& request) {
  testing::TestClient client(port, std::chrono::seconds(5));
  client.send(request);
  const std::string answer = client.readUntilClose();
  return client.closedWithoutData() ? answer : answer + "(still open)";
}

}  // namespace velmora::http
