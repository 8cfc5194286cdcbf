#include "html/builder.h"

#include <gtest/gtest.h>

#include <latch>
#include <list>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora::html {
namespace {

// ---------------------------------------------------------------------------------------------
// Exact markup of small pages.

struct MarkupCase {
  const char* name;
  Block page;
  std::string expected;
};

void PrintTo(const MarkupCase& row, std::ostream* out) {
  *out << row.name;
}

class MarkupTest : public ::testing::TestWithParam<MarkupCase> {};

TEST_P(MarkupTest, BuildsExactMarkup) {
  EXPECT_EQ(render(GetParam().page), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MarkupTest,
    ::testing::Values(
        MarkupCase{"nesting", [] { html([] { body([] { h1([] { innerText = "Hi"; }); }); }); },
                   "<html><body><h1>Hi</h1></body></html>"},
        MarkupCase{"linkWithText",
                   [] {
                     a([] {
                       attr::href = "/x";
                       innerText = "go";
                     });
                   },
                   "<a href=\"/x\">go</a>"},
        MarkupCase{"siblingsInOrder",
                   [] {
                     ul([] {
                       li([] { innerText = "one"; });
                       li([] { innerText = "two"; });
                     });
                   },
                   "<ul><li>one</li><li>two</li></ul>"},
        MarkupCase{"topLevelSiblings",
                   [] {
                     p();
                     hr();
                     p();
                   },
                   "<p></p><hr></hr><p></p>"},
        MarkupCase{"voidElementsAreClosed",
                   [] {
                     br();
                     img([] {});
                   },
                   "<br></br><img></img>"},
        MarkupCase{"innerTextDropsChildren",
                   [] {
                     div([] {
                       span([] { innerText = "lost"; });
                       innerText = "kept";
                       p();
                     });
                   },
                   "<div>kept</div>"},
        MarkupCase{"emptyInnerTextStillDropsChildren",
                   [] {
                     div([] {
                       innerText = "";
                       p();
                     });
                   },
                   "<div></div>"},
        MarkupCase{"childInnerTextStaysWithChild",
                   [] {
                     div([] {
                       p([] { innerText = "a"; });
                       p();
                     });
                   },
                   "<div><p>a</p><p></p></div>"},
        MarkupCase{"parentAttributeNotOnChildren",
                   [] {
                     div([] {
                       attr::id = "outer";
                       p([] { attr::class_ = "inner"; });
                       span();
                     });
                   },
                   "<div id=\"outer\"><p class=\"inner\"></p><span></span></div>"},
        MarkupCase{"attributesInListOrder",
                   [] {
                     input([] {
                       attr::value = "v";
                       attr::type = "text";
                       attr::id = "i";
                     });
                   },
                   "<input id=\"i\" type=\"text\" value=\"v\"></input>"},
        MarkupCase{"twoNameAttributes",
                   [] {
                     input([] {
                       attr::name = "lower";
                       attr::Name = "Upper";
                     });
                   },
                   "<input Name=\"Upper\" name=\"lower\"></input>"},
        MarkupCase{"hyphenAndKeywordNames",
                   [] {
                     meta([] {
                       attr::http_equiv = "refresh";
                       attr::content = "5";
                     });
                     label([] { attr::for_ = "f"; });
                   },
                   "<meta content=\"5\" http-equiv=\"refresh\"></meta><label for=\"f\"></label>"},
        MarkupCase{"emptyValueIsWritten", [] { p([] { attr::id = ""; }); }, "<p id=\"\"></p>"},
        MarkupCase{"valuesAndTextUnescaped",
                   [] {
                     p([] {
                       attr::title = "a\"b<c>&";
                       innerText = "<b>&amp;";
                     });
                   },
                   "<p title=\"a\"b<c>&\"><b>&amp;</p>"},
        MarkupCase{"genericElement", [] { genericElement("x-card", [] { attr::id = "c"; }); },
                   "<x-card id=\"c\"></x-card>"},
        MarkupCase{"styleSheet", [] { styleSheet([] { attr::href = "/s.css"; }); },
                   "<link href=\"/s.css\" rel=\"stylesheet\" type=\"text/css\"></link>"},
        MarkupCase{"scriptBlock", [] { scriptBlock([] { innerText = "f();"; }); },
                   "<script type=\"text/javascript\">f();</script>"},
        MarkupCase{"fixedReplacesVariableInPlace",
                   [] {
                     genericElement("input", {{"type", "hidden"}, {"form", "f"}}, [] {
                       attr::id = "a";
                       attr::type = "text";
                       attr::name = "n";
                     });
                   },
                   "<input id=\"a\" type=\"hidden\" name=\"n\" form=\"f\"></input>"},
        MarkupCase{"absentFixedRemovesVariable",
                   [] {
                     genericElement("p", {{"id", std::nullopt}}, [] {
                       attr::id = "gone";
                       attr::lang = "en";
                     });
                   },
                   "<p lang=\"en\"></p>"},
        MarkupCase{"laterFixedEntryWins",
                   [] {
                     genericElement("p", {{"id", "first"}, {"id", "second"}}, {});
                   },
                   "<p id=\"second\"></p>"},
        MarkupCase{"fixedAttributesNotInherited", [] { scriptBlock([] { span(); }); },
                   "<script type=\"text/javascript\"><span></span></script>"},
        MarkupCase{"topLevelValuesBelongToNoElement",
                   [] {
                     attr::id = "stray";
                     innerText = "stray";
                     p();
                   },
                   "<p></p>"}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// ---------------------------------------------------------------------------------------------
// The variables around nested content.

TEST(BuilderState, ParentValuesAreClearedForChildrenAndRestoredAfter) {
  std::optional<std::string> idInChild = "unset";
  std::optional<std::string> textInChild = "unset";
  std::optional<std::string> idAfterChild;
  std::optional<std::string> textAfterChild;
  const std::string markup = render([&] {
    section([&] {
      attr::id = "parent";
      innerText = "parent text";
      article([&] {
        idInChild = attr::id;
        textInChild = innerText;
        attr::id = "child";
      });
      idAfterChild = attr::id;
      textAfterChild = innerText;
    });
  });
  EXPECT_EQ(idInChild, std::nullopt);
  EXPECT_EQ(textInChild, std::nullopt);
  EXPECT_EQ(idAfterChild, "parent");
  EXPECT_EQ(textAfterChild, "parent text");
  EXPECT_EQ(markup, "<section id=\"parent\">parent text</section>");
}

TEST(BuilderState, EveryVariableIsAbsentAfterAPage) {
  render([] {
    div([] {
      attr::id = "x";
      attr::accept_charset = "utf-8";
      innerText = "t";
    });
    attr::href = "top level";
  });
  EXPECT_EQ(attr::id, std::nullopt);
  EXPECT_EQ(attr::accept_charset, std::nullopt);
  EXPECT_EQ(attr::href, std::nullopt);
  EXPECT_EQ(innerText, std::nullopt);
}

TEST(BuilderState, ThrowingBlockDropsItsElementAndRestoresState) {
  const std::string markup = render([] {
    div([] {
      attr::id = "outer";
      p();
      try {
        span([] {
          attr::id = "inner";
          innerText = "inner";
          b();
          throw std::runtime_error("boom");
        });
      } catch (const std::runtime_error&) {
      }
      EXPECT_EQ(attr::id, "outer");
      EXPECT_EQ(innerText, std::nullopt);
      i();
    });
  });
  EXPECT_EQ(markup, "<div id=\"outer\"><p></p><i></i></div>");
}

TEST(BuilderState, RenderInsideABlockLeavesTheOuterPageAlone) {
  std::string inner;
  const std::string outer = render([&] {
    ol([&] {
      attr::start = "3";
      li();
      inner = render([] { em([] { innerText = "nested"; }); });
      EXPECT_EQ(attr::start, "3");
      li();
    });
  });
  EXPECT_EQ(inner, "<em>nested</em>");
  EXPECT_EQ(outer, "<ol start=\"3\"><li></li><li></li></ol>");
}

TEST(BuilderState, DeepNestingClosesInReverseOrder) {
  constexpr int depth = 500;
  std::function<void(int)> nest = [&](int level) {
    if (level == depth) return;
    div([&] {
      attr::id = std::to_string(level);
      nest(level + 1);
    });
  };
  std::string expected;
  for (int level = 0; level < depth; ++level)
    expected += "<div id=\"" + std::to_string(level) + "\">";
  for (int level = 0; level < depth; ++level) expected += "</div>";
  EXPECT_EQ(render([&] { nest(0); }), expected);
}

// ---------------------------------------------------------------------------------------------
// Elements over a collection.

TEST(BuilderCollections, RunPerItemBlockInCollectionOrder) {
  const std::vector<std::string> names{"b", "a", "c"};
  EXPECT_EQ(
      render([&] { ul(names, [](const std::string& item) { li([&] { innerText = item; }); }); }),
      "<ul><li>b</li><li>a</li><li>c</li></ul>");

  const std::list<int> numbers{3, 1};
  EXPECT_EQ(render([&] {
              table(numbers,
                    [](int item) { tr([&] { td([&] { innerText = std::to_string(item); }); }); });
            }),
            "<table><tr><td>3</td></tr><tr><td>1</td></tr></table>");

  EXPECT_EQ(render([&] { tbody(std::vector<int>{}, [](int) { tr(); }); }), "<tbody></tbody>");
}

TEST(BuilderCollections, PerItemValuesDoNotLeakBetweenItems) {
  const std::vector<int> items{1, 2};
  EXPECT_EQ(render([&] {
              ul(items, [](int item) {
                li([&] {
                  if (item == 1) attr::class_ = "first";
                });
              });
            }),
            "<ul><li class=\"first\"></li><li></li></ul>");
}

// ---------------------------------------------------------------------------------------------
// The complete vocabulary, typed from the list of HTML elements and attributes.

using ElementOperation = void (*)(const Block&);
struct ElementRow {
  ElementOperation operation;
  std::string markup;
};

std::vector<ElementRow> expectedElements() {
  return {
      {&a, "a"},
      {&abbr, "abbr"},
      {&acronym, "acronym"},
      {&address, "address"},
      {&applet, "applet"},
      {&area, "area"},
      {&article, "article"},
      {&aside, "aside"},
      {&audio, "audio"},
      {&b, "b"},
      {&base, "base"},
      {&basefont, "basefont"},
      {&bdi, "bdi"},
      {&bdo, "bdo"},
      {&bgsound, "bgsound"},
      {&big, "big"},
      {&blink, "blink"},
      {&blockquote, "blockquote"},
      {&body, "body"},
      {&br, "br"},
      {&button, "button"},
      {&canvas, "canvas"},
      {&caption, "caption"},
      {&center, "center"},
      {&cite, "cite"},
      {&code, "code"},
      {&col, "col"},
      {&colgroup, "colgroup"},
      {&command, "command"},
      {&content, "content"},
      {&data, "data"},
      {&datalist, "datalist"},
      {&dd, "dd"},
      {&del, "del"},
      {&details, "details"},
      {&dfn, "dfn"},
      {&dialog, "dialog"},
      {&dir, "dir"},
      {&div, "div"},
      {&dl, "dl"},
      {&dt, "dt"},
      {&element, "element"},
      {&em, "em"},
      {&embed, "embed"},
      {&fieldset, "fieldset"},
      {&figcaption, "figcaption"},
      {&figure, "figure"},
      {&font, "font"},
      {&footer, "footer"},
      {&form, "form"},
      {&frame, "frame"},
      {&frameset, "frameset"},
      {&h1, "h1"},
      {&h2, "h2"},
      {&h3, "h3"},
      {&h4, "h4"},
      {&h5, "h5"},
      {&h6, "h6"},
      {&head, "head"},
      {&header, "header"},
      {&hgroup, "hgroup"},
      {&hr, "hr"},
      {&html, "html"},
      {&i, "i"},
      {&iframe, "iframe"},
      {&image, "image"},
      {&img, "img"},
      {&input, "input"},
      {&ins, "ins"},
      {&isindex, "isindex"},
      {&kbd, "kbd"},
      {&keygen, "keygen"},
      {&label, "label"},
      {&legend, "legend"},
      {&li, "li"},
      {&link, "link"},
      {&listing, "listing"},
      {&html::main, "main"},
      {&map, "map"},
      {&mark, "mark"},
      {&marquee, "marquee"},
      {&menu, "menu"},
      {&menuitem, "menuitem"},
      {&meta, "meta"},
      {&meter, "meter"},
      {&multicol, "multicol"},
      {&nav, "nav"},
      {&nobr, "nobr"},
      {&noembed, "noembed"},
      {&noframes, "noframes"},
      {&noscript, "noscript"},
      {&object, "object"},
      {&ol, "ol"},
      {&optgroup, "optgroup"},
      {&option, "option"},
      {&output, "output"},
      {&p, "p"},
      {&param, "param"},
      {&picture, "picture"},
      {&plaintext, "plaintext"},
      {&pre, "pre"},
      {&progress, "progress"},
      {&q, "q"},
      {&rp, "rp"},
      {&rt, "rt"},
      {&rtc, "rtc"},
      {&ruby, "ruby"},
      {&s, "s"},
      {&samp, "samp"},
      {&script, "script"},
      {&section, "section"},
      {&select, "select"},
      {&shadow, "shadow"},
      {&small, "small"},
      {&source, "source"},
      {&spacer, "spacer"},
      {&span, "span"},
      {&strike, "strike"},
      {&strong, "strong"},
      {&style, "style"},
      {&sub, "sub"},
      {&summary, "summary"},
      {&sup, "sup"},
      {&table, "table"},
      {&tbody, "tbody"},
      {&td, "td"},
      {&template_, "template"},
      {&textarea, "textarea"},
      {&tfoot, "tfoot"},
      {&th, "th"},
      {&thead, "thead"},
      {&html::time, "time"},
      {&title, "title"},
      {&tr, "tr"},
      {&track, "track"},
      {&tt, "tt"},
      {&u, "u"},
      {&ul, "ul"},
      {&var, "var"},
      {&video, "video"},
      {&wbr, "wbr"},
      {&xmp, "xmp"},
  };
}

struct AttributeRow {
  std::optional<std::string>* variable;  // this thread's instance
  std::string markup;
};

std::vector<AttributeRow> expectedAttributes() {
  return {
      {&attr::id, "id"},
      {&attr::dir, "dir"},
      {&attr::rel, "rel"},
      {&attr::rev, "rev"},
      {&attr::alt, "alt"},
      {&attr::for_, "for"},
      {&attr::src, "src"},
      {&attr::type, "type"},
      {&attr::href, "href"},
      {&attr::text, "text"},
      {&attr::abbr, "abbr"},
      {&attr::size, "size"},
      {&attr::face, "face"},
      {&attr::char_, "char"},
      {&attr::cite, "cite"},
      {&attr::span, "span"},
      {&attr::data, "data"},
      {&attr::axis, "axis"},
      {&attr::Name, "Name"},
      {&attr::name, "name"},
      {&attr::code, "code"},
      {&attr::link, "link"},
      {&attr::lang, "lang"},
      {&attr::cols, "cols"},
      {&attr::rows, "rows"},
      {&attr::ismap, "ismap"},
      {&attr::shape, "shape"},
      {&attr::style, "style"},
      {&attr::alink, "alink"},
      {&attr::width, "width"},
      {&attr::rules, "rules"},
      {&attr::align, "align"},
      {&attr::frame, "frame"},
      {&attr::vlink, "vlink"},
      {&attr::defer, "defer"},
      {&attr::color, "color"},
      {&attr::media, "media"},
      {&attr::title, "title"},
      {&attr::scope, "scope"},
      {&attr::class_, "class"},
      {&attr::manifest, "manifest"},
      {&attr::value, "value"},
      {&attr::clear, "clear"},
      {&attr::start, "start"},
      {&attr::label, "label"},
      {&attr::action, "action"},
      {&attr::height, "height"},
      {&attr::method, "method"},
      {&attr::accept, "accept"},
      {&attr::object, "object"},
      {&attr::scheme, "scheme"},
      {&attr::coords, "coords"},
      {&attr::usemap, "usemap"},
      {&attr::onblur, "onblur"},
      {&attr::nohref, "nohref"},
      {&attr::nowrap, "nowrap"},
      {&attr::hspace, "hspace"},
      {&attr::border, "border"},
      {&attr::valign, "valign"},
      {&attr::vspace, "vspace"},
      {&attr::onload, "onload"},
      {&attr::target, "target"},
      {&attr::prompt, "prompt"},
      {&attr::onfocus, "onfocus"},
      {&attr::enctype, "enctype"},
      {&attr::onclick, "onclick"},
      {&attr::ontouchstart, "ontouchstart"},
      {&attr::onkeyup, "onkeyup"},
      {&attr::profile, "profile"},
      {&attr::version, "version"},
      {&attr::onreset, "onreset"},
      {&attr::charset, "charset"},
      {&attr::standby, "standby"},
      {&attr::colspan, "colspan"},
      {&attr::charoff, "charoff"},
      {&attr::classid, "classid"},
      {&attr::compact, "compact"},
      {&attr::declare, "declare"},
      {&attr::rowspan, "rowspan"},
      {&attr::checked, "checked"},
      {&attr::archive, "archive"},
      {&attr::bgcolor, "bgcolor"},
      {&attr::content, "content"},
      {&attr::noshade, "noshade"},
      {&attr::summary, "summary"},
      {&attr::headers, "headers"},
      {&attr::onselect, "onselect"},
      {&attr::readonly, "readonly"},
      {&attr::tabindex, "tabindex"},
      {&attr::onchange, "onchange"},
      {&attr::noresize, "noresize"},
      {&attr::disabled, "disabled"},
      {&attr::longdesc, "longdesc"},
      {&attr::codebase, "codebase"},
      {&attr::language, "language"},
      {&attr::datetime, "datetime"},
      {&attr::selected, "selected"},
      {&attr::hreflang, "hreflang"},
      {&attr::onsubmit, "onsubmit"},
      {&attr::multiple, "multiple"},
      {&attr::onunload, "onunload"},
      {&attr::codetype, "codetype"},
      {&attr::scrolling, "scrolling"},
      {&attr::onkeydown, "onkeydown"},
      {&attr::maxlength, "maxlength"},
      {&attr::valuetype, "valuetype"},
      {&attr::accesskey, "accesskey"},
      {&attr::onmouseup, "onmouseup"},
      {&attr::onkeypress, "onkeypress"},
      {&attr::ondblclick, "ondblclick"},
      {&attr::onmouseout, "onmouseout"},
      {&attr::http_equiv, "http-equiv"},
      {&attr::data_text, "data-text"},
      {&attr::background, "background"},
      {&attr::onmousemove, "onmousemove"},
      {&attr::onmouseover, "onmouseover"},
      {&attr::cellpadding, "cellpadding"},
      {&attr::onmousedown, "onmousedown"},
      {&attr::frameborder, "frameborder"},
      {&attr::marginwidth, "marginwidth"},
      {&attr::cellspacing, "cellspacing"},
      {&attr::placeholder, "placeholder"},
      {&attr::marginheight, "marginheight"},
      {&attr::accept_charset, "accept-charset"},
  };
}

TEST(BuilderVocabulary, HasEveryElementOnceAndNoOther) {
  const auto rows = expectedElements();
  ASSERT_EQ(rows.size(), 142u);
  ASSERT_EQ(elementNames().size(), 142u);
  std::set<std::string> distinct;
  for (std::size_t index = 0; index < rows.size(); ++index) {
    distinct.insert(rows[index].markup);
    EXPECT_EQ(elementNames()[index], rows[index].markup);
  }
  EXPECT_EQ(distinct.size(), 142u);
}

TEST(BuilderVocabulary, EachElementOperationWritesItsName) {
  for (const auto& row : expectedElements()) {
    SCOPED_TRACE(row.markup);
    EXPECT_EQ(render([&] { row.operation([] { innerText = "x"; }); }),
              "<" + row.markup + ">x</" + row.markup + ">");
    EXPECT_EQ(render([&] { genericElement(row.markup); }),
              "<" + row.markup + "></" + row.markup + ">");
  }
}

TEST(BuilderVocabulary, HasEveryAttributeOnceInListOrder) {
  const auto rows = expectedAttributes();
  ASSERT_EQ(rows.size(), 124u);
  ASSERT_EQ(attributeNames().size(), 124u);
  std::set<std::string> distinct;
  for (std::size_t index = 0; index < rows.size(); ++index) {
    distinct.insert(rows[index].markup);
    EXPECT_EQ(attributeNames()[index], rows[index].markup);
  }
  EXPECT_EQ(distinct.size(), 124u);
}

TEST(BuilderVocabulary, EachAttributeVariableWritesItsName) {
  for (const auto& row : expectedAttributes()) {
    SCOPED_TRACE(row.markup);
    EXPECT_EQ(render([&] { p([&] { *row.variable = "v"; }); }), "<p " + row.markup + "=\"v\"></p>");
    EXPECT_EQ(*row.variable, std::nullopt);
  }
}

TEST(BuilderVocabulary, AllAttributesTogetherInListOrder) {
  const auto rows = expectedAttributes();
  std::string expected = "<p";
  for (const auto& row : rows) expected += " " + row.markup + "=\"" + row.markup + "\"";
  expected += "></p>";
  EXPECT_EQ(render([&] {
              p([&] {
                for (auto it = rows.rbegin(); it != rows.rend(); ++it) *it->variable = it->markup;
              });
            }),
            expected);
}

// ---------------------------------------------------------------------------------------------
// Pages built at the same time on many threads.

// A page whose values depend on (thread, round); it yields between setting values and building
// children so that threads interleave inside element blocks.
void buildRound(int thread, int round) {
  const std::string tag = std::to_string(thread) + "-" + std::to_string(round);
  html([&] {
    attr::lang = "t" + tag;
    body([&] {
      attr::id = "body" + tag;
      std::this_thread::yield();
      ul([&] {
        attr::class_ = "list" + tag;
        for (int item = 0; item < 3; ++item) {
          li([&] {
            attr::value = std::to_string(item);
            std::this_thread::yield();
            a([&] {
              attr::href = "/" + tag + "/" + std::to_string(item);
              std::this_thread::yield();
              innerText = "item " + tag;
            });
          });
        }
        std::this_thread::yield();
      });
      p([&] {
        innerText = "end " + tag;
        std::this_thread::yield();
        span();
      });
    });
  });
}

std::string expectedRound(int thread, int round) {
  const std::string tag = std::to_string(thread) + "-" + std::to_string(round);
  std::string page =
      "<html lang=\"t" + tag + "\"><body id=\"body" + tag + "\"><ul class=\"list" + tag + "\">";
  for (int item = 0; item < 3; ++item) {
    page += "<li value=\"" + std::to_string(item) + "\"><a href=\"/" + tag + "/" +
            std::to_string(item) + "\">item " + tag + "</a></li>";
  }
  page += "</ul><p>end " + tag + "</p></body></html>";
  return page;
}

TEST(BuilderThreads, ConcurrentPagesNeverMix) {
  constexpr int threadCount = 8;
  constexpr int rounds = 150;
  std::latch ready(threadCount);
  std::vector<int> mismatches(threadCount, 0);
  std::vector<std::string> firstMismatch(threadCount);
  std::vector<std::thread> threads;
  for (int thread = 0; thread < threadCount; ++thread) {
    threads.emplace_back([&, thread] {
      ready.arrive_and_wait();
      for (int round = 0; round < rounds; ++round) {
        const std::string page = render([&] { buildRound(thread, round); });
        if (page != expectedRound(thread, round)) {
          if (mismatches[thread]++ == 0) firstMismatch[thread] = page;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int thread = 0; thread < threadCount; ++thread) {
    EXPECT_EQ(mismatches[thread], 0) << "thread " << thread << ": " << firstMismatch[thread];
  }
}

}  // namespace
}  // namespace velmora::html
