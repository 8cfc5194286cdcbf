#include "relay/streaming_delegate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "relay/completion_request.h"
#include "relay/pages.h"
#include "tests/relay/relay_fixture.h"

namespace velmora::relay {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string errorMarkup(const std::string& escapedDescription) {
  return std::string(pages::kErrorMarkupFirst) + escapedDescription +
         std::string(pages::kErrorMarkupSecond);
}

// Everything the delegate wrote, call by call; written on the request's thread.
class Recorder {
 public:
  void add(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    writes_.emplace_back(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  std::vector<std::string> writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> writes_;
};

// A controller (the delegate's parent) on fake controls, and the fake backend.
class StreamingDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fake.running());
    harness.onMain([&] {
      harness.view().serverPort.setText("8080");
      harness.controller->selectedModel = "m";
    });
  }

  struct Outcome {
    std::vector<std::string> writes;
    int finishCalls = 0;
  };

  // One backend request for a one-prompt conversation, relayed by a delegate into a recorder;
  // returns once the request has ended and the main queue has run what it queued.
  Outcome relay(const nlohmann::json& scenario, PieceEncoding encoding = PieceEncoding::htmlText,
                std::optional<int> port = std::nullopt) {
    fake.setScenario(scenario);
    platform::HttpClientRequest urlTemplate;
    urlTemplate.url =
        "http://127.0.0.1:" + std::to_string(port.value_or(fake.port())) + "/v1/chat/completions";
    const auto request = makeCompletionRequest(urlTemplate, "m", "", {ChatMessage{"user", "hi"}});

    auto recorder = std::make_shared<Recorder>();
    auto finishCalls = std::make_shared<std::atomic<int>>(0);
    auto finished = std::make_shared<std::promise<void>>();
    auto delegate = std::make_shared<StreamingDelegate>(
        [recorder](std::span<const uint8_t> bytes) { recorder->add(bytes); },
        std::weak_ptr<RelayHost>(harness.controller),
        [finishCalls, finished] {
          if (finishCalls->fetch_add(1) == 0) finished->set_value();
        },
        encoding);
    const auto task = harness.client.start(request, std::move(delegate));
    EXPECT_EQ(finished->get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(task->waitUntilFinished(std::chrono::seconds(30)));
    harness.settle();
    return {recorder->writes(), finishCalls->load()};
  }

  std::string monitorText() {
    std::string text;
    harness.onMain([&] { text = harness.view().monitor.text(); });
    return text;
  }

  velmora::testing::FakeBackendProcess fake;
  app::testing::ControllerHarness harness;
};

TEST_F(StreamingDelegateTest, WritesEachPieceWithAFlushThenTheTailAndStoresTheAnswer) {
  const Outcome outcome = relay({{"pieces", {"Hello", ", ", "world", "!"}}});
  const std::vector<std::string> expected = {
      "Hello", "", ", ", "", "world", "", "!", "", std::string(pages::kAnswerPageTail)};
  EXPECT_EQ(outcome.writes, expected);
  EXPECT_EQ(outcome.finishCalls, 1);
  EXPECT_EQ(harness.controller->chatMessages(),
            (std::vector<ChatMessage>{{"assistant", "Hello, world!"}}));
  EXPECT_EQ(monitorText(), "Server is running on http://localhost:8080\nModel: m");
}

TEST_F(StreamingDelegateTest, ThePageEscapesMarkupAndShowsReasoningTheConversationGetsNeither) {
  const nlohmann::json scenario = {{"pieces", {"<thi", "nk>plan & <b></think>", "Answer <i>"}}};
  const Outcome page = relay(scenario);
  const std::vector<std::string> expected = {"",
                                             "",
                                             "<think>plan &amp; &lt;b&gt;</think>",
                                             "",
                                             "Answer &lt;i&gt;",
                                             "",
                                             std::string(pages::kAnswerPageTail)};
  EXPECT_EQ(page.writes, expected);
  EXPECT_EQ(harness.controller->chatMessages(),
            (std::vector<ChatMessage>{{"assistant", "Answer <i>"}}));

  // The pass-through relays the model's text as it came.
  const Outcome plain = relay(scenario, PieceEncoding::plain);
  const std::vector<std::string> unescaped = {"<thi",
                                              "",
                                              "nk>plan & <b></think>",
                                              "",
                                              "Answer <i>",
                                              "",
                                              std::string(pages::kAnswerPageTail)};
  EXPECT_EQ(plain.writes, unescaped);
}

// Servers that send reasoning in a field of its own: the page shows it wrapped like inline
// reasoning, the conversation gets the answer alone.
TEST_F(StreamingDelegateTest, ReasoningFieldsShowInThinkTagsAndAreNeverStored) {
  const std::string tail(pages::kAnswerPageTail);
  struct Row {
    const char* name;
    nlohmann::json scenario;
    PieceEncoding encoding;
    std::vector<std::string> writes;
    std::vector<ChatMessage> stored;
  };
  const std::vector<Row> rows = {
      {"llama.cpp field, escaped on the page",
       {{"reasoning", {"a < b", " & so"}}, {"pieces", {"Yes", "."}}},
       PieceEncoding::htmlText,
       {"<think>", "a &lt; b", "", " &amp; so", "", "</think>", "Yes", "", ".", "", tail},
       {{"assistant", "Yes."}}},
      {"Ollama field",
       {{"reasoning", {"r"}}, {"reasoning_field", "reasoning"}, {"pieces", {"A"}}},
       PieceEncoding::htmlText,
       {"<think>", "r", "", "</think>", "A", "", tail},
       {{"assistant", "A"}}},
      {"pass-through keeps the text as it came",
       {{"reasoning", {"a < b"}}, {"pieces", {"<i>"}}},
       PieceEncoding::plain,
       {"<think>", "a < b", "", "</think>", "<i>", "", tail},
       {{"assistant", "<i>"}}},
      {"a stream of reasoning alone is closed at its end",
       {{"reasoning", {"only"}}, {"pieces", nlohmann::json::array()}},
       PieceEncoding::htmlText,
       {"<think>", "only", "", "</think>", tail},
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    harness.controller->resetChatHistory();
    const Outcome outcome = relay(row.scenario, row.encoding);
    EXPECT_EQ(outcome.writes, row.writes);
    EXPECT_EQ(harness.controller->chatMessages(), row.stored);
  }

  // A failure while the model thinks still closes the reasoning before the error markup.
  harness.controller->resetChatHistory();
  const Outcome failed =
      relay({{"reasoning", {"thinking", "more"}},
             {"raw_events",
              {"data: {\"choices\":[{\"delta\":{\"reasoning_content\":\"hm\"}}]}\n\n",
               "data: {\"error\":{\"message\":\"Context overflow\"}}\n\n"}}});
  EXPECT_EQ(failed.writes, (std::vector<std::string>{"<think>", "hm", "", "</think>",
                                                     errorMarkup("Context overflow")}));
  EXPECT_TRUE(harness.controller->chatMessages().empty());
  EXPECT_THAT(monitorText(), StartsWith("[Error: Context overflow]\n"));
}

TEST_F(StreamingDelegateTest, TheSameStreamGivesTheSameWritesHoweverTheBackendCutsIt) {
  const nlohmann::json pieces = {"Grüße", " aus ", "日本 🙂", "\n", "done"};
  const Outcome reference = relay({{"pieces", pieces}, {"split", "lines"}});
  ASSERT_EQ(reference.writes.size(), 11u);
  for (const char* split : {"whole", "bytes", "halves", "utf8"}) {
    SCOPED_TRACE(split);
    for (const bool crlf : {false, true}) {
      harness.onMain([&] { harness.controller->resetChatHistory(); });
      const Outcome outcome = relay({{"pieces", pieces}, {"split", split}, {"crlf", crlf}});
      EXPECT_EQ(outcome.writes, reference.writes);
      EXPECT_EQ(harness.controller->chatMessages(),
                (std::vector<ChatMessage>{{"assistant", "Grüße aus 日本 🙂\ndone"}}));
    }
  }
}

TEST_F(StreamingDelegateTest, AnErrorStatusEndsThePageWithTheBackendsMessage) {
  struct Row {
    const char* name;
    int status;
    nlohmann::json body;
    std::string description;  // as the monitor shows it
    std::string escaped;      // as the page shows it
  };
  const std::string longText(300, 'z');
  const std::vector<Row> rows = {
      {"error text",
       400,
       {{"error", "No models loaded"}},
       "HTTP 400: No models loaded",
       "HTTP 400: No models loaded"},
      {"error object",
       404,
       {{"error", {{"message", "Model <x> not found"}, {"type", "nf"}}}},
       "HTTP 404: Model <x> not found",
       "HTTP 404: Model &lt;x&gt; not found"},
      {"other JSON",
       500,
       {{"detail", {"a", 1}}},
       "HTTP 500: {\"detail\":[\"a\",1]}",
       "HTTP 500: {\"detail\":[\"a\",1]}"},
      {"long body cut", 503, longText, "HTTP 503: \"" + longText.substr(0, 199) + "…",
       "HTTP 503: \"" + longText.substr(0, 199) + "…"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome outcome = relay({{"status", row.status}, {"error_body", row.body}});
    EXPECT_EQ(outcome.writes, std::vector<std::string>{errorMarkup(row.escaped)});
    EXPECT_EQ(outcome.finishCalls, 1);
    EXPECT_TRUE(harness.controller->chatMessages().empty());
    EXPECT_EQ(monitorText(), "[Error: " + row.description +
                                 "]\nServer is running on http://localhost:8080\nModel: m");
  }
}

TEST_F(StreamingDelegateTest, FailuresKeepTheTextSoFarAndEndWithTheErrorMarkup) {
  struct Row {
    const char* name;
    nlohmann::json scenario;
    bool backendDown;
    std::vector<std::string> pieceWrites;
    std::string storedAnswer;
    std::string descriptionPart;
  };
  const std::vector<Row> rows = {
      {"backend down", nlohmann::json::object(), true, {}, "", "Couldn't connect to server"},
      {"closed mid-stream",
       {{"close_after", 2}},
       false,
       {"Hello", "", ", ", ""},
       "Hello, ",
       "transfer closed"},
      {"error event in the stream",
       {{"pieces", {"<think>x</think>Part", "never"}},
        {"stream_error", "Context <overflow>"},
        {"stream_error_after", 1}},
       false,
       {"<think>x</think>Part", ""},
       "Part",
       "Context &lt;overflow&gt;"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    harness.onMain([&] { harness.controller->resetChatHistory(); });
    const Outcome outcome =
        relay(row.scenario, PieceEncoding::htmlText,
              row.backendDown ? std::optional<int>(velmora::testing::unusedLoopbackPort())
                              : std::nullopt);
    ASSERT_EQ(outcome.writes.size(), row.pieceWrites.size() + 1);
    EXPECT_EQ(std::vector<std::string>(outcome.writes.begin(), outcome.writes.end() - 1),
              row.pieceWrites);
    EXPECT_THAT(outcome.writes.back(), StartsWith(std::string(pages::kErrorMarkupFirst)));
    EXPECT_THAT(outcome.writes.back(), HasSubstr(row.descriptionPart));
    EXPECT_EQ(outcome.finishCalls, 1);
    const std::vector<ChatMessage> stored =
        row.storedAnswer.empty() ? std::vector<ChatMessage>{}
                                 : std::vector<ChatMessage>{{"assistant", row.storedAnswer}};
    EXPECT_EQ(harness.controller->chatMessages(), stored);
    EXPECT_THAT(monitorText(), StartsWith("[Error: "));
    EXPECT_THAT(monitorText(), HasSubstr("]\nServer is running on http://localhost:8080"));
  }
}

TEST_F(StreamingDelegateTest, AStreamWithoutTextStoresNothingAndStillEndsThePage) {
  const Outcome outcome = relay({{"pieces", nlohmann::json::array()}});
  EXPECT_EQ(outcome.writes, std::vector<std::string>{std::string(pages::kAnswerPageTail)});
  EXPECT_TRUE(harness.controller->chatMessages().empty());
}

TEST(ErrorStatusDescriptionTest, NamesTheStatusAndWhatTheBodySays) {
  struct Row {
    const char* name;
    int status;
    std::string body;
    std::string description;
  };
  const std::vector<Row> rows = {
      {"empty body", 502, "", "HTTP 502"},
      {"plain text on one line", 500, "  upstream\r\nfailed\tbadly \n",
       "HTTP 500: upstream  failed badly"},
      {"not UTF-8", 500, "\xff\xfe", "HTTP 500"},
      {"a cut never splits a character", 500, std::string(199, 'x') + "é",
       "HTTP 500: " + std::string(199, 'x') + "…"},
      {"error member not text", 400, R"({"error":5})", R"(HTTP 400: {"error":5})"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(errorStatusDescription(
                  row.status, {reinterpret_cast<const uint8_t*>(row.body.data()), row.body.size()}),
              row.description);
  }
}

TEST(StreamingDelegateWriterTest, WriterFailuresAreReportedAndTheRelayGoesOn) {
  int finishCalls = 0;
  int writeCalls = 0;
  StreamingDelegate delegate(
      [&](std::span<const uint8_t>) {
        ++writeCalls;
        throw std::runtime_error("gone");
      },
      {}, [&] { ++finishCalls; });
  const std::string body = "data: {\"choices\":[{\"delta\":{\"content\":\"a\"}}]}\n";
  ::testing::internal::CaptureStdout();
  delegate.didReceiveData({reinterpret_cast<const uint8_t*>(body.data()), body.size()});
  delegate.didCompleteWithError(std::nullopt);
  delegate.didCompleteWithError(std::string("again"));  // ignored: the request ended once
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed,
            "❌ writer (bytes) failed with error: gone\n"
            "❌ writer (flush) failed with error: gone\n");
  EXPECT_EQ(writeCalls, 3);  // piece, flush, tail
  EXPECT_EQ(finishCalls, 1);
}

}  // namespace
}  // namespace velmora::relay
