// The cpp-httplib peer of bench/http: the same 13-byte body at "/" and the same files below
// "/static", with TCP_NODELAY as its users set it. `bench-httplib-hello --port N --root DIR`;
// prints "listening on PORT" once it accepts connections.
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  int port = 0;
  std::string root;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--port") {
      port = std::atoi(argv[i + 1]);
    } else if (name == "--root") {
      root = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--port N] [--root DIR]\n", argv[0]);
      return 2;
    }
  }

  httplib::Server server;
  server.set_tcp_nodelay(true);
  server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("Hello, World!", "text/plain");
  });
  if (!root.empty() && !server.set_mount_point("/static", root)) {
    std::fprintf(stderr, "bench-httplib-hello: cannot serve %s\n", root.c_str());
    return 1;
  }
  if (port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    port = -1;
  }
  if (port < 0) {
    std::fprintf(stderr, "bench-httplib-hello: cannot listen\n");
    return 1;
  }
  std::printf("listening on %d\n", port);
  std::fflush(stdout);
  return server.listen_after_bind() ? 0 : 1;
}
