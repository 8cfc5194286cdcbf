// velmora-stress [--quick] [--only TEXT]: the fault-and-load scenarios unit tests cannot show, on
// velmora --headless and on servers in this process: one line per scenario with its figures on
// standard error (standard output has the console lines); exit status 1 when one failed.

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "http/server.h"
#include "platform/settings_file.h"
#include "relay/pages.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_backend.h"
#include "tests/support/test_client.h"

namespace velmora::stress {

namespace {

using namespace std::literals;
using testing::ChildProcess;
using testing::TestClient;
using Clock = std::chrono::steady_clock;
using Outcome = std::pair<bool, std::string>;

bool quick = false;
std::string goals;           // the figures measured against the goals, for the summary line
std::filesystem::path work;  // this run's scratch folder
const std::string kGetRoot = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
const std::string kKeptRoot = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";
constexpr std::string_view kPageEnd = relay::pages::kStartPageSecond;  // how "/" ends

std::string format(const char* pattern, auto... values) {
  char text[1024];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}

// One request on a connection of its own (from that loopback address): the whole answer, "" when
// no connection was made.
std::string exchange(int port, const std::string& request, const char* from = nullptr) {
  try {
    TestClient client(port, 60s, from);
    client.send(request);
    return client.readUntilClose();
  } catch (const std::exception&) {
    return "";
  }
}

// A loopback address of its own for every 100 clients: one address may hold only its share of the
// server's connections.
std::string fromAddress(int client) {
  return format("127.0.1.%d", client / 100 % 100 + 1);
}

struct Figures {
  int threads = 0, fds = 0;
  double rssMb = 0;
};

Figures figuresOf(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  Figures figures{0, int(std::distance(std::filesystem::directory_iterator(proc + "/fd"), {}))};
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) figures.threads = std::stoi(line.substr(8));
    if (line.starts_with("VmRSS:")) figures.rssMb = std::stod(line.substr(6)) / 1024;
  }
  return figures;
}

// Whether `done` comes to hold within 30 s, asked every `pause`.
bool within30s(const std::function<bool()>& done, Clock::duration pause = 100ms) {
  for (const auto deadline = Clock::now() + 30s; Clock::now() < deadline;) {
    if (done()) return true;
    std::this_thread::sleep_for(pause);
  }
  return false;
}

// Whether the process gets back to its descriptors of `start` and, with `threads`, to at most 4
// threads more (a server keeps up to 4 in accept() after a burst; idle pool threads end in 10 s).
bool settles(pid_t pid, const Figures& start, bool threads, Figures& now) {
  return within30s([&] {
    now = figuresOf(pid);
    return now.fds <= start.fds && (!threads || now.threads <= start.threads + 4);
  });
}

// Clients asking for "/" over and over until stop(), on a new connection each time or on one kept
// alive; every answer but a whole page (a refused connection, a cut or wrong answer) is a miss.
struct Hammer {
  std::atomic<bool> done = false;
  std::atomic<long> pages = 0, misses = 0;
  std::vector<std::jthread> clients;
  Hammer(int count, int port, bool keepAlive) {
    for (int i = 0; i < count; ++i) {
      clients.emplace_back([=, this] {
        for (std::unique_ptr<TestClient> client; !done;) {
          try {
            if (!client) client = std::make_unique<TestClient>(port, 30s, fromAddress(i).c_str());
            client->send(keepAlive ? kKeptRoot : kGetRoot);
            const auto answer = keepAlive ? client->readResponse() : client->readUntilClose();
            (answer.ends_with(kPageEnd) ? pages : misses)++;
            if (!keepAlive || !answer.ends_with(kPageEnd)) client.reset();
          } catch (const std::exception&) {
            ++misses;
            client.reset();
          }
        }
      });
    }
  }
  long stop() {
    done = true;
    clients.clear();
    return pages;
  }
};

