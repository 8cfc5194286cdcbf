#pragma once

#include <memory>

#include "http/server.h"
#include "relay/relay_host.h"

namespace velmora::relay::web {

// The chat page: the whole shared conversation for people on any device, beside the start page.
// Registers on `server`:
//   GET /chat          the conversation page (HEAD too);
//   POST /chat         form field "prompt": a new turn of the shared conversation (never a
//                      reset), answered by a page that streams the answer, with a Stop button;
//                      as multipart, with up to 4 pictures in field "images" (relay/chat_images.h);
//                      refused with the page's error markup, nothing kept or sent, for pictures
//                      of another type (415), too many, too large, or too many for the
//                      conversation (413);
//   GET /chat/images/ID
//                      a picture of the conversation by the random id its page shows (HEAD too);
//   POST /chat/stop    form field "answer", the number in that page's Stop form (without it,
//                      every answer being written): cancels the backend request, waits until the
//                      partial answer has joined the conversation, then sends the browser to /chat;
//   POST /chat/clear   empties the conversation, stops the answers being written, back to /chat;
//   GET /chat/export.md, GET /chat/export.json
//                      the conversation as a download with a dated name: Markdown with a heading
//                      per turn (reasoning left out, stopped answers marked), or the kept file's
//                      JSON (relay/conversation_store.h).
// Requests sent from other sites are refused before they arrive (relay/request_guard.h). The
// handlers hold the host weakly. Any thread.
void registerChatRoutes(http::HttpServer& server, const std::weak_ptr<RelayHost>& host);

}  // namespace velmora::relay::web
