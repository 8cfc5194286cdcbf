#pragma once

#include <string>

namespace velmora::update {

// Opens addresses with the desktop's default handler (QDesktopServices::openUrl).
class UrlOpener {
 public:
  virtual ~UrlOpener() = default;

  // Hands `url` to the default handler, usually the web browser, and returns at once; main
  // thread. Answers false when no handler took it; nothing else is reported.
  virtual bool open(const std::string& url) = 0;
};

}  // namespace velmora::update
