#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "relay/chat_history.h"

// The chat page's markup: a phone-first page with the whole shared conversation, built from
// pieces because the answer page streams. Everything from outside (prompts, answers, errors) is
// escaped here; finished answers are rendered from Markdown. Pure functions; any thread.
namespace velmora::relay::web::chat_page {

// Answers longer than this show as plain text: rendering some Markdown takes time that grows
// faster than its length, and every visit of the page renders the whole conversation.
inline constexpr std::size_t kMaxRenderedAnswerBytes = 256 * 1024;
// A finished answer rendered from Markdown; nullopt when it is too long to render.
std::optional<std::string> renderedAnswer(std::string_view answer);
// Gives an answer (an "assistant" turn) its rendering when it has none, so that pages built
// later show the one made here instead of rendering it again.
void renderOnce(ChatMessage& turn);

// The response header fields every chat page carries: HTML, never cached (the conversation may be
// private), and a content security policy that lets the page run only its own script, marked
// with `scriptNonce` (none when empty), and show only the relay's own pictures.
std::vector<std::pair<std::string, std::string>> headers(std::string_view scriptNonce);
// A fresh random nonce for one page's script.
std::string makeScriptNonce();

// The page up to its content: the head, and a header bar that holds the Stop form of answer
// `stoppable` when that answer is streaming on this page. With `othersStreaming`, a note says
// that the model is still answering someone, with a Stop button for those answers.
std::string begin(std::optional<uint64_t> stoppable, bool othersStreaming = false);
// Opens the conversation and writes its turns, oldest first, each marked as the person's or the
// model's; end() closes it.
void appendConversation(std::string& page, const std::vector<ChatMessage>& turns);
// The script that keeps the page's end in view while an answer grows and opens the conversation
// at its latest turn; "" without a nonce.
std::string followScript(std::string_view scriptNonce);
// A note of failure (escaped), shown where the answer would be.
std::string errorNote(std::string_view description);
// Closes the conversation; then the prompt form (its text area holding `prompt`, and a field
// for pictures, sent as multipart), the clear form,
// the follow script (with a nonce) and the page's end.
std::string end(std::string_view prompt = {}, std::string_view scriptNonce = {});

// The streamed answer of a "POST /chat" page, in the order they are written.
std::string answerOpen();
std::string sectionOpen(bool reasoning);
std::string sectionClose(bool reasoning);
std::string stoppedNote();
// Under a finished answer: the time to its first piece and its speed, an estimate said so.
std::string speedLine(const AnswerSpeed& speed);
// Right after answerOpen(): "Waiting for the model...", with how many other answers the relay
// is writing when there are any; waitingEnd() hides it when the first piece comes or the answer
// ends without one (a style, as browsers may not restyle a page still loading for :last-child).
std::string waitingNote(std::size_t otherAnswers);
std::string waitingEnd();
// Closes the answer. `rendered`, the finished answer as Markdown rendered, replaces the plain text
// in place when the browser runs the page's script; without it the plain text stays until the
// next visit of the conversation page.
std::string answerClose(std::optional<std::string_view> rendered, std::string_view scriptNonce);

// One page with a heading, a line of text and a way back to the conversation, for refusals.
std::string notice(std::string_view heading, std::string_view text);

}  // namespace velmora::relay::web::chat_page