// velmora --headless against a fake backend in this process, on any free port; with
// `threadLimit`, its worker pool launches no more than that many threads at a time.
struct Relay {
  explicit Relay(int threadLimit = 0) : poolThreads(threadLimit) {}
  const int poolThreads;
  std::filesystem::path folder = work;
  testing::FakeBackend backend;
  ChildProcess process{{VELMORA_BINARY, "--headless", "--port", "0", "--model", "m", "--backend",
                        "127.0.0.1:" + std::to_string(backend.port()), "--settings",
                        (folder / "relay.json").string()},
                       {"XDG_CONFIG_HOME=" + folder.string(),
                        "VELMORA_POOL_THREAD_LIMIT=" + std::to_string(poolThreads)}};
  const int port = [this] {
    const auto line = process.waitForLine("Open http://", 60s);
    return line ? std::stoi(line->substr(line->rfind(':') + 1)) : 0;
  }();
  const bool warm = exchange(port, kGetRoot).ends_with(kPageEnd);  // before the baseline
  const Figures start = figuresOf(process.pid());
  Figures end;
  // Whether it still answers "/", settles back to `start` (threads too, with `threads`) and then,
  // its output read, ends with status 0 on SIGTERM, which a sanitizer report or a leak changes.
  bool settlesAndEnds(bool threads) {
    const bool settled = warm && exchange(port, kGetRoot).ends_with(kPageEnd) &&
                         settles(process.pid(), start, threads, end);
    process.waitForLine("\x01", 100ms);
    process.signal(SIGTERM);
    return process.waitForExit(60s) == 0 && settled;
  }
};

Outcome hostileClients() {
  Relay relay;
  Hammer polite(1, relay.port, false);
  // By fours: a request head sent a byte at a time, garbage (400), half a request then a reset,
  // and a body far over the limit (413).
  const std::string openings[] = {
      "", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n"s,
      "POST /submit HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 900\r\n\r\nprompt=ha",
      "POST /submit HTTP/1.1\r\nContent-Length: 99999999999999\r\n\r\n"};
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 200; ++i) {
    clients.push_back(std::make_unique<TestClient>(relay.port, 30s, fromAddress(i).c_str()));
    clients.back()->send(openings[i % 4]);
    if (i % 4 == 2) clients.back()->reset();
  }
  Figures peak;
  for (const char byte : kGetRoot) {
    for (int i = 0; i < 200; i += 4) clients[i]->send(std::string(1, byte));
    if (byte == '/') peak = figuresOf(relay.process.pid());
    std::this_thread::sleep_for(quick ? 20ms : 100ms);
  }
  int slow = 0, refused = 0;
  for (int i = 0; i < 200; i += 2) {
    if (i % 4 == 0) slow += clients[i]->readUntilClose().ends_with(kPageEnd);
    refused +=
        clients[i + 1]->readUntilClose().starts_with(i % 4 ? "HTTP/1.1 413 " : "HTTP/1.1 400 ");
  }
  const long answered = polite.stop();
  clients.clear();
  const bool back = relay.settlesAndEnds(true);
  return {slow == 50 && refused == 100 && answered > 0 && polite.misses == 0 && back,
          format("200 connections: slow heads answered %d/50, others refused 400/413 %d/100, "
                 "polite client %ld/%ld; threads %d/%d/%d, fds %d/%d/%d",
                 slow, refused, answered, answered + polite.misses, relay.start.threads,
                 peak.threads, relay.end.threads, relay.start.fds, peak.fds, relay.end.fds)};
}

