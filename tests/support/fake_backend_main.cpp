// velmora-fake-backend [--port N]: the tests' fake model server as a program, for the browser
// test and the fault-and-load suite. Prints "listening on PORT" once it accepts; ends on SIGINT
// or SIGTERM.
#include <csignal>
#include <cstdio>
#include <string>

#include "tests/support/fake_backend.h"

int main(int argc, char** argv) {
  int port = 0;
  if (argc == 3 && std::string(argv[1]) == "--port") port = std::stoi(argv[2]);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before the fake's threads inherit the mask
  velmora::testing::FakeBackend backend(port);
  std::printf("listening on %d\n", backend.port());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  return 0;
}
