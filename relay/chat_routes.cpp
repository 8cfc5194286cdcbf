#include "relay/chat_routes.h"

#include <charconv>
#include <chrono>
#include <ctime>

#include "http/body_decoding.h"
#include "platform/console.h"
#include "relay/chat_answer_stream.h"
#include "relay/chat_answers.h"
#include "relay/chat_page.h"
#include "relay/completion_request.h"
#include "relay/conversation_store.h"
#include "relay/host_handler.h"
#include "relay/stream_relay.h"

namespace velmora::relay {

namespace {

// Long enough for any backend to notice its closed connection and the answer to join the
// conversation; a hung request thread must not hold the person's browser for ever.
constexpr auto kStopWait = std::chrono::seconds(10);

http::HttpResponse pageResponse(int status, std::string phrase, std::string page,
                                std::string_view scriptNonce) {
  http::HttpHeaders headers = chat_page::headers(scriptNonce);
  headers.emplace_back("Content-Length", std::to_string(page.size()));
  return http::HttpResponse::raw(
      status, std::move(phrase), std::move(headers),
      [page = std::move(page)](http::HttpResponseBodyWriter& out) { out.write(page); });
}

http::HttpResponse refusal(int status, std::string phrase, std::string_view heading,
                           std::string_view text) {
  return pageResponse(status, std::move(phrase), chat_page::notice(heading, text), "");
}

http::HttpResponse seeOtherChat() {
  return http::HttpResponse::raw(
      303, "See Other",
      http::HttpHeaders{{"Location", "/chat"}, {"Cache-Control", "no-store"},
                        {"Content-Length", "0"}});
}

// The first field called `name`, decoded; nullopt when there is none.
std::optional<std::string> formField(const http::HttpRequest& request, std::string_view name) {
  for (auto& [field, value] : http::urlencodedFormFields(request)) {
    if (field == name) return std::move(value);
  }
  return std::nullopt;
}

bool blank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

http::HttpResponse chatPage(RelayHost& host, ChatAnswers& answers) {
  const std::string nonce = chat_page::makeScriptNonce();
  std::string page = chat_page::begin(std::nullopt, answers.streaming() > 0);
  chat_page::appendConversation(page, host.chatMessages());
  page += chat_page::end({}, nonce);
  return pageResponse(200, "OK", std::move(page), nonce);
}

// The conversation as Markdown: each turn under a heading naming who spoke, answers without their
// reasoning, stopped ones marked.
std::string conversationMarkdown(const std::vector<ChatMessage>& turns) {
  std::string text = "# Velmora conversation\n";
  for (const ChatMessage& turn : turns) {
    const bool person = turn.role == "user";
    text += person ? "\n## Person\n\n" : "\n## Model\n\n";
    const std::string content = person ? turn.content : stripReasoning(turn.content, turn.stopped);
    text += content;
    if (!content.ends_with('\n')) text += '\n';
    if (turn.stopped) text += "\n*(Stopped before the end)*\n";
  }
  return text;
}

// A download named "velmora-conversation-YYYY-MM-DD.EXTENSION" after today's local date.
http::HttpResponse download(std::string body, std::string contentType, std::string_view extension) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char date[16] = "undated";
  if (::localtime_r(&now, &local) != nullptr) std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  const std::string name =
      "velmora-conversation-" + std::string(date) + "." + std::string(extension);
  const std::string length = std::to_string(body.size());  // before the writer takes the body
  return http::HttpResponse::raw(
      200, "OK",
      http::HttpHeaders{{"Content-Type", std::move(contentType)},
                        {"Content-Disposition", "attachment; filename=\"" + name + "\""},
                        {"Cache-Control", "no-store"},
                        {"X-Content-Type-Options", "nosniff"},
                        {"Content-Length", length}},
      [body = std::move(body)](http::HttpResponseBodyWriter& out) { out.write(body); });
}

// What a prompt's answer page needs once the connection is ready for its body. Shared, not
// copied: the response's writer is copied on its way to the connection.
struct PendingAnswer {
  std::string conversation;  // the page's conversation with the new prompt
  platform::HttpClientRequest request;
  uint64_t generation = 0;
  std::string scriptNonce;
};

void streamAnswer(http::HttpResponseBodyWriter& out, const std::weak_ptr<RelayHost>& host,
                  const std::shared_ptr<ChatAnswers>& answers, PendingAnswer& pending) {
  const uint64_t id = answers->add();
  ConnectionSink sink(out);
  sink.write(chat_page::begin(id));
  sink.write(std::exchange(pending.conversation, {}));
  sink.write(chat_page::followScript(pending.scriptNonce));
  sink.write(chat_page::answerOpen());
  sink.write(chat_page::waitingNote(answers->streaming() - 1));
  sink.flush();  // the Stop button is on the page before the answer's first piece
  auto delegate = std::make_shared<ChatAnswerStream>(sink, host, answers, id, pending.generation,
                                                     pending.scriptNonce);
  runBackendRequest(sink, host, std::move(pending.request), delegate,
                    [&](const std::shared_ptr<platform::HttpClientTask>& task) {
                      answers->started(id, task);
                    });
}

http::HttpResponse chatPrompt(const std::shared_ptr<RelayHost>& host,
                              const std::shared_ptr<ChatAnswers>& answers,
                              const http::HttpRequest& request) {
  const std::optional<std::string> prompt = formField(request, "prompt");
  if (!prompt || blank(*prompt)) {
    return refusal(400, "Bad Request", "Nothing to send",
                   "The prompt was empty. Write a prompt and send it again.");
  }
  const std::optional<std::string> model = modelToSend(host->modelChoice());
  if (!model) {
    // Nothing is sent and the conversation stays as it was; the prompt waits in the form.
    platform::printLine("/chat: " + std::string(kNoModelChosen));
    std::string page = chat_page::begin(std::nullopt);
    chat_page::appendConversation(page, host->chatMessages());
    page += chat_page::errorNote(kNoModelChosen);
    page += chat_page::end(*prompt);
    return pageResponse(503, "Service Unavailable", std::move(page), "");
  }

  const std::string systemPrompt = host->systemPromptText();
  ChatSnapshot conversation = host->appendUserMessage(*prompt);
  host->setMonitorText("Processing request...\nUser: " + *prompt);
  auto pending = std::make_shared<PendingAnswer>();
  chat_page::appendConversation(pending->conversation, conversation.messages);
  pending->generation = conversation.generation;
  pending->request =
      host->makeCompletionRequest(*model, systemPrompt, std::move(conversation.messages));
  pending->scriptNonce = chat_page::makeScriptNonce();

  http::HttpHeaders headers = chat_page::headers(pending->scriptNonce);
  headers.emplace_back("X-Accel-Buffering", "no");
  return http::HttpResponse::raw(
      200, "OK", std::move(headers),
      [weakHost = std::weak_ptr<RelayHost>(host), answers, pending](http::HttpResponseBodyWriter& out) {
        streamAnswer(out, weakHost, answers, *pending);
      });
}

http::HttpResponse chatStop(ChatAnswers& answers, const http::HttpRequest& request) {
  std::optional<uint64_t> id;
  if (const std::optional<std::string> field = formField(request, "answer")) {
    uint64_t number = 0;
    const auto [end, error] = std::from_chars(field->data(), field->data() + field->size(), number);
    if (error != std::errc() || end != field->data() + field->size()) {
      return refusal(400, "Bad Request", "Nothing stopped", "The answer to stop was not named.");
    }
    id = number;
  }
  if (!answers.stop(id, kStopWait)) {
    platform::printLine("/chat/stop: the answer had not ended after the wait");
  }
  return seeOtherChat();
}

http::HttpResponse chatClear(RelayHost& host, ChatAnswers& answers) {
  // Reset first: the answers stopped next then belong to the old conversation and are dropped.
  host.resetChatHistory();
  answers.stop(std::nullopt, kStopWait);
  platform::printLine("/chat/clear:  " + host.chatHistoryDescription());
  return seeOtherChat();
}

}  // namespace

