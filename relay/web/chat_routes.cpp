#include "relay/web/chat_routes.h"

#include <charconv>
#include <chrono>
#include <ctime>
#include <variant>

#include "http/body_decoding.h"
#include "platform/console.h"
#include "relay/completion_request.h"
#include "relay/conversation_store.h"
#include "relay/stream_relay.h"
#include "relay/web/chat_answer_stream.h"
#include "relay/web/chat_answers.h"
#include "relay/web/chat_page.h"
#include "relay/web/host_handler.h"

namespace velmora::relay::web {

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
      http::HttpHeaders{
          {"Location", "/chat"}, {"Cache-Control", "no-store"}, {"Content-Length", "0"}});
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

// What the prompt form sent: its text, and the files chosen in its "images" field, in order.
struct PromptForm {
  std::optional<std::string> prompt;
  std::vector<std::vector<uint8_t>> files;
};

// The form as multipart (with pictures) or url-encoded (without; older pages, programs).
PromptForm readPromptForm(const http::HttpRequest& request) {
  std::vector<http::MultiPart> parts = http::multipartFormParts(request);
  if (parts.empty()) return {formField(request, "prompt"), {}};
  PromptForm form;
  for (http::MultiPart& part : parts) {
    const std::optional<std::string> name = part.fieldName();
    if (name == "prompt" && !form.prompt) {
      std::string text(part.body.begin(), part.body.end());
      if (http::isWellFormedUtf8(text)) form.prompt = std::move(text);
    } else if (name == "images") {
      // A browser sends the field empty and unnamed when nothing was chosen.
      if (part.body.empty() && part.fileName().value_or("").empty()) continue;
      form.files.push_back(std::move(part.body));
    }
  }
  return form;
}

// Why pictures cannot go with a prompt: the status and the reason the page gives.
struct ImagesRefused {
  int status;
  std::string phrase;
  std::string reason;
};

// The files as pictures, recognised by their first bytes, or why not.
std::variant<std::vector<ChatImage>, ImagesRefused> acceptImages(
    std::vector<std::vector<uint8_t>> files) {
  if (files.size() > kMaxImagesPerPrompt) {
    return ImagesRefused{413, "Content Too Large",
                         "At most " + std::to_string(kMaxImagesPerPrompt) +
                             " images can go with one prompt; this one had " +
                             std::to_string(files.size()) + "."};
  }
  std::vector<ChatImage> images;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string which = "Image " + std::to_string(i + 1);
    if (files[i].size() > kMaxImageBytes) {
      return ImagesRefused{
          413, "Content Too Large",
          which + " is larger than " + std::to_string(kMaxImageBytes >> 20) + " MiB."};
    }
    const std::optional<ImageType> type = recognisedImageType(files[i]);
    if (!type) {
      return ImagesRefused{415, "Unsupported Media Type",
                           which + " is not a JPEG, PNG, WebP or GIF picture."};
    }
    images.push_back(makeChatImage(*type, std::move(files[i])));
  }
  return images;
}

// The chat page with the conversation as it is, the reason nothing was sent, and the prompt back
// in the form.
http::HttpResponse promptRefused(RelayHost& host, int status, std::string phrase,
                                 std::string_view reason, std::string_view prompt) {
  platform::printLine("/chat: " + std::string(reason));
  std::string page = chat_page::begin(std::nullopt);
  chat_page::appendConversation(page, host.chatMessages());
  page += chat_page::errorNote(reason);
  page += chat_page::end(prompt);
  return pageResponse(status, std::move(phrase), std::move(page), "");
}

http::HttpResponse imageResponse(RelayHost& host, std::string_view id) {
  const std::optional<ChatImage> image = host.chatImage(id);
  if (!image) {
    return refusal(404, "Not Found", "No such image",
                   "The image is not in the conversation any more.");
  }
  return http::HttpResponse::raw(
      200, "OK",
      http::HttpHeaders{{"Content-Type", std::string(mediaType(image->type))},
                        // As private as the page that shows it.
                        {"Cache-Control", "no-store"},
                        {"X-Content-Type-Options", "nosniff"},
                        {"Content-Length", std::to_string(image->bytes->size())}},
      [bytes = image->bytes](http::HttpResponseBodyWriter& out) { out.write(*bytes); });
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
    if (!turn.images.empty()) {
      const std::size_t count = turn.images.size();
      text += "\n*(" + std::to_string(count) + (count == 1 ? " image" : " images") +
              ", not in this file)*\n";
    }
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
  runBackendRequest(
      sink, host, std::move(pending.request), delegate,
      [&](const std::shared_ptr<platform::HttpClientTask>& task) { answers->started(id, task); });
}

http::HttpResponse chatPrompt(const std::shared_ptr<RelayHost>& host,
                              const std::shared_ptr<ChatAnswers>& answers,
                              http::HttpRequest& request) {
  PromptForm form = readPromptForm(request);
  // Read: the photos now live in `form` alone, and the answer may stream for minutes.
  std::vector<uint8_t>().swap(request.body);
  if (!form.prompt || blank(*form.prompt)) {
    return refusal(400, "Bad Request", "Nothing to send",
                   "The prompt was empty. Write a prompt and send it again.");
  }
  const std::string& prompt = *form.prompt;
  // In each refusal nothing is sent and the conversation stays as it was; the prompt waits in
  // the form.
  auto accepted = acceptImages(std::move(form.files));
  if (const auto* refused = std::get_if<ImagesRefused>(&accepted)) {
    return promptRefused(*host, refused->status, refused->phrase, refused->reason, prompt);
  }
  auto& images = std::get<std::vector<ChatImage>>(accepted);
  const std::optional<std::string> model = modelToSend(host->modelChoice());
  if (!model) return promptRefused(*host, 503, "Service Unavailable", kNoModelChosen, prompt);

  const std::string systemPrompt = host->systemPromptText();
  std::optional<ChatSnapshot> appended = host->appendUserMessage(prompt, std::move(images));
  if (!appended) {
    const std::string limit = std::to_string(host->conversationImageLimit() >> 20);
    return promptRefused(*host, 413, "Content Too Large",
                         "The conversation's images would pass " + limit +
                             " MiB. Clear the conversation to send more.",
                         prompt);
  }
  ChatSnapshot& conversation = *appended;
  host->setMonitorText("Processing request...\nUser: " + prompt);
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
      [weakHost = std::weak_ptr<RelayHost>(host), answers, pending](
          http::HttpResponseBodyWriter& out) { streamAnswer(out, weakHost, answers, *pending); });
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
  server.POST["/chat"] =
      withHost(host, [answers](HostPtr h, RequestPtr r) { return chatPrompt(h, answers, *r); });
  server.GET["/chat/export.md"] = withHost(host, [](HostPtr h, RequestPtr) {
    return download(conversationMarkdown(h->chatMessages()), "text/markdown; charset=utf-8", "md");
  });
  server.GET["/chat/export.json"] = withHost(host, [](HostPtr h, RequestPtr) {
    return download(encodeConversation(h->chatMessages()), "application/json", "json");
  });
  const auto image = withHost(
      host, [](HostPtr h, RequestPtr r) { return imageResponse(*h, r->params.at(":id")); });
  server.GET["/chat/images/:id"] = image;
  server.HEAD["/chat/images/:id"] = image;
  server.POST["/chat/stop"] =
      withHost(host, [answers](HostPtr, RequestPtr r) { return chatStop(*answers, *r); });
  server.POST["/chat/clear"] =
      withHost(host, [answers](HostPtr h, RequestPtr) { return chatClear(*h, *answers); });
}

}  // namespace velmora::relay::web
