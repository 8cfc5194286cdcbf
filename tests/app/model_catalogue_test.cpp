// The model list: the document rules, the popup refill, the address rules, the newest-fetch rule,
// the model choice and the temperature label; a few fetches from the fake backend.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/view_controller.h"
#include "tests/app/controller_harness.h"
#include "tests/support/fake_backend_process.h"

namespace velmora::app {
namespace {

using testing::ControllerHarness;

// Model-list fetches held until the test answers them, each answered on a thread of its own
// like a real request's completion.
class HeldHttpClient final : public platform::HttpClient {
 public:
  class Task final : public platform::HttpClientTask {
   public:
    void cancel() override {}
    bool isFinished() const override { return false; }
    bool waitUntilFinished(std::chrono::milliseconds) const override { return false; }
  };

  std::shared_ptr<platform::HttpClientTask> start(
      platform::HttpClientRequest, std::shared_ptr<platform::HttpClientDelegate>) override {
    ADD_FAILURE() << "the model list is fetched whole, never streamed";
    return std::make_shared<Task>();
  }

  std::shared_ptr<platform::HttpClientTask> fetch(
      platform::HttpClientRequest request, platform::HttpClientCompletion completion) override {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    completions_.push_back(std::move(completion));
    return std::make_shared<Task>();
  }

