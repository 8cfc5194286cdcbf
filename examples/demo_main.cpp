// A demonstration server on the HTTP library: `velmora-demo --port N --root DIR`.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "examples/demo_routes.h"
#include "http/file_serving.h"
#include "http/server.h"

namespace {

using namespace velmora::http;

int usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--port N] [--root DIR] [--readme FILE]\n"
               "  --port N       port to listen on, every IPv4 address (0: any free port; default "
               "8080)\n"
               "  --root DIR     folder served below /static and /browse (default: the working "
               "directory)\n"
               "  --readme FILE  file served at /readme (default: the project's README.md)\n",
               program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long port = 8080;
  std::string root;
  std::string readme = VELMORA_SOURCE_DIR "/README.md";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--port" && i + 1 < argc) {
      char* end = nullptr;
      port = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) return usage(argv[0]);
    } else if (argument == "--root" && i + 1 < argc) {
      root = argv[++i];
      if (root.empty()) return usage(argv[0]);
    } else if (argument == "--readme" && i + 1 < argc) {
      readme = argv[++i];
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

  if (root.empty()) {
    try {
      root = currentDirectory();
    } catch (const FileError& error) {
      std::fprintf(stderr, "velmora-demo: no working directory: %s\n", error.what());
      return 1;
    }
  }

  auto server = std::make_shared<HttpServer>();
  velmora::examples::registerDemoRoutes(*server);
  velmora::examples::registerFileRoutes(*server, root, readme);
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