Outcome backendDies() {
  Relay relay;
  relay.backend.respond([](const testing::BackendRequest&) {
    static std::atomic<int> served = 0;
    const int n = served++;
    testing::BackendAnswer answer = testing::streamedAnswer({"one ", "two ", "three ", "four "});
    answer.writes.resize(1 + n % 3);  // dies after one to three pieces
    answer.pause = 10ms;
    answer.end = n % 2 ? testing::BackendAnswer::End::cut : testing::BackendAnswer::End::reset;
    return answer;
  });
  const std::size_t clients = quick ? 60 : 200;  // each prints ~200 bytes into a 64 KiB pipe
  std::atomic<std::size_t> ended = 0;
  std::vector<std::jthread> threads;
  while (threads.size() < clients) {
    threads.emplace_back([&] {
      const auto page = exchange(
          relay.port,
          "POST /submit HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 9\r\n\r\nprompt=hi");
      ended += page.find(relay::pages::kErrorMarkupFirst) != page.npos &&
               page.ends_with(relay::pages::kErrorMarkupSecond);
    });
  }
  threads.clear();
  const Figures after = figuresOf(relay.process.pid());
  const bool back = relay.settlesAndEnds(false);
  return {ended == clients && back,
          format("%zu POST /submit at once, streams cut or reset: %zu ended with the error "
                 "markup; RSS %.1f/%.1f MB, fds %d/%d",
                 clients, ended.load(), relay.start.rssMb, after.rssMb, relay.start.fds,
                 relay.end.fds)};
}

// A server started and stopped over and over on one port while clients ask for "/".
Outcome startStop() {
  auto server = std::make_shared<http::HttpServer>();
  server->GET["/"] = [](const http::HttpRequestPtr&) {
    return http::HttpResponse::ok(http::HttpResponseBody::text(std::string(kPageEnd)));
  };
  server->start(0, true);
  const int port = server->port(), cycles = quick ? 300 : 3000;
  Figures start = figuresOf(::getpid()), end;
  Hammer clients(8, port, false);
  for (int i = 0; i < cycles; ++i) {
    server->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 3));
    server->start(port, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
  }
  const long pages = clients.stop();
  const bool answers = exchange(port, kGetRoot).ends_with(kPageEnd);
  server->stop();
  const bool back = settles(::getpid(), start, false, end);
  return {pages > 0 && answers && back,
          format("%d stops and starts, 8 clients: %ld whole pages, %ld refused or cut; \"/\" "
                 "answered afterwards %d; fds %d/%d",
                 cycles, pages, clients.misses.load(), answers, start.fds, end.fds)};
}

Outcome settingsKilled() {
  const std::filesystem::path folder = work / "settings", path = folder / "settings.json";
  std::filesystem::create_directories(folder);
  long count = 0, kills = quick ? 60 : 300, broken = 0, mostLeft = 0;
  const auto temporaries = [&] {
    return std::count_if(std::filesystem::directory_iterator(folder), {}, [](const auto& entry) {
      return entry.path().filename().string().starts_with("settings.json.tmp");
    });
  };
  for (long i = 0; i < kills; ++i) {
    ChildProcess writer({"/proc/self/exe", "--write-settings", path.string()});
    if (!writer.waitForLine("ready", 60s)) return {false, "the writer did not start"};
    std::this_thread::sleep_for(std::chrono::microseconds(i * 7919 % 50000));
    writer.signal(SIGKILL);
    writer.waitForExit();
    // A whole object of strings, or no file before the first write.
    std::ifstream file(path);
    const auto saved = nlohmann::json::parse(file, nullptr, false);
    const bool whole = saved.is_object() && std::all_of(saved.begin(), saved.end(),
                                                        [](auto& v) { return v.is_string(); });
    broken += whole || (count == 0 && !std::filesystem::exists(path)) ? 0 : 1;
    count = whole ? std::max(count, std::stol(saved.value("count", "0"))) : count;
    mostLeft = std::max(mostLeft, temporaries());
  }
  const long left = platform::SettingsFile(path).set("after", "the kills") ? temporaries() : -1;
  return {broken == 0 && mostLeft <= 1 && left == 0,
          format("%ld writers killed 0-50 ms into their writes (count %ld): %ld broken files; "
                 "temporary files at most %ld, %ld after the next write",
                 kills, count, broken, mostLeft, left)};
}

