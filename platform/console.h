#pragma once

#include <string_view>

namespace velmora::platform {

// Prints one diagnostic line on standard output and flushes it, so that a reader of the stream
// (a terminal, a test, a service manager) sees it at once. Control characters other than line
// feed and tab are printed as \xHH. Lines from different threads never interleave. Any thread.
void printLine(std::string_view line);

}  // namespace velmora::platform