  std::vector<platform::HttpClientRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  // Calls the completion of fetch number `index` on another thread and waits for it to return.
  void answer(std::size_t index, platform::HttpClientResult result) {
    platform::HttpClientCompletion completion;
    {
      std::lock_guard lock(mutex_);
      ASSERT_LT(index, completions_.size());
      completion = std::exchange(completions_[index], nullptr);
    }
    ASSERT_TRUE(completion) << "fetch " << index << " was answered twice";
    std::thread([&] { completion(std::move(result)); }).join();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<platform::HttpClientRequest> requests_;        // guarded by mutex_
  std::vector<platform::HttpClientCompletion> completions_;  // guarded by mutex_
};

platform::HttpClientResult body(const std::string& text, int status = 200) {
  return {status, {}, std::vector<uint8_t>(text.begin(), text.end()), std::nullopt};
}

platform::HttpClientResult failure(const std::string& error) {
  return {0, {}, {}, error};
}

using Names = std::vector<std::string>;

// A popup and a model that a failed fetch must leave alone.
void fillWithOld(ControllerHarness& harness) {
  harness.onMain([&] {
    auto& popup = harness.view().setModel;
    popup.addItems({"old-1", "old-2"});
    popup.selectItemWithTitle("old-2");
    harness.controller->selectedModel = "old-2";
    harness.view().monitor.setText("before");
  });
}

TEST(ModelCatalogueTest, DocumentRules) {
  struct Row {
    const char* name;
    platform::HttpClientResult result;
    std::optional<Names> names;  // nullopt: the fetch fails
  };
  const std::vector<Row> rows = {
      {"two ids and an entry without one",
       body(R"({"data":[{"id":"a"},{"object":"model"},{"id":"b"}]})"), Names{"a", "b"}},
      {"an id that is not a string is skipped", body(R"({"data":[{"id":5},{"id":"old-2"}]})"),
       Names{"old-2"}},
      {"duplicates kept in order", body(R"({"data":[{"id":"b"},{"id":"a"},{"id":"b"}]})"),
       Names{"b", "a", "b"}},
      {"other members ignored", body(R"({"object":"list","data":[{"id":"a","x":[1]}],"n":1})"),
       Names{"a"}},
      {"empty data", body(R"({"data":[]})"), Names{}},
      {"an error status with a usable body", body(R"({"data":[{"id":"a"}]})", 500), Names{"a"}},
      {"a number among the objects", body(R"({"data":[{"id":"a"},3]})"), std::nullopt},
      {"data not an array", body(R"({"data":{"id":"a"}})"), std::nullopt},
      {"data missing", body(R"({"models":[]})"), std::nullopt},
      {"top level an array", body(R"([{"id":"a"}])"), std::nullopt},
      {"not JSON", body("<html>busy</html>"), std::nullopt},
      {"cut short", body(R"({"data":[{"id":"a"})"), std::nullopt},
      {"an id that is not UTF-8", body("{\"data\":[{\"id\":\"\xff\"}]}"), std::nullopt},
      {"empty body", body(""), std::nullopt},
      {"no answer", failure("Couldn't connect to server"), std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HeldHttpClient client;
    ControllerHarness harness(client);
    fillWithOld(harness);
    harness.onMain([&] { harness.controller->fetchModelList(); });
    client.answer(0, row.result);
    harness.settle();
    auto& view = harness.view();
    if (!row.names) {
      EXPECT_EQ(view.monitor.text(), "Failed to fetch model list");
      EXPECT_EQ(view.setModel.itemTitles(), (Names{"old-1", "old-2"}));
      EXPECT_EQ(view.setModel.titleOfSelectedItem(), std::optional<std::string>("old-2"));
      EXPECT_EQ(harness.controller->selectedModel, std::optional<std::string>("old-2"));
      continue;
    }
    EXPECT_EQ(view.setModel.itemTitles(), *row.names);
    const bool kept = std::find(row.names->begin(), row.names->end(), "old-2") != row.names->end();
    if (kept) {
      EXPECT_EQ(view.setModel.titleOfSelectedItem(), std::optional<std::string>("old-2"));
      EXPECT_EQ(view.monitor.text(), "before");
      EXPECT_EQ(harness.controller->selectedModel, std::optional<std::string>("old-2"));
    } else {
      EXPECT_EQ(view.setModel.titleOfSelectedItem(), std::nullopt);
      EXPECT_EQ(view.monitor.text(), "Select model, then start server");
      EXPECT_EQ(harness.controller->selectedModel, std::optional<std::string>(""));
    }
    EXPECT_TRUE(view.tempBar.enabled);
  }
}

TEST(ModelCatalogueTest, PrintsTheDataArray) {
  HeldHttpClient client;
  ControllerHarness harness(client);
  harness.onMain([&] { harness.controller->fetchModelList(); });
  ::testing::internal::CaptureStdout();
  client.answer(0, body(R"({"object":"list","data":[{"id":"a","owned_by":"me"}]})"));
  harness.settle();
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find(R"([{"id":"a","owned_by":"me"}])"
                     "\n"),
            std::string::npos)
      << out;
}

TEST(ModelCatalogueTest, SavedModelMissingKeepsTheStoredName) {
  HeldHttpClient client;
  ControllerHarness harness(client);
  harness.settings().set("modelName", "gone");
  harness.onMain([&] {
    harness.controller->loadSettings();
    harness.controller->fetchModelList();
  });
  client.answer(0, body(R"({"data":[{"id":"a"},{"id":"b"}]})"));
  harness.settle();
  EXPECT_EQ(harness.view().monitor.text(), "Select model, then start server");
  EXPECT_EQ(harness.view().setModel.titleOfSelectedItem(), std::nullopt);
  EXPECT_EQ(harness.controller->selectedModel, std::optional<std::string>(""));
  EXPECT_EQ(harness.settingsOfNextLaunch()->string("modelName"),
            std::optional<std::string>("gone"));
}

TEST(ModelCatalogueTest, ReasoningModelDisablesTheSlider) {
  ControllerHarness harness;
  harness.onMain([&] {
    harness.controller->isReasoningModel = true;
    harness.view().tempBar.enabled = true;
    harness.controller->updateModelPopup({"a"});
  });
  EXPECT_FALSE(harness.view().tempBar.enabled);
}

TEST(ModelCatalogueTest, ListAddress) {
  struct Row {
    const char* host;
    const char* port;
    std::optional<std::string> url;  // nullopt: no request can be made
  };
  const std::vector<Row> rows = {
      {"", "", "http://127.0.0.1:1234/v1/models"},
      {"localhost", "", "http://localhost:1234/v1/models"},
      {"", "99", "http://127.0.0.1:99/v1/models"},
      {"10.0.0.5", "8000", "http://10.0.0.5:8000/v1/models"},
      {"[::1]", "1234", "http://[::1]:1234/v1/models"},
      {"bad host", "1234", std::nullopt},
      {"host", "port", std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.host) + " " + row.port);
    HeldHttpClient client;
    ControllerHarness harness(client);
    fillWithOld(harness);
    harness.onMain([&] {
      harness.view().studioIP.setText(row.host);
      harness.view().studioPort.setText(row.port);
      harness.controller->fetchModelList();
    });
    harness.settle();
    const auto requests = client.requests();
    if (row.url) {
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].url, *row.url);
      EXPECT_EQ(requests[0].method, "GET");
      EXPECT_EQ(harness.view().monitor.text(), "before");
    } else {
      EXPECT_TRUE(requests.empty());
      EXPECT_EQ(harness.view().monitor.text(), "Failed to fetch model list");
      EXPECT_EQ(harness.view().setModel.itemTitles(), (Names{"old-1", "old-2"}));
    }
  }
}

TEST(ModelCatalogueTest, HostAndPortActionsFetchOnlyWhenTheTemplateChanged) {
  HeldHttpClient client;
  ControllerHarness harness(client);
  auto& view = harness.view();
  harness.onMain([&] {
    harness.controller->loadSettings();
    view.studioIP.setText("10.0.0.5");
    harness.controller->studioIPDidChange();
    view.studioPort.setText("");
    harness.controller->studioPortDidChange();
    view.studioIP.setText("bad host");
    harness.controller->studioIPDidChange();
  });
  const auto requests = client.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].url, "http://10.0.0.5:1234/v1/models");
  EXPECT_EQ(requests[1].url, "http://10.0.0.5:1234/v1/models");
  EXPECT_EQ(harness.controller->urlRequestTemplate().url,
            "http://10.0.0.5:1234/v1/chat/completions");
}

