// A fake model server for bench/relay that streams as fast as it can. Raw sockets and nothing
// of Velmora's: it must not share a fault, or a cost, with the server under test.
//
//   bench-stream-backend [--pieces N] [--model NAME]
//
// Listens on a free port of 127.0.0.1 and prints "listening on PORT". GET /v1/models lists the
// one model; POST /v1/chat/completions answers with N content events, one send() each (as a
// server that flushes every token does), then "data: [DONE]", prints "chat request of BYTES
// bytes" (the body, read whole before answering) and closes the connection. Each piece's text
// ends in '~', which nothing else in the answers carries, so a client counts pieces by counting
// that byte. A connection at a time per thread, 64 threads; SIGTERM ends it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// More than the streams a bench client opens at once.
constexpr int kThreads = 64;

struct Stream {
  std::vector<std::string> events;  // each one send()
  std::string models;               // the whole answer to GET /v1/models
};

bool sendAll(int descriptor, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t result =
        ::send(descriptor, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (result <= 0) return false;
    sent += static_cast<std::size_t>(result);
  }
  return true;
}

// Reads the request head and its Content-Length body; answers the head, empty on failure. The
// body is counted into `length`, not kept: a request with photos in it runs to tens of megabytes.
std::string readRequest(int descriptor, std::size_t& length) {
  std::string received;
  char buffer[65536];
  std::size_t headEnd = std::string::npos, bodyLeft = 0;
  for (;;) {
    if (headEnd == std::string::npos &&
        (headEnd = received.find("\r\n\r\n")) != std::string::npos) {
      std::string lower = received.substr(0, headEnd);
      for (char& c : lower) c = static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
      const std::size_t field = lower.find("content-length:");
      length =
          field == std::string::npos ? 0 : std::strtoul(lower.c_str() + field + 15, nullptr, 10);
      const std::size_t bodyHere = received.size() - headEnd - 4;
      bodyLeft = length > bodyHere ? length - bodyHere : 0;
      received.resize(headEnd);
    }
    if (headEnd != std::string::npos && bodyLeft == 0) return received;
    const ssize_t got = ::recv(descriptor, buffer, sizeof buffer, 0);
    if (got <= 0) return {};
    if (headEnd == std::string::npos) {
      received.append(buffer, static_cast<std::size_t>(got));
    } else {
      bodyLeft -= std::min(bodyLeft, static_cast<std::size_t>(got));
    }
  }
}

void serve(int descriptor, const Stream& stream) {
  const int one = 1;
  setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::size_t length = 0;
  const std::string head = readRequest(descriptor, length);
  if (head.starts_with("GET /v1/models")) {
    sendAll(descriptor, stream.models);
  } else if (head.starts_with("POST /v1/chat/completions")) {
    for (const std::string& event : stream.events) {
      if (!sendAll(descriptor, event)) break;
    }
    std::printf("chat request of %zu bytes\n", length);  // after: no cost to the first piece
    std::fflush(stdout);
  } else if (!head.empty()) {
    sendAll(descriptor, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  }
  ::shutdown(descriptor, SHUT_WR);
  ::close(descriptor);
}

}  // namespace

int main(int argc, char** argv) {
  int pieces = 2000;
  std::string model = "bench-model";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--pieces") {
      pieces = std::atoi(argv[i + 1]);
    } else if (name == "--model") {
      model = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--pieces N] [--model NAME]\n", argv[0]);
      return 2;
    }
  }

  auto stream = std::make_shared<Stream>();
  const std::string modelList = "{\"object\":\"list\",\"data\":[{\"id\":\"" + model +
                                "\",\"object\":\"model\",\"owned_by\":\"bench\"}]}";
  stream->models = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                   std::to_string(modelList.size()) + "\r\nConnection: close\r\n\r\n" + modelList;
  const std::string prefix =
      "data: {\"id\":\"chatcmpl-bench\",\"object\":\"chat.completion.chunk\",\"model\":\"" + model +
      "\",\"choices\":[{\"index\":0,\"delta\":{";
  stream->events.push_back(
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
      "Connection: close\r\n\r\n" +
      prefix + "\"role\":\"assistant\"},\"finish_reason\":null}]}\n\n");
  for (int i = 0; i < pieces; ++i) {
    // Four letters and the marker: about one token of English.
    std::string text(4, static_cast<char>('a' + i % 26));
    text += '~';
    stream->events.push_back(prefix + "\"content\":\"" + text +
                             "\"},\"finish_reason\":null}]}\n\n");
  }
  stream->events.push_back(prefix + "},\"finish_reason\":\"stop\"}]}\n\ndata: [DONE]\n\n");

  const int listening = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listening, 512) != 0 ||
      getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("bench-stream-backend");
    return 1;
  }
  std::printf("listening on %d\n", ntohs(address.sin_port));
  std::fflush(stdout);

  // Threads started up front, each accepting and serving in turn: creating a thread per
  // connection would put its start-up (milliseconds on a busy machine) into every first piece.
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([listening, stream] {
      for (;;) {
        const int client = ::accept(listening, nullptr, nullptr);
        if (client >= 0) serve(client, *stream);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}
