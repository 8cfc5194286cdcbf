#include <exception>
#include <string>

#include "app/view_controller.h"
#include "http/socket.h"
#include "platform/console.h"
#include "relay/web/relay_routes.h"

namespace velmora::app {

namespace {

void reportFailure(ViewController& controller, platform::MainQueue& queue,
                   const std::string& description) {
  platform::printLine("WebServer failed to start: " + description);
  queue.async([weak = controller.weak_from_this(), description] {
    if (auto self = weak.lock()) self->reportStartFailed(description);
  });
}

}  // namespace

void ViewController::startWebServer() {
  relay::web::registerRelayRoutes(*webServer, std::weak_ptr<relay::RelayHost>(weak_from_this()));

  const std::optional<int> port = relayPortNumber();
  if (!port) {
    // The server holds a 16-bit port: a larger or negative number would silently become another.
    reportFailure(*this, mainQueue_, "port " + serverPort.text() + " is outside 0 to 65535");
    return;
  }
  try {
    webServer->start(static_cast<uint16_t>(*port), true, platform::QualityOfService::background);
    boundPort_ = webServer->port();  // the port 0 stands for is known only now
  } catch (const http::SocketError& error) {
    reportFailure(*this, mainQueue_, error.description());
    return;
  } catch (const std::exception& error) {
    reportFailure(*this, mainQueue_, error.what());
    return;
  }
  platform::printLine("✅ startWebServer() succeeded");
  mainQueue_.async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->reportStartSucceeded();
  });
}

}  // namespace velmora::app
