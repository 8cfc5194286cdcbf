#pragma once

#include <unistd.h>

#include <QString>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "tests/app/child_process.h"

namespace velmora::desktop::testing {

// A D-Bus message bus of the test's own (dbus-daemon), with no services that start on demand,
// so that only what a test registers answers on it. It ends with this object or with the test
// process.
class PrivateBus {
 public:
  PrivateBus()
      : folder_(std::filesystem::temp_directory_path() /
                ("velmora-bus-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++))) {
    std::filesystem::create_directories(folder_);
    const auto config = folder_ / "bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                             "Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig>\n"
                             "  <type>session</type>\n"
                             "  <listen>unix:dir="
                          << folder_.string()
                          << "</listen>\n"
                             "  <auth>EXTERNAL</auth>\n"
                             "  <policy context=\"default\">\n"
                             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                             "    <allow eavesdrop=\"true\"/>\n"
                             "    <allow own=\"*\"/>\n"
                             "  </policy>\n"
                             "</busconfig>\n";
    if (::access("/usr/bin/dbus-daemon", X_OK) != 0 && ::access("/bin/dbus-daemon", X_OK) != 0) {
      return;
    }
    daemon_ = std::make_unique<app::testing::ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--nofork", "--nopidfile", "--print-address",
                                 "--config-file=" + config.string()});
    if (auto line = daemon_->readLine()) address_ = QString::fromStdString(*line);
  }

  ~PrivateBus() {
    daemon_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Empty when dbus-daemon is missing or did not start.
  const std::optional<QString>& address() const { return address_; }

 private:
  static int& counter() {
    static int value = 0;
    return value;
  }

  std::filesystem::path folder_;
  std::unique_ptr<app::testing::ChildProcess> daemon_;
  std::optional<QString> address_;
};

}  // namespace velmora::desktop::testing
