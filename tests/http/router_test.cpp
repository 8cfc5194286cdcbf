#include "http/router.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace velmora::http {
namespace {

// A handler that answers with its own name, so a lookup shows which route it reached.
HttpHandler named(const std::string& name) {
  return [name](const HttpRequestPtr&) { return HttpResponse::ok(HttpResponseBody::text(name)); };
}

std::string nameOf(const HttpHandler& handler) {
  const HttpResponse response = handler(std::make_shared<HttpRequest>());
  return std::get<HttpResponseBody::Text>(std::get<HttpResponse::Ok>(response.value()).body.kind())
      .text;
}

struct LookupCase {
  const char* name;
  std::optional<std::string> method;
  std::string path;
  std::optional<std::string> route;  // nullopt: no match
  RouteParams params;
};

void PrintTo(const LookupCase& row, std::ostream* out) {
  *out << row.name;
}

class RouterLookup : public ::testing::TestWithParam<LookupCase> {
 protected:
  static void SetUpTestSuite() {
    router = new HttpRouter();
    for (const auto& [method, path] :
         std::vector<std::pair<std::optional<std::string>, std::string>>{
             {"GET", "/"},
             {"GET", "/users/:id"},
             {"GET", "/users/me"},
             {"GET", "/files/*/info"},
             {"GET", "/a/**/z"},
             {"GET", "/static/**"},
             {std::nullopt, "/clear"},
             {"GET", "/x/lit"},
             {"GET", "/x/*"},
             {"GET", "/y/*/*/end"},
             {"GET", "/y/**/end"},
             {"GET", "/both"},
             {std::nullopt, "/both"},
             {"GET", "/letters/A"},
             {"GET", "/space/a b"},
             {"GET", "/p/:a/never"},
             {"GET", "/p/*/ok"},
             {"GET", "/q/:x/a"},
             {"GET", "/q/b/:x"},
         }) {
      router->registerRoute(method, path, named((method ? *method : "ANY") + " " + path));
    }
  }
  static void TearDownTestSuite() { delete router; }
  static HttpRouter* router;
};
HttpRouter* RouterLookup::router = nullptr;

TEST_P(RouterLookup, FindsTheRouteOfHighestPriority) {
  const LookupCase& row = GetParam();
  const std::optional<RouteMatch> match = router->route(row.method, row.path);
  if (!row.route) {
    EXPECT_FALSE(match) << "reached " << nameOf(match->handler);
    return;
  }
  ASSERT_TRUE(match);
  EXPECT_EQ(nameOf(match->handler), *row.route);
  EXPECT_EQ(match->params, row.params);
}

INSTANTIATE_TEST_SUITE_P(
    Tree, RouterLookup,
    ::testing::Values(
        LookupCase{"Root", "GET", "/", "GET /", {}},
        LookupCase{"RootQueryIgnored", "GET", "/?x=1", "GET /", {}},
        LookupCase{"RootOtherMethod", "POST", "/", std::nullopt, {}},
        LookupCase{"Parameter", "GET", "/users/42", "GET /users/:id", {{":id", "42"}}},
        LookupCase{"ParameterQueryIgnored",
                   "GET",
                   "/users/42?next=/a/b",
                   "GET /users/:id",
                   {{":id", "42"}}},
        LookupCase{"ParameterTooLong", "GET", "/users/42/x", std::nullopt, {{":id", "42"}}},
        LookupCase{"ParameterBeatsLiteral", "GET", "/users/me", "GET /users/:id", {{":id", "me"}}},
        LookupCase{"ParameterDecoded", "GET", "/users/a%2Fb", "GET /users/:id", {{":id", "a/b"}}},
        LookupCase{"EmptySegmentsDropped", "GET", "//users//7/", "GET /users/:id", {{":id", "7"}}},
        LookupCase{"StarOneSegment", "GET", "/files/a/info", "GET /files/*/info", {}},
        LookupCase{"StarNotTwo", "GET", "/files/a/b/info", std::nullopt, {}},
        LookupCase{"LiteralBeatsStar", "GET", "/x/lit", "GET /x/lit", {}},
        LookupCase{"StarElsewhere", "GET", "/x/other", "GET /x/*", {}},
        LookupCase{"StarBeatsDoubleStar", "GET", "/y/b/c/end", "GET /y/*/*/end", {}},
        LookupCase{"DoubleStarLonger", "GET", "/y/b/c/d/end", "GET /y/**/end", {}},
        LookupCase{"DoubleStarTwo", "GET", "/a/b/c/z", "GET /a/**/z", {}},
        LookupCase{"DoubleStarThree", "GET", "/a/b/c/d/z", "GET /a/**/z", {}},
        LookupCase{"DoubleStarNotOne", "GET", "/a/b/z", std::nullopt, {}},
        LookupCase{"DoubleStarNotNone", "GET", "/a/z", std::nullopt, {}},
        LookupCase{"DoubleStarAtEnd", "GET", "/static/x/y", std::nullopt, {}},
        LookupCase{"MethodLessForGet", "GET", "/clear", "ANY /clear", {}},
        LookupCase{"MethodLessForPost", "POST", "/clear", "ANY /clear", {}},
        LookupCase{"MethodLessWithoutMethod", std::nullopt, "/clear", "ANY /clear", {}},
        LookupCase{"NoMethodFindsNoMethodRoute", std::nullopt, "/", std::nullopt, {}},
        LookupCase{"MethodRouteFirst", "GET", "/both", "GET /both", {}},
        LookupCase{"MethodLessForOthers", "DELETE", "/both", "ANY /both", {}},
        LookupCase{"LowerCaseMethod", "get", "/", std::nullopt, {}},
        LookupCase{"LowerCaseMethodLess", "get", "/both", "ANY /both", {}},
        LookupCase{"EscapedLetter", "GET", "/letters/%41", "GET /letters/A", {}},
        LookupCase{"LiteralCaseSensitive", "GET", "/letters/a", std::nullopt, {}},
        LookupCase{"EscapedSpace", "GET", "/space/a%20b", "GET /space/a b", {}},
        LookupCase{"BadEscape", "GET", "/letters/%zz", std::nullopt, {}},
        LookupCase{"BadEscapeBlocksParameter", "GET", "/users/%zz", std::nullopt, {}},
        LookupCase{"TruncatedEscape", "GET", "/users/%4", std::nullopt, {}},
        LookupCase{"NotUtf8", "GET", "/users/%C3%28", std::nullopt, {}},
        LookupCase{"Utf8", "GET", "/users/%C3%A9", "GET /users/:id", {{":id", "\xC3\xA9"}}},
        // The parameter set on the dead branch /p/:a/... stays in the result of /p/*/ok.
        LookupCase{"FailedBranchKeepsParameter", "GET", "/p/v/ok", "GET /p/*/ok", {{":a", "v"}}},
        // A later route that also matches must not overwrite the values of the one chosen.
        LookupCase{"FirstRouteKeepsItsParameter", "GET", "/q/b/a", "GET /q/:x/a", {{":x", "b"}}},
        // The method is one segment: an empty one must not let the path stand in for it.
        LookupCase{"EmptyMethodShiftsNothing", "", "/GET/users/5", std::nullopt, {}},
        LookupCase{"EmptyMethodStillMethodLess", "", "/clear", "ANY /clear", {}},
        LookupCase{"SlashInMethod", "GET/users", "/5", std::nullopt, {}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Router, OnlyTheFirstRouteReachedCounts) {
  HttpRouter router;
  router.registerRoute("GET", "/users/:id", named("param"));
  router.registerRoute("GET", "/users/me", named("me"));
  router.registerRoute("GET", "/users/:id", nullptr);
  EXPECT_FALSE(router.route("GET", "/users/me"))
      << "the parameter route, out of service, comes first";

  // The second pass, over the method-less routes alone, still finds one there.
  router.registerRoute(std::nullopt, "/users/:id", named("any"));
  ASSERT_TRUE(router.route("GET", "/users/me"));
  EXPECT_EQ(nameOf(router.route("GET", "/users/me")->handler), "any");

  router.registerRoute("GET", "/users/:id", named("param again"));
  EXPECT_EQ(nameOf(router.route("GET", "/users/me")->handler), "param again");
}

// Each "**" may end at many places, so nested ones reach the same places along very many paths;
// a lookup must not walk them all again (this one would not end in any reasonable time).
TEST(Router, NestedDoubleStarsOnALongPath) {
  HttpRouter router;
  router.registerRoute("GET", "/d/**/d/**/d/**/d/**/d/**/d/**/end", named("deep"));
  std::string path = "/d";
  for (int i = 0; i < 300; ++i) path += "/d";
  EXPECT_FALSE(router.route("GET", path + "/nope"));
  const auto match = router.route("GET", path + "/end");
  ASSERT_TRUE(match);
  EXPECT_EQ(nameOf(match->handler), "deep");
}

TEST(Router, ListsTheRoutesInService) {
  HttpRouter router;
  router.registerRoute("GET", "/", named("root"));
  router.registerRoute("POST", "/submit", named("submit"));
  router.registerRoute(std::nullopt, "/clear", named("clear"));
  router.registerRoute("GET", "/gone", named("gone"));
  router.registerRoute("GET", "/gone", nullptr);
  router.registerRoute("PUT", "/submit", named("put"));
  std::vector<std::string> routes = router.routes();
  std::sort(routes.begin(), routes.end());
  EXPECT_EQ(routes, (std::vector<std::string>{"", "/clear", "/submit", "/submit"}));
}

TEST(Router, PercentDecode) {
  EXPECT_EQ(percentDecode("plain"), "plain");
  EXPECT_EQ(percentDecode("%41%62"), "Ab");
  EXPECT_EQ(percentDecode("%f0%9f%98%80"), "\xF0\x9F\x98\x80");
  for (const char* bad : {"%", "a%4", "%zz", "%C3", "%C0%AF", "%ED%A0%80", "%F4%90%80%80", "%FF"}) {
    EXPECT_FALSE(percentDecode(bad)) << bad;
  }
}

// Lookups run in parallel while routes are added and toggled.
TEST(Router, LookupsWhileRegistering) {
  HttpRouter router;
  router.registerRoute("GET", "/stable/:n", named("stable"));
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (int i = 0; !done || i < 500; ++i) {
        const std::string n = std::to_string(t * 100000 + i);
        const auto match = router.route("GET", "/stable/" + n);
        if (!match || match->params.at(":n") != n || nameOf(match->handler) != "stable") ++wrong;
        router.route("GET", "/toggled");
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    router.registerRoute("GET", "/added/" + std::to_string(i), named("added"));
    router.registerRoute("GET", "/toggled", i % 2 ? named("toggled") : HttpHandler());
  }
  done = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(router.routes().size(), 302u);  // stable, 300 added, toggled (in service)
  EXPECT_TRUE(router.route("GET", "/added/299"));
}

}  // namespace
}  // namespace velmora::http
