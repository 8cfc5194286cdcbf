#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/settings_file.h"

namespace velmora::desktop {

// What the command line asks of a run without a window. The values given are stored in the
// settings before the window appears, as if typed into the window's fields.
struct HeadlessOptions {
  std::optional<std::filesystem::path> settingsPath;  // else SettingsFile::defaultPath()
  std::optional<std::string> model;                   // stored under "modelName"
  std::optional<std::string> relayPort;               // stored under "serverPort"
  std::optional<std::string> backendHost;             // stored under "studioIP"; may be a URL
  std::optional<std::string> backendPort;             // stored under "studioPort"
  std::optional<std::string> accessToken;             // stored under "accessToken"; "": none
  std::optional<std::string> backendKey;              // stored under "backendApiKey"; "": none
  std::optional<std::string> backendCaFile;           // stored under "backendCaFile"
  std::vector<std::string> allowedHosts;  // stored under "allowedHosts", joined by ", ", if any
  std::optional<bool> keepConversation;  // stored under "keepConversation" as "true" or "false"
  std::optional<std::string> conversationImagesMiB;  // stored under "conversationImagesMiB"
  // Whether the chat page's QR code is printed under its address line: unset, only when standard
  // output is a terminal. Not stored.
  std::optional<bool> qrCode;
};

// Stores the values given under their settings keys, with or without the window.
void storeOptions(const HeadlessOptions& options, platform::SettingsFile& settings);

// Runs the window controller on controls without a window, with a main queue on the calling
// thread, until SIGINT or SIGTERM; then stops the relay, ends the requests in progress and
// answers 0. Must be called on the process's main thread before any other thread exists, since
// it blocks both signals in every thread it creates.
int runHeadless(const HeadlessOptions& options);

}  // namespace velmora::desktop
