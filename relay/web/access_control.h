#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/server.h"
#include "relay/relay_host.h"

namespace velmora::relay::web {

// Where the sign-in page lives; its form posts the field "token" back to the same path.
inline constexpr std::string_view kSignInPath = "/signin";
// The cookie a browser receives when it signs in.
inline constexpr std::string_view kSessionCookieName = "velmora_session";
// How long a request that presents a wrong token waits for its answer, whatever the token was.
inline constexpr std::chrono::milliseconds kWrongTokenDelay{300};
// After this many wrong tokens from one address within kWrongTokenWindow of its first, every
// request from that address is answered 429 at once, with Retry-After, until the window ends.
inline constexpr int kWrongTokensPerWindow = 10;
inline constexpr std::chrono::minutes kWrongTokenWindow{1};

// The middleware that guards every route of the relay with the host's access token
// (RelayHost::accessToken, asked afresh for each request). With no token everything passes.
// Otherwise a request passes with "Authorization: Bearer TOKEN" or the session cookie, and the
// credential is taken off the request, so that nothing behind the relay (the backend of the
// pass-through) ever sees it. The sign-in page and its form are answered here, and so is a
// one-time sign-in link (GET /signin/CODE, see relay/sign_in_links.h), which sets the session
// cookie and leads to /chat while RelayHost::redeemSignInCode accepts its code; anything else
// answers 401: the sign-in page for a browser, a JSON error for a program. A wrong token (bearer,
// cookie or form) answers only after kWrongTokenDelay, and tokens are compared in constant time.
// Wrong tokens are counted by address (see kWrongTokensPerWindow) and printed as one console line
// per address and window, with their count. Holds the host weakly and answers internalServerError
// once it is gone. Connection thread.
http::HttpMiddleware accessControl(std::weak_ptr<RelayHost> host);

// The session cookie's value for a token: the hex SHA-256 of a fixed label and the token. It
// outlives restarts, changes with the token and does not give the token away. Pure; any thread.
std::string sessionCookieValue(std::string_view token);

// The values of every cookie called `name` in a Cookie header ("a=1; b=2"), in order. Blanks
// around names and values are ignored and one pair of double quotes around a value is removed.
// Pure; any thread.
std::vector<std::string> cookieValues(std::string_view header, std::string_view name);

// Whether two texts are equal, in a time that depends on neither's content: both are reduced to
// SHA-256 digests, compared with CRYPTO_memcmp. Pure; any thread.
bool sameSecret(std::string_view presented, std::string_view expected);

}  // namespace velmora::relay::web
