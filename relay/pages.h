#pragma once

#include <string_view>

// The relay's page texts, byte for byte as browsers receive them.
namespace velmora::relay::pages {

// The start page is kStartPageFirst + the window's initial message (an HTML fragment, sent as
// typed) + kStartPageSecond. Its hidden "reset" field makes each first prompt start afresh.
inline constexpr std::string_view kStartPageFirst =
    "<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><title>Velmora</title></head>\n<body>\n"
    " <form action=\"/submit\" method=\"post\">\n ";

inline constexpr std::string_view kStartPageSecond =
    "\n <br>\n <div style=\"text-align: center;\">\n <textarea id=\"prompt\" name=\"prompt\" "
    "rows=\"10\" style=\"width: 90%; overflow:auto; resize: vertical;\"></textarea>\n </div><br>\n"
    " <input type=\"hidden\" name=\"reset\" value=\"1\">\n <div style=\"text-align: right; width: "
    "90%; margin: 0 auto;\">\n <input type=\"submit\" value=\"Send\">\n </div>\n  </form>\n"
    "</body>\n</html>";

// Opens an answer page; the answer's text follows inside the pre-wrap division. Reasoning
// elements show in gray.
inline constexpr std::string_view kAnswerPageHead =
    "<!DOCTYPE html>\n<html>\n<style>\nthink,thought,reason {\n color: gray;\n font-size: 0.8em;\n"
    "}\n</style>\n<head><meta charset=\"utf-8\"><title>Velmora</title></head>\n<body><div "
    "style=\"white-space: pre-wrap;\">";

// Closes an answer page whose backend request succeeded. Its form has no "reset" field, so a
// prompt sent from it continues the conversation.
inline constexpr std::string_view kAnswerPageTail =
    "</div>\n<br></br>\n<form action=\"/submit\" method=\"post\">\n <div style=\"text-align: "
    "center;\">\n <textarea name=\"prompt\" rows=\"10\" style=\"display: block; margin: 0 auto; "
    "width: 90%; overflow:auto; resize: vertical;\"></textarea>\n </div>\n<br>\n <div "
    "style=\"display: flex; justify-content: flex-end; gap: 10px; width: 90%; margin: 0 "
    "auto;\">\n  <button onclick=\"window.location.href='/clear'\" type=\"button\">Clear "
    "History</button>\n  <button type=\"submit\">Send</button>\n</div>\n</form>\n<br>\n</body>\n"
    "</html>";

// What "/clear" answers to a GET that may have come from a page of another site: a button that
// posts to "/clear".
inline constexpr std::string_view kClearConfirmPage =
    "<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><meta name=\"referrer\" "
    "content=\"same-origin\"><title>Velmora</title></head>\n<body>\n <form action=\"/clear\" "
    "method=\"post\">\n <p>Clear the shared conversation for everyone who uses this relay?</p>\n"
    " <input type=\"submit\" value=\"Clear the conversation\">\n </form>\n</body>\n</html>";

// Closes a page whose backend request failed: kErrorMarkupFirst + the escaped description +
// kErrorMarkupSecond. The answer's own division stays open.
inline constexpr std::string_view kErrorMarkupFirst =
    "<div style=\"white-space: pre-wrap;\">[Error: ";
inline constexpr std::string_view kErrorMarkupSecond = "]</div></body></html>";

}  // namespace velmora::relay::pages