// Thread creation fails at the pool's limit while clients come and go: the connections without
// a thread are closed, and once the others leave the server serves again.
Outcome threadsRunOut() {
  Relay relay(20);
  const bool limited = relay.warm;
  const int rounds = quick ? 3 : 10;
  int served = 0, refused = 0, after = 0;
  Figures peak;
  for (int round = 0; round < rounds && limited; ++round) {
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 80; ++i) {
      clients.push_back(std::make_unique<TestClient>(relay.port, 3s));
      clients.back()->send(kKeptRoot);
    }
    // An answered client keeps its connection, and its thread, until the round ends.
    for (auto& client : clients) {
      const bool whole = client->readResponse().ends_with(kPageEnd);
      served += whole;
      refused += !whole && client->closedWithoutData();
      if (!whole && !client->closedWithoutData()) break;  // left waiting: the rest would be too
    }
    peak = figuresOf(relay.process.pid());
    clients.clear();
    std::this_thread::sleep_for(300ms);  // their threads come free
    after += exchange(relay.port, kGetRoot).ends_with(kPageEnd);
  }
  const bool back = relay.settlesAndEnds(false);
  return {limited && refused > 0 && served + refused == 80 * rounds && after == rounds && back,
          format("%d rounds of 80 keep-alive clients, 20 threads allowed: %d served, %d closed "
                 "unanswered, %d lost; \"/\" answered after each round %d/%d; threads %d/%d",
                 rounds, served, refused, 80 * rounds - served - refused, after, rounds,
                 relay.start.threads, peak.threads)};
}

// 1000 clients trickle header lines, one each per second, while a polite client asks for "/".
Outcome slowHeads() {
  Relay relay;
  const auto baseline = [&relay] {
    std::vector<double> times;
    while (times.size() < 21) {
      const auto begin = Clock::now();
      if (!exchange(relay.port, kGetRoot).ends_with(kPageEnd)) return std::vector<double>{};
      times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
      std::this_thread::sleep_for(20ms);
    }
    std::ranges::sort(times);
    return times;
  };
  const std::vector<double> before = baseline();
  std::vector<std::unique_ptr<TestClient>> slow;
  for (int i = 0; i < 1000; ++i) {
    slow.push_back(std::make_unique<TestClient>(relay.port, 100ms, fromAddress(i).c_str()));
    slow.back()->send("GET / HTTP/1.1\r\n");
  }
  std::atomic<bool> done = false;
  std::jthread trickle([&] {
    for (int line = 0; !done; ++line) {
      for (auto& client : slow) {
        try {
          client->send("X-Line-" + std::to_string(line) + ": trickle\r\n");
        } catch (const std::exception&) {  // the server has closed it
        }
      }
      for (int i = 0; i < 10 && !done; ++i) std::this_thread::sleep_for(100ms);
    }
  });
  std::this_thread::sleep_for(2s);
  const Figures loaded = figuresOf(relay.process.pid());
  const std::vector<double> during = baseline();
  // Past the head deadline the server ends them.
  if (!quick) std::this_thread::sleep_for(65s);
  done = true;
  trickle.join();
  int ended = 0;
  for (auto& client : slow) ended += !quick && client->closedWithoutData();
  slow.clear();
  const bool back = relay.settlesAndEnds(false);
  const auto median = [](const std::vector<double>& times) {
    return times.empty() ? -1 : times[10];
  };
  return {!before.empty() && !during.empty() && (quick || ended == 1000) && back,
          format("1000 clients trickling a header line a second: polite \"/\" median %.2f ms "
                 "before, %.2f ms during (slowest %.2f ms); threads %d/%d; slow heads ended by "
                 "the server after 60 s: %s",
                 median(before), median(during), during.empty() ? -1 : during.back(),
                 relay.start.threads, loaded.threads,
                 quick ? "not waited for" : std::to_string(ended).c_str())};
}