TEST(ModelCatalogueTest, OnlyTheNewestFetchIsApplied) {
  HeldHttpClient client;
  ControllerHarness harness(client);
  auto& view = harness.view();
  harness.onMain([&] {
    view.studioIP.setText("old-host");
    harness.controller->fetchModelList();  // 0: slow
    view.studioIP.setText("new-host");
    harness.controller->studioIPDidChange();  // 1
  });
  ASSERT_EQ(client.requests().size(), 2u);

  // The newer list first, then the old one late: the old one is dropped.
  client.answer(1, body(R"({"data":[{"id":"new"}]})"));
  client.answer(0, body(R"({"data":[{"id":"old"}]})"));
  harness.settle();
  EXPECT_EQ(view.setModel.itemTitles(), Names{"new"});

  // An old answer arriving before the newest one is dropped too, failures included.
  harness.onMain([&] { harness.controller->fetchModelList(); });  // 2
  harness.onMain([&] { harness.controller->fetchModelList(); });  // 3
  client.answer(2, failure("timed out"));
  harness.settle();
  EXPECT_NE(view.monitor.text(), "Failed to fetch model list");
  EXPECT_EQ(view.setModel.itemTitles(), Names{"new"});
  client.answer(3, body(R"({"data":[{"id":"newest"}]})"));
  harness.settle();
  EXPECT_EQ(view.setModel.itemTitles(), Names{"newest"});
}

TEST(ModelCatalogueTest, ChoosingAModel) {
  ControllerHarness harness;
  auto& view = harness.view();
  harness.onMain([&] {
    harness.controller->loadSettings();
    view.setModel.addItems({"a", "b"});
    harness.controller->setModelChanged();  // nothing selected: nothing happens
  });
  harness.settle();
  EXPECT_EQ(harness.controller->selectedModel, std::optional<std::string>(""));
  EXPECT_EQ(harness.settingsOfNextLaunch()->string("modelName"), std::nullopt);
  EXPECT_TRUE(view.monitor.history.empty());

  harness.onMain([&] {
    view.setModel.selectItemWithTitle("b");
    harness.controller->setModelChanged();
  });
  harness.settle();
  EXPECT_EQ(harness.controller->selectedModel, std::optional<std::string>("b"));
  EXPECT_EQ(harness.settingsOfNextLaunch()->string("modelName"), std::optional<std::string>("b"));
  EXPECT_EQ(view.monitor.text(),
            "New model is selected.\nServer is running on http://localhost:8080\nModel: b");
}

TEST(ModelCatalogueTest, TemperatureLabel) {
  struct Row {
    double value;
    const char* label;
  };
  const std::vector<Row> rows = {
      {0.7, "Temperature: 0.7"},  {1.0, "Temperature: 1.0"},
      {0.0, "Temperature: 0.0"},  {1.96, "Temperature: 2.0"},
      {0.04, "Temperature: 0.0"}, {1e20, "Temperature: 100000000000000000000.0"},
  };
  ControllerHarness harness;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    harness.onMain([&] {
      harness.view().tempBar.value = row.value;
      harness.controller->sliderValueChanged();
    });
    EXPECT_EQ(harness.view().tempBarLabel.text(), row.label);
  }
}

// The same decisions over a real request to the fake backend.
TEST(ModelCatalogueTest, FetchesFromTheFakeBackend) {
  velmora::testing::FakeBackendProcess backend;
  struct Row {
    const char* name;
    nlohmann::json scenario;
    std::optional<Names> names;
  };
  const std::vector<Row> rows = {
      {"an entry without id", {{"models", {"m1", {{"object", "model"}}, "m2"}}}, Names{"m1", "m2"}},
      {"empty list", {{"models", nlohmann::json::array()}}, Names{}},
      {"a number among the objects", {{"models", {"m1", 3}}}, std::nullopt},
      {"not JSON", {{"models_raw", "no models here"}}, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    backend.setScenario(row.scenario);
    ControllerHarness harness;
    fillWithOld(harness);
    harness.onMain([&] {
      harness.view().studioIP.setText("127.0.0.1");
      harness.view().studioPort.setText(std::to_string(backend.port()));
      harness.controller->fetchModelList();
    });
    ASSERT_TRUE(harness.waitFor([&] { return harness.view().monitor.text() != "before"; }));
    if (row.names) {
      EXPECT_EQ(harness.view().setModel.itemTitles(), *row.names);
      EXPECT_EQ(harness.view().monitor.text(), "Select model, then start server");
    } else {
      EXPECT_EQ(harness.view().monitor.text(), "Failed to fetch model list");
      EXPECT_EQ(harness.view().setModel.itemTitles(), (Names{"old-1", "old-2"}));
    }
  }
}

}  // namespace
}  // namespace velmora::app