void registerChatRoutes(http::HttpServer& server, const std::weak_ptr<RelayHost>& host) {
  const auto answers = std::make_shared<ChatAnswers>();
  using HostPtr = const std::shared_ptr<RelayHost>&;
  using RequestPtr = const http::HttpRequestPtr&;
  const auto page =
      withHost(host, [answers](HostPtr h, RequestPtr) { return chatPage(*h, *answers); });
  server.GET["/chat"] = page;
  server.HEAD["/chat"] = page;
  server.POST["/chat"] = withHost(
      host, [answers](HostPtr h, RequestPtr r) { return chatPrompt(h, answers, *r); });
  server.GET["/chat/export.md"] = withHost(host, [](HostPtr h, RequestPtr) {
    return download(conversationMarkdown(h->chatMessages()), "text/markdown; charset=utf-8", "md");
  });
  server.GET["/chat/export.json"] = withHost(host, [](HostPtr h, RequestPtr) {
    return download(encodeConversation(h->chatMessages()), "application/json", "json");
  });
  server.POST["/chat/stop"] =
      withHost(host, [answers](HostPtr, RequestPtr r) { return chatStop(*answers, *r); });
  server.POST["/chat/clear"] =
      withHost(host, [answers](HostPtr h, RequestPtr) { return chatClear(*h, *answers); });
}

}  // namespace velmora::relay