Outcome memoryFollowsBytes() {
  Relay relay;
  const http::HttpLimits limits;
  const int bodies = quick ? 300 : 1000, heads = 100;
  std::vector<std::unique_ptr<TestClient>> clients;
  const int fds = figuresOf(relay.process.pid()).fds;
  const std::string post = "POST /submit HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  // Heads first (beyond maxConnections the last bodies wait in the backlog), one line short of
  // their end, as large as the limit lets them be.
  std::string head = post;
  for (int line = 0; head.size() + 1100 < limits.maxHeadBytes; ++line) {
    head += format("X-Fill-%d: %s\r\n", line, std::string(1000, 'h').c_str());
  }
  head += "X-Last: " + std::string(limits.maxHeadBytes - head.size() - 12, 'l') + "\r\n";
  for (int i = 0; i < heads; ++i) {
    clients.push_back(std::make_unique<TestClient>(relay.port, 60s, fromAddress(i).c_str()));
    clients.back()->send(head);
  }
  for (int i = 0; i < bodies; ++i) {
    clients.push_back(
        std::make_unique<TestClient>(relay.port, 60s, fromAddress(heads + i).c_str()));
    clients.back()->send(post + "Content-Length: " + std::to_string(limits.maxBodyBytes) +
                         "\r\n\r\n" + std::string(1024, 'x'));
  }
  // About that many descriptors (a few of the relay's own come and go): all accepted; a second more
  // lets their threads read what was sent.
  const int all = fds + int(std::min<std::size_t>(bodies + heads, limits.maxConnections));
  const bool held = within30s([&] { return figuresOf(relay.process.pid()).fds + 8 >= all; }, 50ms);
  std::this_thread::sleep_for(1s);
  const Figures peak = figuresOf(relay.process.pid());
  clients.clear();
  const bool back = relay.settlesAndEnds(true);
  const double grown = peak.rssMb - relay.start.rssMb, left = relay.end.rssMb - relay.start.rssMb;
  goals += format("; RSS +%.1f MB held (goal < 100), +%.1f MB after (goal < 50)", grown, left);
  // A sanitizer keeps freed memory in quarantine and adds its own: its figures judge nothing.
  bool judged = true;
#ifdef __SANITIZE_ADDRESS__
  judged = false, goals += " (AddressSanitizer: not judged)";
#endif
  return {
      held && back && (!judged || (grown < 100 && left < 50)),
      format("%d bodies declared %llu bytes with 1 KiB sent, %d heads of %zu bytes: RSS %.1f MB "
             "idle, %.1f MB held (+%.1f, goal < 100), %.1f MB after (+%.1f, goal < 50)",
             bodies, static_cast<unsigned long long>(limits.maxBodyBytes), heads, head.size() + 2,
             relay.start.rssMb, peak.rssMb, grown, relay.end.rssMb, left)};
}

