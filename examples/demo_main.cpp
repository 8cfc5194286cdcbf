// A demonstration server on the HTTP library: `velmora-demo --port N`.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "examples/demo_routes.h"
#include "http/server.h"

namespace {

using namespace velmora::http;

int usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--port N]\n  --port N  port to listen on, every IPv4 address (0: any "
               "free port; default 8080)\n",
               program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long port = 8080;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--port" && i + 1 < argc) {
      char* end = nullptr;
      port = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) return usage(argv[0]);
    } else if (argument == "--help" || argument == "-h") {
      usage(argv[0]);
      return 0;
    } else {
      return usage(argv[0]);
    }
  }

  // Block the stop signals in every thread; this one waits for them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  auto server = std::make_shared<HttpServer>();
  velmora::examples::registerDemoRoutes(*server);
  try {
    server->start(static_cast<uint16_t>(port), true);
  } catch (const SocketError& error) {
    std::fprintf(stderr, "velmora-demo: cannot listen on port %ld: %s\n", port,
                 error.message().c_str());
    return 1;
  }
  std::printf("listening on %d\n", server->port());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  server->stop();
  return 0;
}
