#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::platform {

// Prints one diagnostic line on standard output and flushes it, so that a reader of the stream
// (a terminal, a test, a service manager) sees it at once. Control characters other than line
// feed and tab are printed escaped (see escapeTerminalControls). Lines from different threads never
// interleave. Any thread.
void printLine(std::string_view line);

// From now on printLine shows `shownAs` wherever `secret` stands in a line ("" hides nothing).
// One secret for the whole process (the backend key), so that no message quoting it, whoever
// wrote it, prints it. Any thread.
void hideInConsole(std::string secret, std::string shownAs);

// `text` with every `secret` replaced by `shownAs`; `text` itself when `secret` is empty. Pure;
// any thread.
std::string withSecretHidden(std::string text, std::string_view secret, std::string_view shownAs);

// `text` with its control characters (C0 and DEL) other than tab, and line feed when
// `keepLineFeeds`, and bytes that are not UTF-8 shown as \xHH, and C1 controls as \u0080 to
// \u009F, so that it cannot move the cursor or restyle a terminal. Any thread.
std::string escapeTerminalControls(std::string_view text, bool keepLineFeeds);

// `text` when it has at most `maxBytes` bytes; else its first `maxBytes` at most (never half a
// UTF-8 character) followed by "… (N more bytes)". For lines that may carry a whole answer or
// conversation, which would otherwise be copied whole, several times, on their way out. Any
// thread.
inline constexpr std::size_t kConsoleExcerptBytes = 4096;
std::string consoleExcerpt(std::string_view text, std::size_t maxBytes = kConsoleExcerptBytes);

}  // namespace velmora::platform