Outcome addressShare() {
  Relay relay;
  const http::HttpLimits limits;
  std::vector<std::unique_ptr<TestClient>> idle;
  for (std::size_t i = 0; i < limits.maxConnectionsPerAddress; ++i) {
    idle.push_back(std::make_unique<TestClient>(relay.port, 30s, "127.0.0.1"));
  }
  const auto refusedOnce = [&relay] {
    return exchange(relay.port, kGetRoot, "127.0.0.1")
        .starts_with("HTTP/1.1 429 Too Many Requests\r\n");
  };
  // The first refusal tells that the server has taken them all.
  const bool held = within30s(refusedOnce, 50ms);
  int refused = 0;
  for (int i = 0; i < 20; ++i) refused += refusedOnce();
  double slowest = 0;
  bool answered = true;
  for (int i = 0; i < 20; ++i) {
    const auto begin = Clock::now();
    answered = exchange(relay.port, kGetRoot, "127.0.0.2").ends_with(kPageEnd) && answered;
    slowest =
        std::max(slowest, std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
  }
  // Descriptors: the soft limit raised to the hard one at start.
  std::ifstream limitsFile("/proc/" + std::to_string(relay.process.pid()) + "/limits");
  std::string soft, hard;
  for (std::string line; std::getline(limitsFile, line);) {
    if (line.starts_with("Max open files")) std::istringstream(line.substr(14)) >> soft >> hard;
  }
  goals += format("; another address answered in %.1f ms at most (goal < 100)", slowest);
  idle.clear();
  const bool back = relay.settlesAndEnds(true);
  return {held && refused == 20 && answered && slowest < 100 && soft == hard && back,
          format("127.0.0.1 holding its %zu connections idle: 20 more answered 429 %d/20; "
                 "127.0.0.2 answered %s, slowest %.1f ms (goal < 100); open files %s/%s",
                 limits.maxConnectionsPerAddress, refused, answered ? "20/20" : "not always",
                 slowest, soft.c_str(), hard.c_str())};
}

Outcome steadyLoad() {
  Relay relay;
  const int clients = quick ? 50 : 200;
  const auto duration = quick ? 3s : 30s;
  Hammer load(clients, relay.port, true);
  std::this_thread::sleep_for(duration);
  const long pages = load.stop();
  const Figures after = figuresOf(relay.process.pid());
  const bool back = relay.settlesAndEnds(false);
  return {
      load.misses == 0 && pages > 0 && back,
      format("%d keep-alive clients, %d s: %ld pages (%.0f/s), %ld misses; RSS %.1f MB "
             "before, %.1f MB after; fds %d/%d",
             clients, int(duration.count()), pages, double(pages) / double(duration.count()),
             load.misses.load(), relay.start.rssMb, after.rssMb, relay.start.fds, relay.end.fds)};
}

}  // namespace

}  // namespace velmora::stress

int main(int argc, char** argv) {
  using namespace velmora::stress;
  if (argc == 3 && argv[1] == "--write-settings"sv) {  // a settings writer, until it is killed
    velmora::platform::SettingsFile settings(argv[2]);
    long count = std::stol(settings.string("count").value_or("0"));
    std::printf("ready\n");
    std::fflush(stdout);
    for (const std::string filler(20000, 'x');;) {
      settings.set("count", std::to_string(++count));
      settings.set("filler" + std::to_string(count % 3), filler);
    }
  }
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const auto only = std::ranges::find(args, "--only"sv);
  quick = std::ranges::count(args, "--quick"sv) > 0;
  std::signal(SIGPIPE, SIG_IGN);
  // A thousand slow clients and their server, which inherits the limit.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
  setrlimit(RLIMIT_NOFILE, &files);
  const velmora::testing::TemporaryDirectory scratch;
  work = scratch.path;
  int ran = 0, failed = 0;
  const std::pair<const char*, Outcome (*)()> scenarios[] = {
      {"hostile-clients", hostileClients},
      {"backend-dies", backendDies},
      {"start-stop", startStop},
      {"settings-killed", settingsKilled},
      {"threads-run-out", threadsRunOut},
      {"slow-heads", slowHeads},
      {"memory-follows-bytes", memoryFollowsBytes},
      {"address-share", addressShare},
      {"steady-load", steadyLoad}};
  for (const auto& [name, run] : scenarios) {
    if (only + 1 < args.end() && std::string_view(name).find(only[1]) == std::string_view::npos)
      continue;
    const auto begin = Clock::now();
    const auto [passed, figures] = run();
    std::fprintf(stderr, "%s %-15s %5.1f s  %s\n", passed ? "PASS" : "FAIL", name,
                 std::chrono::duration<double>(Clock::now() - begin).count(), figures.c_str());
    failed += passed ? 0 : 1;
    ++ran;
  }
  std::fprintf(stderr, "velmora-stress: %d scenarios, %d failed%s\n", ran, failed, goals.c_str());
  return ran > 0 && failed == 0 ? 0 : 1;
}
