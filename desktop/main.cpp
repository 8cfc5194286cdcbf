// velmora: the relay between browsers and an OpenAI-compatible model server.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "desktop/headless_run.h"
#include "velmora/version.h"

#ifdef VELMORA_WITH_WINDOW
#include "desktop/desktop_app.h"
#endif

namespace {

constexpr const char* kHelp =
    "Usage: velmora [--headless] [OPTION]...\n"
    "Relays browsers on the network to an OpenAI-compatible model server (LM Studio):\n"
    "a browser opens the relay's start page, sends a prompt and reads the answer as it streams.\n"
    "\n"
    "  --headless           run without a window; the window's status text is printed as\n"
    "                       \"monitor:\" lines. This is also how velmora runs when there is\n"
    "                       no display ($DISPLAY, $WAYLAND_DISPLAY and $QT_QPA_PLATFORM unset)\n"
    "  --model NAME         the model to use\n"
    "  --port N             the relay's port, 0 to 65535 (0: any free port)\n"
    "  --backend HOST:PORT  the model server's address (default localhost:1234), or its base\n"
    "                       URL (https://models.example.org/v1, http://gpu-box:4000)\n"
    "  --backend-key KEY    the model server's API key, sent as \"Authorization: Bearer KEY\"\n"
    "                       with every request to it; an empty KEY sends none\n"
    "  --backend-ca FILE    the certificate authorities (PEM) an https model server's\n"
    "                       certificate is checked against (default: the system's)\n"
    "  --access-token TOKEN the token browsers and programs must give to use the relay\n"
    "                       (programs send \"Authorization: Bearer TOKEN\"; browsers get a\n"
    "                       sign-in page); an empty TOKEN lets everyone in again\n"
    "  --keep-conversation  keep the shared conversation after velmora quits: it is written to\n"
    "                       $XDG_STATE_HOME/velmora/conversation.json (else\n"
    "                       ~/.local/state/velmora/conversation.json; with --settings\n"
    "                       DIR/NAME.json, to DIR/NAME.conversation.json) after every change\n"
    "                       and loaded at launch; one process at a time keeps a file, a second\n"
    "                       keeps its conversation in memory only\n"
    "  --no-keep-conversation\n"
    "                       do not keep it (the default), and remove the file kept so far\n"
    "  --settings FILE      the settings file (default $XDG_CONFIG_HOME/velmora/settings.json,\n"
    "                       else ~/.config/velmora/settings.json)\n"
    "  -h, --help           show this help and exit\n"
    "  --version            show the version and exit\n"
    "\n"
    "--model, --port, --backend, --backend-key, --backend-ca, --access-token and\n"
    "--[no-]keep-conversation are stored in the settings file, as a choice in the window would\n"
    "be, and so also apply to later runs.\n"
    "The settings file is readable by its owner only. Without --model the stored\n"
    "model is used; with none stored the relay does not start and the server's models are\n"
    "listed.\n"
    "\n"
    "With a window, the fields show the same settings and a choice there is stored too;\n"
    "closing the window quits. Without one, velmora prints the address to open in a browser\n"
    "once the relay runs. SIGINT or SIGTERM stops the relay and ends velmora with status 0.\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "velmora: %s\nTry 'velmora --help' for more information.\n",
               message.c_str());
  return 2;
}

bool isPortNumber(std::string_view text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != text.npos) {
    return false;
  }
  return std::stoi(std::string(text)) <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
  velmora::desktop::HeadlessOptions options;
  [[maybe_unused]] bool headless = false;  // without a window there is nothing to leave out
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    // The options that take a value, as "--name VALUE" or "--name=VALUE".
    std::string name(argument);
    std::optional<std::string> value;
    if (const auto equals = argument.find('=');
        argument.starts_with("--") && equals != argument.npos) {
      name = std::string(argument.substr(0, equals));
      value = std::string(argument.substr(equals + 1));
    }
    const bool takesValue = name == "--model" || name == "--port" || name == "--backend" ||
                            name == "--settings" || name == "--access-token" ||
                            name == "--backend-key" || name == "--backend-ca";
    if (takesValue && !value) {
      if (i + 1 >= argc) return usageError("option '" + name + "' needs a value");
      value = argv[++i];
    } else if (!takesValue && value) {
      return usageError("option '" + name + "' takes no value");
    }

    if (name == "--help" || name == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (name == "--version") {
      std::printf("%s %s\n", velmora::kApplicationName, velmora::kApplicationVersion);
      return 0;
    } else if (name == "--headless") {
      headless = true;
    } else if (name == "--model") {
      options.model = *value;
    } else if (name == "--port") {
      if (!isPortNumber(*value)) return usageError("--port needs a number from 0 to 65535");
      options.relayPort = *value;
    } else if (name == "--backend" && value->find("://") != std::string::npos) {
      options.backendHost = *value;  // a base URL carries its own port
    } else if (name == "--backend") {
      const auto colon = value->rfind(':');
      if (colon == std::string::npos || colon == 0 || !isPortNumber(value->substr(colon + 1))) {
        return usageError("--backend needs HOST:PORT, for example localhost:1234");
      }
      options.backendHost = value->substr(0, colon);
      options.backendPort = value->substr(colon + 1);
    } else if (name == "--access-token") {
      options.accessToken = *value;
    } else if (name == "--backend-key") {
      options.backendKey = *value;
    } else if (name == "--backend-ca") {
      options.backendCaFile = *value;
    } else if (name == "--keep-conversation" || name == "--no-keep-conversation") {
      options.keepConversation = name == "--keep-conversation";
    } else if (name == "--settings") {
      if (value->empty()) return usageError("--settings needs a file name");
      options.settingsPath = *value;
    } else {
      return usageError("unknown option '" + std::string(argument) + "'");
    }
  }
#ifdef VELMORA_WITH_WINDOW
  if (!headless && velmora::desktop::displayAvailable()) {
    return velmora::desktop::runDesktop(argc, argv, options);
  }
#endif
  return velmora::desktop::runHeadless(options);
}
