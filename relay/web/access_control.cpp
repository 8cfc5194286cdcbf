#include "relay/web/access_control.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <array>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <utility>

#include "http/body_decoding.h"
#include "platform/ascii.h"
#include "platform/console.h"
#include "relay/web/request_guard.h"
#include "relay/web/sign_in_links.h"

namespace velmora::relay::web {

namespace {

// Changing the label signs every browser out.
constexpr std::string_view kCookieLabel = "velmora access session 1\n";

constexpr std::string_view kSignInPageFirst =
    "<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><meta name=\"viewport\" "
    "content=\"width=device-width, initial-scale=1\"><title>Velmora: sign in</title></head>\n"
    "<body>\n <form action=\"/signin\" method=\"post\">\n <h1>Velmora</h1>\n <p>This relay "
    "asks for its access token. The person who runs it can tell you.</p>\n";
constexpr std::string_view kWrongTokenNote =
    " <p id=\"note\" style=\"color: #b00020;\">Wrong access token. Please try again.</p>\n";
constexpr std::string_view kSignInAgainNote =
    " <p id=\"note\" style=\"color: #b00020;\">The access token has changed. Please sign in "
    "again.</p>\n";
constexpr std::string_view kLinkUsedNote =
    " <p id=\"note\" style=\"color: #b00020;\">This sign-in link has been used or is more than "
    "10 minutes old. Scan the code again, or sign in with the access token.</p>\n";
constexpr std::string_view kSignInPageSecond =
    " <div style=\"text-align: center;\">\n <input type=\"password\" id=\"token\" name=\"token\" "
    "autocomplete=\"current-password\" autofocus required style=\"width: 90%;\">\n </div><br>\n"
    " <div style=\"text-align: right; width: 90%; margin: 0 auto;\">\n <input type=\"submit\" "
    "value=\"Sign in\">\n </div>\n  </form>\n</body>\n</html>";

using Digest = std::array<unsigned char, SHA256_DIGEST_LENGTH>;

Digest sha256(std::string_view text) {
  Digest digest{};
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
  return digest;
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The token of "Authorization: Bearer TOKEN"; absent without such a header (another scheme
// belongs to someone else and is left alone).
std::optional<std::string_view> bearerToken(const http::HttpRequest& request) {
  const std::string* value = request.header("authorization");
  if (!value) return std::nullopt;
  const std::string_view text = trimmed(*value);
  const auto space = text.find_first_of(" \t");
  if (space == std::string_view::npos ||
      !platform::equalsIgnoringAsciiCase(text.substr(0, space), "Bearer")) {
    return std::nullopt;
  }
  return trimmed(text.substr(space));
}

std::vector<std::string> sessionCookies(const http::HttpRequest& request) {
  const std::string* value = request.header("cookie");
  if (!value) return {};
  return cookieValues(*value, kSessionCookieName);
}

// What a request presents, and through which means.
enum class Verdict { nothing, rightBearer, rightCookie, wrongBearer, wrongCookie };

// A bearer token decides when there is one; else any of the session cookies.
Verdict judge(const http::HttpRequest& request, std::string_view token) {
  if (const auto bearer = bearerToken(request)) {
    return sameSecret(*bearer, token) ? Verdict::rightBearer : Verdict::wrongBearer;
  }
  const std::vector<std::string> cookies = sessionCookies(request);
  if (cookies.empty()) return Verdict::nothing;
  const std::string expected = sessionCookieValue(token);
  bool right = false;
  for (const std::string& cookie : cookies) right |= sameSecret(cookie, expected);
  return right ? Verdict::rightCookie : Verdict::wrongCookie;
}

// Takes the relay's own credentials off a request that passed.
void removeCredentials(http::HttpRequest& request) {
  if (bearerToken(request)) request.headers.erase("authorization");
  const auto cookie = request.headers.find("cookie");
  if (cookie == request.headers.end()) return;
  std::string others;
  std::string_view rest = cookie->second;
  while (!rest.empty()) {
    const auto end = rest.find(';');
    const std::string_view piece = trimmed(rest.substr(0, end));
    const auto equals = piece.find('=');
    const bool ours =
        equals != std::string_view::npos && trimmed(piece.substr(0, equals)) == kSessionCookieName;
    if (!piece.empty() && !ours) {
      if (!others.empty()) others += "; ";
      others += piece;
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  if (others.empty()) {
    request.headers.erase(cookie);
  } else {
    cookie->second = std::move(others);
  }
}

// Wrong tokens by address, in windows of kWrongTokenWindow from each address's first failure
// there. A window's count is printed once, when it ends (or when the next failure finds it
// ended), so that guessing cannot flood the console.
class WrongTokens : public std::enable_shared_from_this<WrongTokens> {
 public:
  explicit WrongTokens(platform::MainQueue& queue) : queue_(queue) {}

  // How long `address` is still refused; nullopt while it may try.
  std::optional<std::chrono::seconds> refusal(const std::string& address) {
    std::lock_guard lock(mutex_);
    const auto found = windows_.find(address);
    if (found == windows_.end() || found->second.failures < kWrongTokensPerWindow) {
      return std::nullopt;
    }
    const auto left = found->second.start + kWrongTokenWindow - Clock::now();
    if (left <= Clock::duration::zero()) return std::nullopt;
    return std::chrono::ceil<std::chrono::seconds>(left);
  }

  void count(const std::string& address) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    auto found = windows_.find(address);
    if (found != windows_.end() && now - found->second.start >= kWrongTokenWindow) {
      printLocked(found);
      found = windows_.end();
    }
    if (found == windows_.end()) {
      found = windows_.emplace(address, Window{now, 0}).first;
      queue_.after(kWrongTokenWindow, [weak = weak_from_this(), address, start = now] {
        if (const auto self = weak.lock()) self->windowEnded(address, start);
      });
    }
    ++found->second.failures;
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Window {
    Clock::time_point start;
    int failures = 0;
  };

  void windowEnded(const std::string& address, Clock::time_point start) {
    std::lock_guard lock(mutex_);
    const auto found = windows_.find(address);
    if (found != windows_.end() && found->second.start == start) printLocked(found);
  }
  void printLocked(std::map<std::string, Window>::iterator window) {
    const int failures = window->second.failures;
    platform::printLine("Access refused: " + std::to_string(failures) + " wrong access token" +
                        (failures == 1 ? "" : "s") + " from " +
                        (window->first.empty() ? "an unknown address" : window->first) +
                        " within a minute");
    windows_.erase(window);
  }

  platform::MainQueue& queue_;
  std::mutex mutex_;
  std::map<std::string, Window> windows_;  // guarded by mutex_
};

void waitOutWrongToken(const http::HttpRequest& request, WrongTokens& wrongTokens) {
  wrongTokens.count(request.address.value_or(""));
  std::this_thread::sleep_for(kWrongTokenDelay);
}

http::HttpResponse tooManyWrongTokens(const http::HttpRequest& request,
                                      std::chrono::seconds retryAfter) {
  return closingResponse(request, 429, "Too Many Requests",
                         {{"Content-Type", "text/plain; charset=utf-8"},
                          {"Retry-After", std::to_string(retryAfter.count())}},
                         "Too many wrong access tokens from this address. Try again in " +
                             std::to_string(retryAfter.count()) + " seconds.\n");
}

bool isGetOrHead(const http::HttpRequest& request) {
  return request.method == "GET" || request.method == "HEAD";
}

// A browser navigating, as opposed to a program calling the API.
bool wantsPage(const http::HttpRequest& request) {
  const std::string* accept = request.header("accept");
  if (!accept || accept->find("text/html") == std::string::npos) return false;
  return isGetOrHead(request) || !request.header("authorization");
}

enum class Note { none, wrongToken, signInAgain, linkUsed };

// Where a browser goes once signed in: back to the chat page when that is what it asked for,
// else the start page. Only these two, so the field cannot send anyone elsewhere.
constexpr std::string_view kChatPath = "/chat";
constexpr std::string_view kReturnField = "then";

bool asksForChat(const http::HttpRequest& request) {
  return request.path == kChatPath || request.path.starts_with("/chat/");
}

std::string signInPage(Note note, bool returnToChat) {
  std::string page(kSignInPageFirst);
  if (returnToChat) {
    page += " <input type=\"hidden\" name=\"" + std::string(kReturnField) + "\" value=\"" +
            std::string(kChatPath) + "\">\n";
  }
  switch (note) {
    case Note::none:
      break;
    case Note::wrongToken:
      page += kWrongTokenNote;
      break;
    case Note::signInAgain:
      page += kSignInAgainNote;
      break;
    case Note::linkUsed:
      page += kLinkUsedNote;
      break;
  }
  page += kSignInPageSecond;
  return page;
}

std::string sessionCookie(std::string_view token) {
  return std::string(kSessionCookieName) + "=" + sessionCookieValue(token) +
         "; Path=/; HttpOnly; SameSite=Strict";
}

std::string expiredCookie() {
  return std::string(kSessionCookieName) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict";
}

http::HttpResponse signInPageResponse(const http::HttpRequest& request, int status,
                                      std::string phrase, Note note, bool clearCookie,
                                      bool returnToChat) {
  http::HttpHeaders headers{{"Content-Type", "text/html; charset=utf-8"}};
  if (status == 401) headers.emplace_back("WWW-Authenticate", "Bearer");
  if (clearCookie) headers.emplace_back("Set-Cookie", expiredCookie());
  return closingResponse(request, status, std::move(phrase), std::move(headers),
                         signInPage(note, returnToChat));
}

http::HttpResponse seeOtherToStart(std::optional<std::string> setCookie,
                                   std::string_view location = "/", http::HttpHeaders more = {}) {
  http::HttpHeaders headers{{"Location", std::string(location)}, {"Cache-Control", "no-store"}};
  if (setCookie) headers.emplace_back("Set-Cookie", std::move(*setCookie));
  headers.insert(headers.end(), more.begin(), more.end());
  headers.emplace_back("Content-Length", "0");
  headers.emplace_back("Connection", "close");
  return http::HttpResponse::raw(303, "See Other", std::move(headers));
}

// The answer to a program, in the error shape of the OpenAI API.
http::HttpResponse programRefusal(const http::HttpRequest& request, bool wrongToken) {
  const std::string message =
      wrongToken ? "Wrong access token."
                 : "This relay needs an access token: send \"Authorization: Bearer TOKEN\".";
  const nlohmann::json body = {{"error",
                                {{"message", message},
                                 {"type", "invalid_request_error"},
                                 {"param", nullptr},
                                 {"code", wrongToken ? "invalid_api_key" : "missing_api_key"}}}};
  return closingResponse(
      request, 401, "Unauthorized",
      {{"Content-Type", "application/json"},
       {"WWW-Authenticate", wrongToken ? "Bearer error=\"invalid_token\"" : "Bearer"}},
      body.dump());
}

http::HttpResponse answerSignInForm(const http::HttpRequest& request, std::string_view token,
                                    WrongTokens& wrongTokens) {
  std::optional<std::string> presented;
  bool returnToChat = false;
  for (auto& [name, value] : http::urlencodedFormFields(request)) {
    if (name == "token" && !presented) presented = std::move(value);
    if (name == kReturnField) returnToChat = value == kChatPath;
  }
  if (sameSecret(presented.value_or(""), token)) {
    return seeOtherToStart(sessionCookie(token), returnToChat ? kChatPath : "/");
  }
  waitOutWrongToken(request, wrongTokens);
  return signInPageResponse(request, 401, "Unauthorized", Note::wrongToken, false, returnToChat);
}

// A one-time sign-in link (GET /signin/CODE): signs the browser in and lands on the chat page,
// or, used up or expired, shows the sign-in page. The code goes into no log line; nothing of the
// answer may be kept or passed on.
std::optional<http::HttpResponse> answerSignInLink(const http::HttpRequest& request,
                                                   RelayHost& host, std::string_view token) {
  if (request.method != "GET" || !request.path.starts_with(kSignInLinkPrefix)) return std::nullopt;
  const std::string_view code = std::string_view(request.path).substr(kSignInLinkPrefix.size());
  const std::string from = request.address.value_or("an unknown address");
  if (host.redeemSignInCode(code)) {
    platform::printLine("Signed in with a sign-in link from " + from);
    return seeOtherToStart(sessionCookie(token), kChatPath, {{"Referrer-Policy", "no-referrer"}});
  }
  std::this_thread::sleep_for(kWrongTokenDelay);
  platform::printLine("Access refused: a used, expired or unknown sign-in link from " + from);
  return signInPageResponse(request, 401, "Unauthorized", Note::linkUsed, false, true);
}

std::optional<http::HttpResponse> guard(http::HttpRequest& request, const std::string& token,
                                        WrongTokens& wrongTokens) {
  // Every request, right token or not: a guess that passed must not answer differently.
  if (const auto retryAfter = wrongTokens.refusal(request.address.value_or(""))) {
    return tooManyWrongTokens(request, *retryAfter);
  }
  const bool signInPath = request.path == kSignInPath;
  if (signInPath && request.method == "POST") return answerSignInForm(request, token, wrongTokens);

  const Verdict verdict = judge(request, token);
  switch (verdict) {
    case Verdict::wrongBearer:
    case Verdict::wrongCookie:
      waitOutWrongToken(request, wrongTokens);
      break;
    case Verdict::nothing:
    case Verdict::rightBearer:
    case Verdict::rightCookie:
      break;
  }
  const bool passes = verdict == Verdict::rightBearer || verdict == Verdict::rightCookie;
  const bool staleCookie = verdict == Verdict::wrongCookie;

  const Note note = verdict == Verdict::wrongBearer ? Note::wrongToken
                    : staleCookie                   ? Note::signInAgain
                                                    : Note::none;

  if (signInPath && isGetOrHead(request)) {
    if (passes) return seeOtherToStart(std::nullopt);
    return signInPageResponse(request, 200, "OK", note, staleCookie, false);
  }
  if (passes) {
    removeCredentials(request);
    return std::nullopt;
  }
  if (wantsPage(request))
    return signInPageResponse(request, 401, "Unauthorized", note, staleCookie,
                              asksForChat(request));
  return programRefusal(request, verdict == Verdict::wrongBearer || staleCookie);
}

}  // namespace

std::string sessionCookieValue(std::string_view token) {
  std::string labelled(kCookieLabel);
  labelled += token;
  return platform::lowerHex(sha256(labelled));
}

std::vector<std::string> cookieValues(std::string_view header, std::string_view name) {
  std::vector<std::string> values;
  while (!header.empty()) {
    const auto end = header.find(';');
    const std::string_view piece = header.substr(0, end);
    const auto equals = piece.find('=');
    if (equals != std::string_view::npos && trimmed(piece.substr(0, equals)) == name) {
      std::string_view value = trimmed(piece.substr(equals + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      values.emplace_back(value);
    }
    if (end == std::string_view::npos) break;
    header.remove_prefix(end + 1);
  }
  return values;
}

bool sameSecret(std::string_view presented, std::string_view expected) {
  const Digest a = sha256(presented);
  const Digest b = sha256(expected);
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

http::HttpMiddleware accessControl(std::weak_ptr<RelayHost> host) {
  std::shared_ptr<WrongTokens> wrongTokens;
  if (const auto strongHost = host.lock()) {
    wrongTokens = std::make_shared<WrongTokens>(strongHost->mainQueue());
  }
  return [weakHost = std::move(host),
          wrongTokens](const http::HttpRequestPtr& request) -> std::optional<http::HttpResponse> {
    const auto strongHost = weakHost.lock();
    if (!strongHost || !wrongTokens) return http::HttpResponse::internalServerError();
    const std::string token = strongHost->accessToken();
    if (token.empty()) return std::nullopt;
    if (auto answer = answerSignInLink(*request, *strongHost, token)) return answer;
    return guard(*request, token, *wrongTokens);
  };
}

}  // namespace velmora::relay::web
