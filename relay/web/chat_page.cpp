#include "relay/web/chat_page.h"

#include <array>
#include <cstdio>

#include "html/escape.h"
#include "html/markdown.h"
#include "relay/random_id.h"

namespace velmora::relay::web::chat_page {

namespace {

// Phone first: one readable column, touch targets of at least 44 px, the system's light or dark
// colours, code and tables scrolling sideways inside the column instead of widening the page.
constexpr std::string_view kStyle = R"css(
:root{color-scheme:light dark;--bg:#fdfdfc;--fg:#1d1d20;--muted:#5d6168;--line:#d3d6db;
--person:#e7effc;--model:#f3f3f5;--accent:#1a5fd0;--on-accent:#fff;--error:#b3261e}
@media (prefers-color-scheme:dark){:root{--bg:#141417;--fg:#e7e7ea;--muted:#a3a7ae;
--line:#3a3d44;--person:#1d283b;--model:#1e1e23;--accent:#8ab4f8;--on-accent:#0b1d3a;
--error:#f2b8b5}}
*{box-sizing:border-box}
html{-webkit-text-size-adjust:100%}
body{margin:0;background:var(--bg);color:var(--fg);font:1.0625rem/1.6 system-ui,sans-serif}
header{position:sticky;top:0;z-index:1;display:flex;align-items:center;justify-content:space-between;
gap:1rem;padding:.5rem max(1rem,calc(50% - 25em));background:var(--bg);
border-bottom:1px solid var(--line)}
header .title{font-weight:700;color:inherit;text-decoration:none}
main{max-width:50em;margin:0 auto;padding:0 1rem 3rem}
.turn{margin:1rem 0;padding:.75rem 1rem;border-radius:.9rem;overflow-wrap:anywhere}
.person{background:var(--person);margin-left:min(3rem,10%)}
.model{background:var(--model)}
.who{margin:0 0 .25rem;font-size:.75rem;font-weight:700;letter-spacing:.06em;
text-transform:uppercase;color:var(--muted)}
.plain{white-space:pre-wrap}
.markdown>:first-child{margin-top:0}.markdown>:last-child{margin-bottom:0}
pre{overflow-x:auto;white-space:pre;padding:.75rem;border-radius:.5rem;
background:rgba(127,127,127,.14)}
code{font:.9em/1.5 ui-monospace,SFMono-Regular,Menlo,Consolas,monospace}
table{display:block;overflow-x:auto;border-collapse:collapse;max-width:100%}
th,td{border:1px solid var(--line);padding:.35rem .65rem;text-align:left}
a{color:var(--accent)}
details.reasoning{margin:.25rem 0 .75rem;color:var(--muted);font-size:.92em}
details.reasoning summary{cursor:pointer;min-height:44px;display:flex;align-items:center}
.stopped,.note,.empty{color:var(--muted);font-style:italic}
.error{color:var(--error)}
label{display:block;margin:1.5rem 0 .35rem;font-weight:600}
textarea{display:block;width:100%;min-height:6.5rem;resize:vertical;padding:.65rem .75rem;
font:inherit;color:inherit;background:var(--bg);border:1px solid var(--line);border-radius:.6rem}
.actions{display:flex;justify-content:flex-end;margin-top:.6rem}
button{min-height:44px;min-width:44px;padding:.5rem 1.25rem;font:inherit;color:var(--fg);
background:var(--model);border:1px solid var(--line);border-radius:.6rem;cursor:pointer}
button.send{background:var(--accent);border-color:var(--accent);color:var(--on-accent);
font-weight:600;min-width:7rem}
form.clear{margin-top:2rem}
form.clear button{background:none;color:var(--muted)}
body:has(#answer-end) #stop{display:none}
.speed{margin:.5rem 0 0;font-size:.8rem;color:var(--muted)}
.images{display:flex;flex-wrap:wrap;gap:.5rem;margin-top:.5rem}
.images img{display:block;width:7rem;height:7rem;object-fit:cover;border-radius:.5rem;
background:var(--model)}
input[type=file]{display:block;width:100%;min-height:44px;padding:.5rem 0;font:inherit}
)css";

// Shows the view following the page's end while an answer grows (unless the reader scrolled up),
// and on the conversation page opens at the latest turn.
constexpr std::string_view kFollowScript =
    "(function(){var follow=true;addEventListener('scroll',function(){follow=innerHeight+scrollY"
    ">=document.documentElement.scrollHeight-80},{passive:true});function end(){if(follow)"
    "scrollTo(0,document.documentElement.scrollHeight)}end();var timer=setInterval(function(){"
    "var done=!document.getElementById('answer')||document.getElementById('answer-end');end();"
    "if(done)clearInterval(timer)},250)})();";

// Puts the finished answer's Markdown rendering in place of its plain text.
constexpr std::string_view kRenderScript =
    "(function(){var source=document.getElementById('rendered'),plain=document.querySelectorAll("
    "'#answer>.plain');if(!source||!plain.length)return;var shown=document.createElement('div');"
    "shown.className='markdown';shown.innerHTML=source.textContent;plain[0].replaceWith(shown);"
    "for(var i=1;i<plain.length;i++)plain[i].remove()})();";

std::string script(std::string_view nonce, std::string_view code) {
  if (nonce.empty()) return "";
  return "<script nonce=\"" + std::string(nonce) + "\">" + std::string(code) + "</script>\n";
}

// A turn's pictures as thumbnails that open the picture itself; never a file name.
void appendImages(std::string& page, const std::vector<ChatImage>& images) {
  if (images.empty()) return;
  page += "<div class=\"images\">";
  std::size_t lost = 0;
  for (std::size_t i = 0; i < images.size(); ++i) {
    if (!images[i].bytes) {
      ++lost;
      continue;
    }
    const std::string address = "/chat/images/" + images[i].id;  // hex digits only
    page += "<a href=\"" + address + "\"><img src=\"" + address + "\" alt=\"Image " +
            std::to_string(i + 1) + "\"></a>";
  }
  page += "</div>";
  if (lost > 0) {
    page += "<p class=\"note\">" +
            std::string(lost == 1 ? "An image" : std::to_string(lost) + " images") +
            " of this turn could not be read back from the kept conversation.</p>";
  }
}

}  // namespace

std::optional<std::string> renderedAnswer(std::string_view answer) {
  if (answer.size() > kMaxRenderedAnswerBytes) return std::nullopt;
  return html::markdownToHtml(answer);
}

void renderOnce(ChatMessage& turn) {
  if (turn.role != "assistant" || turn.rendering.html) return;
  if (auto html = renderedAnswer(turn.content)) {
    turn.rendering.html = std::make_shared<const std::string>(std::move(*html));
  }
}

std::vector<std::pair<std::string, std::string>> headers(std::string_view scriptNonce) {
  const std::string scripts =
      scriptNonce.empty() ? "'none'" : "'nonce-" + std::string(scriptNonce) + "'";
  return {{"Content-Type", "text/html; charset=utf-8"},
          {"Cache-Control", "no-store"},
          {"Content-Security-Policy",
           "default-src 'none'; style-src 'unsafe-inline'; img-src 'self'; script-src " + scripts +
               "; form-action 'self'; base-uri 'none'; frame-ancestors 'none'"},
          {"X-Content-Type-Options", "nosniff"},
          // Links in answers lead off the network: they need not learn the relay's address, while
          // the relay's own pages see where a request came from.
          {"Referrer-Policy", "same-origin"}};
}

std::string makeScriptNonce() { return randomHexId(); }

std::string begin(std::optional<uint64_t> stoppable, bool othersStreaming) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<meta name=\"color-scheme\" content=\"light dark\">\n<title>Velmora</title>\n<style>";
  page += kStyle;
  page += "</style>\n</head>\n<body>\n<header><a class=\"title\" href=\"/chat\">Velmora</a>";
  if (stoppable || othersStreaming) {
    page += "<form id=\"stop\" method=\"post\" action=\"/chat/stop\">";
    if (stoppable) {
      page +=
          "<input type=\"hidden\" name=\"answer\" value=\"" + std::to_string(*stoppable) + "\">";
    }
    page += "<button type=\"submit\">Stop</button></form>";
  }
  page += "</header>\n<main>\n";
  if (!stoppable && othersStreaming) {
    page +=
        "<p class=\"note\">The model is still writing an answer. Reload this page to see it "
        "once it is done.</p>\n";
  }
  return page;
}

void appendConversation(std::string& page, const std::vector<ChatMessage>& turns) {
  page += "<section id=\"conversation\" aria-label=\"Conversation\">\n";
  if (turns.empty()) {
    page += "<p class=\"empty\">No messages yet. Write the first prompt below.</p>\n";
  }
  for (const ChatMessage& turn : turns) {
    if (turn.role == "user") {
      page += "<article class=\"turn person\"><h2 class=\"who\">Person</h2><div class=\"plain\">";
      page += html::escapeHtmlText(turn.content);
      page += "</div>";
      appendImages(page, turn.images);
      page += "</article>\n";
      continue;
    }
    page += "<article class=\"turn model\"><h2 class=\"who\">Model</h2>";
    // Rendered when the answer joined; only a turn that came another way is rendered here.
    std::optional<std::string> renderedNow;
    if (!turn.rendering.html) renderedNow = renderedAnswer(turn.content);
    if (turn.rendering.html || renderedNow) {
      page += "<div class=\"markdown\">";
      page += turn.rendering.html ? *turn.rendering.html : *renderedNow;
      page += "</div>";
    } else {
      page += "<div class=\"plain\">" + html::escapeHtmlText(turn.content) + "</div>";
    }
    if (turn.stopped) page += stoppedNote();
    if (turn.speed) page += speedLine(*turn.speed);
    page += "</article>\n";
  }
}

std::string errorNote(std::string_view description) {
  return "<p class=\"error\">Error: " + html::escapeHtmlText(description) + "</p>";
}

std::string followScript(std::string_view scriptNonce) {
  return script(scriptNonce, kFollowScript);
}

std::string end(std::string_view prompt, std::string_view scriptNonce) {
  std::string page =
      "</section>\n<form class=\"prompt\" method=\"post\" action=\"/chat\" "
      "enctype=\"multipart/form-data\">\n"
      "<label for=\"prompt\">Your prompt</label>\n"
      "<textarea id=\"prompt\" name=\"prompt\" rows=\"4\" required>";
  // A text area drops one line break right after its start tag.
  if (prompt.starts_with('\n')) page += '\n';
  page += html::escapeHtmlText(prompt);
  page +=
      "</textarea>\n<label for=\"images\">Photos (up to 4)</label>\n"
      "<input type=\"file\" id=\"images\" name=\"images\" accept=\"image/*\" multiple>\n"
      "<div class=\"actions\"><button type=\"submit\" class=\"send\">Send</button>"
      "</div>\n</form>\n<form class=\"clear\" method=\"post\" action=\"/chat/clear\">"
      "<button type=\"submit\">Clear the conversation</button></form>\n"
      "<p class=\"exports\">Take the conversation along: <a href=\"/chat/export.md\" "
      "download>Markdown</a> or <a href=\"/chat/export.json\" download>JSON</a></p>\n"
      "</main>\n";
  page += script(scriptNonce, kFollowScript);
  page += "</body>\n</html>\n";
  return page;
}

std::string answerOpen() {
  return "<article class=\"turn model\" id=\"answer\"><h2 class=\"who\">Model</h2>";
}

std::string sectionOpen(bool reasoning) {
  return reasoning ? "<details class=\"reasoning\"><summary>The model's reasoning</summary>"
                     "<div class=\"plain\">"
                   : "<div class=\"plain\">";
}

std::string sectionClose(bool reasoning) {
  return reasoning ? "</div></details>" : "</div>";
}

std::string stoppedNote() {
  return "<p class=\"stopped\">Stopped</p>";
}

std::string speedLine(const AnswerSpeed& speed) {
  const auto decimal = [](double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return std::string(text);
  };
  std::string line =
      "<p class=\"speed\">First piece after " + decimal(speed.firstPieceSeconds) + " s";
  if (speed.tokensPerSecond) {
    line += speed.estimated ? ", about " : ", ";
    line += decimal(*speed.tokensPerSecond) + " tokens/s";
    if (speed.tokens) {
      const std::string count = std::to_string(static_cast<uint64_t>(*speed.tokens));
      line +=
          speed.estimated ? " (an estimate from " + count + " pieces)" : " (" + count + " tokens)";
    }
  }
  return line + "</p>";
}

std::string waitingEnd() {
  return "<style>#answer>.waiting{display:none}</style>";
}

std::string waitingNote(std::size_t otherAnswers) {
  std::string note = "<p class=\"waiting note\">Waiting for the model...";
  if (otherAnswers == 1) note += " The relay is writing 1 other answer now.";
  if (otherAnswers > 1) {
    note += " The relay is writing " + std::to_string(otherAnswers) + " other answers now.";
  }
  return note + "</p>";
}

std::string answerClose(std::optional<std::string_view> rendered, std::string_view scriptNonce) {
  std::string page = "</article>\n<div id=\"answer-end\" hidden></div>\n";
  if (rendered && !scriptNonce.empty()) {
    // Inert text until the script takes it: the renderer escapes every "<" of the answer, so
    // nothing in it can end this element.
    page += "<script type=\"text/html\" id=\"rendered\">";
    page += *rendered;
    page += "</script>\n";
    page += script(scriptNonce, kRenderScript);
  }
  return page;
}

std::string notice(std::string_view heading, std::string_view text) {
  std::string page = begin(std::nullopt);
  page += "<h1>" + html::escapeHtmlText(heading) + "</h1>\n<p>" + html::escapeHtmlText(text) +
          "</p>\n<p><a href=\"/chat\">Back to the conversation</a></p>\n</main>\n"
          "</body>\n</html>\n";
  return page;
}

}  // namespace velmora::relay::web::chat_page
