// velmora: the relay between browsers and an OpenAI-compatible model server.
#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "desktop/headless_run.h"
#include "platform/whole_file.h"
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
    "  --backend-key-file FILE\n"
    "                       the API key read from FILE (its line end dropped); or set\n"
    "                       VELMORA_BACKEND_KEY\n"
    "  --access-token TOKEN the token browsers and programs must give to use the relay\n"
    "                       (programs send \"Authorization: Bearer TOKEN\"; browsers get a\n"
    "                       sign-in page); an empty TOKEN lets everyone in again\n"
    "  --access-token-file FILE\n"
    "                       the access token read from FILE (its line end dropped); or set\n"
    "                       VELMORA_ACCESS_TOKEN\n"
    "  --allow-host NAME    also answer browsers that reach the relay as NAME (a reverse\n"
    "                       proxy's name; repeatable; * accepts every name). IP addresses,\n"
    "                       localhost and this computer's names are always accepted\n"
    "  --keep-conversation  keep the shared conversation after velmora quits: it is written to\n"
    "                       $XDG_STATE_HOME/velmora/conversation.json (else\n"
    "                       ~/.local/state/velmora/conversation.json; with --settings\n"
    "                       DIR/NAME.json, to DIR/NAME.conversation.json) after every change\n"
    "                       and loaded at launch; one process at a time keeps a file, a second\n"
    "                       keeps its conversation in memory only\n"
    "  --no-keep-conversation\n"
    "                       do not keep it (the default), and remove the file kept so far\n"
    "  --conversation-images-mib N\n"
    "                       how many MiB of photos one conversation may hold (default 64;\n"
    "                       0 refuses photos); each photo is up to 10 MiB, 4 per prompt\n"
    "  --qr                 print the chat page's QR code under its address without a window\n"
    "                       even when standard output is not a terminal (by default only on\n"
    "                       a terminal); with an access token it holds a one-time sign-in link\n"
    "  --no-qr              do not print the QR code\n"
    "  --settings FILE      the settings file (default $XDG_CONFIG_HOME/velmora/settings.json,\n"
    "                       else ~/.config/velmora/settings.json)\n"
    "  -h, --help           show this help and exit\n"
    "  --version            show the version and exit\n"
    "\n"
    "--model, --port, --backend, --backend-key, --backend-ca, --access-token, --allow-host,\n"
    "--conversation-images-mib and --[no-]keep-conversation are stored in the settings file, as\n"
    "a choice in the window would be, and so also apply to later runs; so are the key and token\n"
    "read from files or the environment. A key or token given on the command line can be seen\n"
    "by other local users (ps) and stays in the shell's history: prefer the -file options or\n"
    "the variables.\n"
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

// A secret kept in a file: its text without the line end an editor adds; nullopt when the file
// cannot be read.
std::optional<std::string> secretFrom(const std::string& path) {
  velmora::platform::FileRead file = velmora::platform::readWholeFile(path);
  auto* read = std::get_if<velmora::platform::FileBytes>(&file);
  if (!read) return std::nullopt;
  std::string text = std::move(read->bytes);
  if (text.ends_with('\n')) text.pop_back();
  if (text.ends_with('\r')) text.pop_back();
  return text;
}

// Every connection, a client's or the backend's, takes a descriptor: a soft limit of 1 024 runs
// out long before the server's connection cap, and a chat then fails for no fault of the backend.
void raiseOpenFileLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
}

}  // namespace

// Photos and the requests that carry them are megabytes each. glibc's threshold for giving such
// blocks their own mapping grows with every one freed, after which freed ones stay in the heap:
// a relay that has seen a few conversations of photos kept their size for good. A fixed
// threshold gives them back to the system when a conversation is cleared.
void returnLargeBlocksWhenFreed() {
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
}

int main(int argc, char** argv) {
  returnLargeBlocksWhenFreed();
  raiseOpenFileLimit();
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
                            name == "--backend-key" || name == "--backend-ca" ||
                            name == "--backend-key-file" || name == "--access-token-file" ||
                            name == "--allow-host" || name == "--conversation-images-mib";
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
    } else if (name == "--backend-key-file" || name == "--access-token-file") {
      std::optional<std::string> secret = secretFrom(*value);
      if (!secret) return usageError("cannot read " + *value + " for " + name);
      (name == "--backend-key-file" ? options.backendKey : options.accessToken) = *secret;
    } else if (name == "--allow-host") {
      if (value->empty()) return usageError("--allow-host needs a name");
      options.allowedHosts.push_back(*value);
    } else if (name == "--backend-ca") {
      options.backendCaFile = *value;
    } else if (name == "--conversation-images-mib") {
      if (value->empty() || value->size() > 7 ||
          value->find_first_not_of("0123456789") != std::string::npos ||
          std::stoul(*value) > (1u << 20)) {
        return usageError("--conversation-images-mib needs a number of MiB from 0 to 1048576");
      }
      options.conversationImagesMiB = *value;
    } else if (name == "--keep-conversation" || name == "--no-keep-conversation") {
      options.keepConversation = name == "--keep-conversation";
    } else if (name == "--qr" || name == "--no-qr") {
      options.qrCode = name == "--qr";
    } else if (name == "--settings") {
      if (value->empty()) return usageError("--settings needs a file name");
      options.settingsPath = *value;
    } else {
      return usageError("unknown option '" + std::string(argument) + "'");
    }
  }
  // The command line wins over the environment.
  if (const char* key = std::getenv("VELMORA_BACKEND_KEY"); key && !options.backendKey) {
    options.backendKey = key;
  }
  if (const char* token = std::getenv("VELMORA_ACCESS_TOKEN"); token && !options.accessToken) {
    options.accessToken = token;
  }
#ifdef VELMORA_WITH_WINDOW
  if (!headless && velmora::desktop::displayAvailable()) {
    return velmora::desktop::runDesktop(argc, argv, options);
  }
#endif
  return velmora::desktop::runHeadless(options);
}
