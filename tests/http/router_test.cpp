#include "http/router.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "tests/http/plain_route_match.h"

namespace velmora::http {
namespace {

const std::optional<std::string> kAny;

HttpHandler tagged(const std::string& tag) {
  return [tag](const HttpRequestPtr&) { return HttpResponse::raw(200, tag); };
}

// "tag :name=value ..." for the route a request reaches, "none" when it reaches none.
std::string lookUp(const HttpRouter& router, const std::optional<std::string>& method,
                   const std::string& path) {
  const std::optional<RouteMatch> match = router.route(method, path);
  if (!match) return "none";
  std::string out = match->handler(nullptr).reasonPhrase();
  for (const auto& [key, value] : std::map(match->params.begin(), match->params.end())) {
    out += " " + key + "=" + value;
  }
  return out;
}

TEST(HttpRouterTest, FindsTheFirstRouteInPriorityOrder) {
  HttpRouter router;
  // "method path tag": "*" for every method, "-" to take the route out of service.
  for (const char* route : {"GET /users/:id get-user", "* /users/:id user", "* /users/me me",
                            "* /users/:id/posts posts", "* /users/me/settings settings",
                            "* /docs/intro/view intro-view", "* /docs/*/edit any-edit",
                            "* /a/**/z deep", "POST /form form", "* /gone gone", "* /gone -",
                            "* /off/:id -", "* /off/lit lit", "* /**/m/**/k mk"}) {
    std::istringstream fields(route);
    std::string method, path, tag;
    fields >> method >> path >> tag;
    router.registerRoute(method == "*" ? kAny : method, path, tag == "-" ? nullptr : tagged(tag));
  }
  const std::tuple<std::optional<std::string>, std::string, std::string> rows[] = {
      {"GET", "/users/5", "get-user :id=5"},
      {"PUT", "/users/5", "user :id=5"},          // no PUT route: the method-less one
      {"PUT", "/users/me", "user :id=me"},        // a parameter before a literal
      {"GET", "/users/5/posts", "posts :id=5"},   // the GET tree leads nowhere
      {"GET", "/users/me/settings", "settings"},  // no value left by the :id branch
      {"PUT", "/users/a%20b", "user :id=a b"},
      {"PUT", "/users/a%2Fb", "user :id=a/b"},  // decoded after the split
      {"PUT", "/users/%zz", "none"},
      {"PUT", "/users/%FF", "none"},  // not UTF-8
      {"PUT", "//users//7?x=/y", "user :id=7"},
      {kAny, "/docs/intro/view", "intro-view"},
      {kAny, "/docs/intro/edit", "any-edit"},  // the literal leads nowhere, "*" next
      {kAny, "/docs/x/y/edit", "none"},        // "*" is one segment
      {kAny, "/a/b/z", "none"},                // "**" is never one segment
      {kAny, "/a/b/c/z", "deep"},
      {kAny, "/a/b/z/c/z", "deep"},        // on to a later literal
      {kAny, "/a/b/m/m/x/%zz/e/k", "mk"},  // the second "**" spans x and %zz
      {"GET", "/form", "none"},
      {"POST", "/form", "form"},
      {"GET", "/gone", "none"},
      {"GET", "/off/lit", "none"},  // the first route reached is out of service
  };
  for (const auto& [method, path, expected] : rows) {
    EXPECT_EQ(lookUp(router, method, path), expected) << method.value_or("any") << " " << path;
  }
}

TEST(HttpRouterTest, ReachesTheRoutePlainBacktrackingReaches) {
  std::mt19937 random(7);
  auto draw = [&random](std::vector<std::string> from, std::size_t least, std::size_t most) {
    std::string path;
    for (auto n = least + random() % (most - least + 1); n > 0; --n)
      path += "/" + from[random() % from.size()];
    return path;
  };
  for (int round = 0; round < 3000; ++round) {
    HttpRouter router;
    std::set<std::string> routes;
    std::string drawn, path;
    for (int i = 0; i < 3; ++i) {
      routes.insert(drawn = draw({"m", "k", ":p", "*", "**", "**/m", "**/k"}, 1, 4));
      router.registerRoute("GET", drawn, tagged(drawn));
    }
    // Near a match of the last route: its literals kept, the rest filled in at random.
    for (const std::string_view segment : pathSegments(drawn)) {
      path += segment == "m" || segment == "k"
                  ? "/" + std::string(segment)
                  : draw({"m", "k", "x", "%6D", "%zz", ""}, segment == "**" ? 2 : 1, 4);
    }
    const std::optional<RouteMatch> match = router.route("GET", path);
    EXPECT_EQ(match ? match->handler(nullptr).reasonPhrase() : "none",
              plainFirstMatch(routes, path))
        << path << " in " << ::testing::PrintToString(routes);
  }
  // Plain backtracking would not end here in any reasonable time.
  HttpRouter router;
  router.registerRoute("GET", "/**/m/**/m/**/m/**/m/**/m/**/k", tagged("deep"));
  const std::string path = "/m/%zz" + draw({"m"}, 400, 400);
  EXPECT_EQ(lookUp(router, "GET", path + "/x"), "none");
  EXPECT_EQ(lookUp(router, "GET", path + "/k"), "deep");
}

TEST(HttpRouterTest, RegistrationsWhileOtherThreadsLookUp) {
  HttpRouter router;
  router.registerRoute("GET", "/stable/:id", tagged("stable"));
  std::atomic<bool> done{false};
  auto lookUps = [&] {
    for (int i = 0; !done || i < 100; ++i) {
      ASSERT_EQ(lookUp(router, "GET", "/stable/" + std::to_string(i)),
                "stable :id=" + std::to_string(i));
      lookUp(router, "GET", "/r" + std::to_string(i % 300) + "/v");
    }
  };
  std::thread readers[] = {std::thread(lookUps), std::thread(lookUps), std::thread(lookUps)};
  for (int i = 0; i < 300; ++i)
    router.registerRoute(kAny, "/r" + std::to_string(i) + "/:x", tagged(std::to_string(i)));
  done = true;
  for (std::thread& reader : readers) reader.join();
  for (int i = 0; i < 300; ++i)
    EXPECT_EQ(lookUp(router, "GET", "/r" + std::to_string(i) + "/v"), std::to_string(i) + " :x=v");
}

}  // namespace
}  // namespace velmora::http
