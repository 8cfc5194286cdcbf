// The client of bench/relay: asks for streamed answers and times them. Raw sockets only.
//
//   bench-stream-client --port N --mode direct|api|submit [--streams C] [--rounds R]
//                       [--expect PIECES]
//
// direct asks the backend itself (POST /v1/chat/completions), api the relay's pass-through
// (POST /api/chat), submit the relay's answer page (POST /submit). Each round starts C streams
// at once and reads each to its end, counting pieces by their '~' marker. Per round: the time
// from connecting to the first piece (median over the streams) and the pieces per second of the
// whole round (all pieces over the time from the first connect to the last piece). In api mode
// the relay's conversation is emptied before each round. Prints one
// "RESULT" line with the medians over the rounds; exits 1 when a stream lost pieces or failed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Timing {
  Clock::time_point start;
  Clock::time_point firstPiece;
  Clock::time_point lastPiece;
  long pieces = 0;
  bool failed = false;
};

std::string requestFor(const std::string& mode) {
  const std::string json =
      R"({"model":"bench-model","messages":[{"role":"user","content":"Say something."}],"stream":true})";
  std::string target;
  std::string body;
  std::string type;
  if (mode == "direct") {
    target = "/v1/chat/completions";
    body = json;
    type = "application/json";
  } else if (mode == "api") {
    target = "/api/chat";
    body = json;
    type = "application/json";
  } else {
    target = "/submit";
    // A fresh conversation each time, so the rounds do not make the requests grow.
    body = "prompt=Say+something.&reset=1";
    type = "application/x-www-form-urlencoded";
  }
  return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

void runStream(int port, const std::string& request, Timing& timing) {
  timing.start = Clock::now();
  const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    timing.failed = true;
    ::close(descriptor);
    return;
  }
  const int one = 1;
  setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::send(descriptor, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    timing.failed = true;
    ::close(descriptor);
    return;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::recv(descriptor, buffer, sizeof buffer, 0);
    if (got < 0) timing.failed = true;
    if (got <= 0) break;
    const long found = std::count(buffer, buffer + got, '~');
    if (found > 0) {
      const auto now = Clock::now();
      if (timing.pieces == 0) timing.firstPiece = now;
      timing.lastPiece = now;
      timing.pieces += found;
    }
  }
  ::close(descriptor);
}

// Empties the relay's conversation ("POST /clear"), outside the timed part: "/api/chat" prints the
// whole conversation before each request and adds its answer to it, so rounds would otherwise
// measure the growth of a console line rather than the stream.
void clearConversation(int port) {
  const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request =
        "POST /clear HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n";
    if (::send(descriptor, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
      char buffer[4096];
      while (::recv(descriptor, buffer, sizeof buffer, 0) > 0) {
      }
    }
  }
  ::close(descriptor);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::string mode = "direct";
  int streams = 1;
  int rounds = 10;
  long expect = 2000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--port") {
      port = std::atoi(value);
    } else if (name == "--mode") {
      mode = value;
    } else if (name == "--streams") {
      streams = std::atoi(value);
    } else if (name == "--rounds") {
      rounds = std::atoi(value);
    } else if (name == "--expect") {
      expect = std::atol(value);
    } else {
      std::fprintf(
          stderr,
          "usage: %s --port N --mode direct|api|submit [--streams C] [--rounds R] [--expect P]\n",
          argv[0]);
      return 2;
    }
  }
  if (mode != "direct" && mode != "api" && mode != "submit") {
    std::fprintf(stderr, "bench-stream-client: unknown mode %s\n", mode.c_str());
    return 2;
  }
  const std::string request = requestFor(mode);

  std::vector<double> firstPieceMs;
  std::vector<double> rates;
  std::vector<double> worstFirstPieceMs;
  int failures = 0;
  for (int round = 0; round < rounds; ++round) {
    if (mode == "api") clearConversation(port);
    std::vector<Timing> timings(static_cast<std::size_t>(streams));
    std::vector<std::thread> threads;
    for (auto& timing : timings)
      threads.emplace_back([&, port] { runStream(port, request, timing); });
    for (auto& thread : threads) thread.join();

    Clock::time_point begin = timings.front().start;
    Clock::time_point end = timings.front().lastPiece;
    long pieces = 0;
    std::vector<double> firsts;
    for (const Timing& timing : timings) {
      if (timing.failed || timing.pieces != expect) {
        ++failures;
        std::fprintf(stderr, "bench-stream-client: a %s stream got %ld of %ld pieces%s\n",
                     mode.c_str(), timing.pieces, expect, timing.failed ? " and failed" : "");
        continue;
      }
      begin = std::min(begin, timing.start);
      end = std::max(end, timing.lastPiece);
      pieces += timing.pieces;
      firsts.push_back(milliseconds(timing.firstPiece - timing.start));
    }
    if (firsts.empty()) continue;
    firstPieceMs.push_back(median(firsts));
    worstFirstPieceMs.push_back(*std::max_element(firsts.begin(), firsts.end()));
    rates.push_back(static_cast<double>(pieces) / (milliseconds(end - begin) / 1000.0));
  }
  if (rates.empty()) {
    std::printf("RESULT mode=%s streams=%d failures=%d\n", mode.c_str(), streams, failures);
    return 1;
  }
  std::printf(
      "RESULT mode=%s streams=%d rounds=%zu first_piece_ms=%.3f worst_first_piece_ms=%.3f "
      "pieces_per_s=%.0f failures=%d\n",
      mode.c_str(), streams, rates.size(), median(firstPieceMs), median(worstFirstPieceMs),
      median(rates), failures);
  return failures == 0 ? 0 : 1;
}
