#include "update/curl_document_fetcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "tests/support/fake_backend_process.h"

namespace velmora::update {
namespace {

using velmora::testing::FakeBackendProcess;

struct Fetched {
  FetchResult result;
  std::thread::id thread;
};

// One GET through the fetcher, waited for (generously, only to end a hang).
Fetched fetch(const std::string& url) {
  CurlDocumentFetcher fetcher;
  std::promise<Fetched> done;
  auto future = done.get_future();
  fetcher.get(url, [&done](FetchResult result) {
    done.set_value({std::move(result), std::this_thread::get_id()});
  });
  if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "no completion for " << url;
    return {};
  }
  return future.get();
}

std::string text(const std::optional<std::vector<std::uint8_t>>& body) {
  return body ? std::string(body->begin(), body->end()) : std::string("<absent>");
}

TEST(CurlDocumentFetcherTest, ResponsesArriveWithStatusAndWholeBodyOffTheCallersThread) {
  FakeBackendProcess backend;
  ASSERT_TRUE(backend.running());
  const std::string document =
      R"({"Velmora":{"latestVersion":"9.9.9","downloadURL":"https://velmora.example/dl"}})";

  struct Row {
    const char* name;
    nlohmann::json scenario;
    int status;
    std::string body;
  };
  const Row rows[] = {
      {"document", {{"models_raw", document}}, 200, document},
      // An error status is not a failure: the checker decides what the body is worth.
      {"error status keeps its body",
       {{"models_status", 503}, {"models_body", {{"error", "busy"}}}},
       503,
       R"({"error": "busy"})"},
      {"empty body", {{"models_raw", ""}}, 200, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    backend.setScenario(row.scenario);
    const Fetched fetched = fetch(backend.url() + "/v1/models");
    EXPECT_FALSE(fetched.result.error) << *fetched.result.error;
    EXPECT_EQ(fetched.result.status, row.status);
    // The fake's own JSON printing may space members differently: compare parsed values then.
    if (row.body.starts_with("{") && fetched.result.body) {
      EXPECT_EQ(nlohmann::json::parse(text(fetched.result.body)), nlohmann::json::parse(row.body));
    } else {
      EXPECT_EQ(text(fetched.result.body), row.body);
    }
    EXPECT_NE(fetched.thread, std::this_thread::get_id());
  }
}

TEST(CurlDocumentFetcherTest, FailuresCarryTheClientsTextAndNoBody) {
  FakeBackendProcess backend;
  ASSERT_TRUE(backend.running());

  struct Row {
    const char* name;
    std::string url;
    std::string errorPart;  // a part of the error text that names the cause
  };
  const Row rows[] = {
      {"nothing listens",
       "http://127.0.0.1:" + std::to_string(velmora::testing::unusedLoopbackPort()) + "/x",
       "onnect"},
      {"not an address", "not a url at all", ""},
      {"unsupported scheme", "file:///etc/passwd", ""},
      {"oversized document", backend.url() + "/v1/models", "larger than"},
  };
  backend.setScenario(
      {{"models_raw", std::string(CurlDocumentFetcher::kMaxDocumentBytes + 1, 'x')}});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Fetched fetched = fetch(row.url);
    ASSERT_TRUE(fetched.result.error);
    EXPECT_FALSE(fetched.result.error->empty());
    EXPECT_NE(fetched.result.error->find(row.errorPart), std::string::npos)
        << *fetched.result.error;
    EXPECT_FALSE(fetched.result.body) << text(fetched.result.body);
    EXPECT_NE(fetched.thread, std::this_thread::get_id());
  }
}

TEST(CurlDocumentFetcherTest, ADocumentOfExactlyTheLimitIsAccepted) {
  FakeBackendProcess backend;
  ASSERT_TRUE(backend.running());
  backend.setScenario({{"models_raw", std::string(CurlDocumentFetcher::kMaxDocumentBytes, 'x')}});
  const Fetched fetched = fetch(backend.url() + "/v1/models");
  ASSERT_FALSE(fetched.result.error) << *fetched.result.error;
  ASSERT_TRUE(fetched.result.body);
  EXPECT_EQ(fetched.result.body->size(), CurlDocumentFetcher::kMaxDocumentBytes);
}

}  // namespace
}  // namespace velmora::update
