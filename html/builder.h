#pragma once

#include <array>
#include <functional>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Builds HTML as nested blocks: one operation per element, each taking a block that sets the
// element's attributes and builds its children.
//
//   std::string page = render([] {
//     html([] {
//       body([] {
//         a([] {
//           attr::href = "/x";
//           innerText = "go";
//         });
//       });
//     });
//   });
//
// Attributes are variables (in namespace attr) instead of arguments. Every element saves them
// all, clears them, runs its block and restores them, so a value set inside a block belongs to
// that block's element only. The variables and the markup being built are per thread: pages
// built at the same time on different threads never see each other's values.
//
// Nothing is escaped: attribute values, innerText and names are written as given. Use the
// helpers in html/escape.h for text that is not trusted.
//
// Build pages inside render() or pageHandler() (html/page_handler.h): elements built outside
// them append to a buffer of the thread that nobody reads. Everything here runs on the calling
// thread and touches only that thread's state; nothing fails except by a block's own exception.

// Element operations: C++ name and markup name. Names that are C++ keywords get a trailing
// underscore.
// clang-format off
#define VELMORA_HTML_ELEMENTS(X)                                                                \
  X(a, "a") X(abbr, "abbr") X(acronym, "acronym") X(address, "address") X(applet, "applet")     \
  X(area, "area") X(article, "article") X(aside, "aside") X(audio, "audio") X(b, "b")           \
  X(base, "base") X(basefont, "basefont") X(bdi, "bdi") X(bdo, "bdo") X(bgsound, "bgsound")     \
  X(big, "big") X(blink, "blink") X(blockquote, "blockquote") X(body, "body") X(br, "br")       \
  X(button, "button") X(canvas, "canvas") X(caption, "caption") X(center, "center")             \
  X(cite, "cite") X(code, "code") X(col, "col") X(colgroup, "colgroup") X(command, "command")   \
  X(content, "content") X(data, "data") X(datalist, "datalist") X(dd, "dd") X(del, "del")       \
  X(details, "details") X(dfn, "dfn") X(dialog, "dialog") X(dir, "dir") X(div, "div")           \
  X(dl, "dl") X(dt, "dt") X(element, "element") X(em, "em") X(embed, "embed")                   \
  X(fieldset, "fieldset") X(figcaption, "figcaption") X(figure, "figure") X(font, "font")       \
  X(footer, "footer") X(form, "form") X(frame, "frame") X(frameset, "frameset") X(h1, "h1")     \
  X(h2, "h2") X(h3, "h3") X(h4, "h4") X(h5, "h5") X(h6, "h6") X(head, "head")                   \
  X(header, "header") X(hgroup, "hgroup") X(hr, "hr") X(html, "html") X(i, "i")                 \
  X(iframe, "iframe") X(image, "image") X(img, "img") X(input, "input") X(ins, "ins")           \
  X(isindex, "isindex") X(kbd, "kbd") X(keygen, "keygen") X(label, "label") X(legend, "legend") \
  X(li, "li") X(link, "link") X(listing, "listing") X(main, "main") X(map, "map")               \
  X(mark, "mark") X(marquee, "marquee") X(menu, "menu") X(menuitem, "menuitem") X(meta, "meta") \
  X(meter, "meter") X(multicol, "multicol") X(nav, "nav") X(nobr, "nobr") X(noembed, "noembed") \
  X(noframes, "noframes") X(noscript, "noscript") X(object, "object") X(ol, "ol")               \
  X(optgroup, "optgroup") X(option, "option") X(output, "output") X(p, "p") X(param, "param")   \
  X(picture, "picture") X(plaintext, "plaintext") X(pre, "pre") X(progress, "progress")         \
  X(q, "q") X(rp, "rp") X(rt, "rt") X(rtc, "rtc") X(ruby, "ruby") X(s, "s") X(samp, "samp")     \
  X(script, "script") X(section, "section") X(select, "select") X(shadow, "shadow")             \
  X(small, "small") X(source, "source") X(spacer, "spacer") X(span, "span") X(strike, "strike") \
  X(strong, "strong") X(style, "style") X(sub, "sub") X(summary, "summary") X(sup, "sup")       \
  X(table, "table") X(tbody, "tbody") X(td, "td") X(template_, "template")                      \
  X(textarea, "textarea") X(tfoot, "tfoot") X(th, "th") X(thead, "thead") X(time, "time")       \
  X(title, "title") X(tr, "tr") X(track, "track") X(tt, "tt") X(u, "u") X(ul, "ul")             \
  X(var, "var") X(video, "video") X(wbr, "wbr") X(xmp, "xmp")
// clang-format on

// Attribute variables: C++ name and markup name, in the order they are written into an element.
// Keywords get a trailing underscore, a hyphen becomes an underscore.
// clang-format off
#define VELMORA_HTML_ATTRIBUTES(X)                                                              \
  X(id, "id") X(dir, "dir") X(rel, "rel") X(rev, "rev") X(alt, "alt") X(for_, "for")            \
  X(src, "src") X(type, "type") X(href, "href") X(text, "text") X(abbr, "abbr") X(size, "size") \
  X(face, "face") X(char_, "char") X(cite, "cite") X(span, "span") X(data, "data")              \
  X(axis, "axis") X(Name, "Name") X(name, "name") X(code, "code") X(link, "link")               \
  X(lang, "lang") X(cols, "cols") X(rows, "rows") X(ismap, "ismap") X(shape, "shape")           \
  X(style, "style") X(alink, "alink") X(width, "width") X(rules, "rules") X(align, "align")     \
  X(frame, "frame") X(vlink, "vlink") X(defer, "defer") X(color, "color") X(media, "media")     \
  X(title, "title") X(scope, "scope") X(class_, "class") X(manifest, "manifest")                \
  X(value, "value") X(clear, "clear") X(start, "start") X(label, "label") X(action, "action")   \
  X(height, "height") X(method, "method") X(accept, "accept") X(object, "object")               \
  X(scheme, "scheme") X(coords, "coords") X(usemap, "usemap") X(onblur, "onblur")               \
  X(nohref, "nohref") X(nowrap, "nowrap") X(hspace, "hspace") X(border, "border")               \
  X(valign, "valign") X(vspace, "vspace") X(onload, "onload") X(target, "target")               \
  X(prompt, "prompt") X(onfocus, "onfocus") X(enctype, "enctype") X(onclick, "onclick")         \
  X(ontouchstart, "ontouchstart") X(onkeyup, "onkeyup") X(profile, "profile")                   \
  X(version, "version") X(onreset, "onreset") X(charset, "charset") X(standby, "standby")       \
  X(colspan, "colspan") X(charoff, "charoff") X(classid, "classid") X(compact, "compact")       \
  X(declare, "declare") X(rowspan, "rowspan") X(checked, "checked") X(archive, "archive")       \
  X(bgcolor, "bgcolor") X(content, "content") X(noshade, "noshade") X(summary, "summary")       \
  X(headers, "headers") X(onselect, "onselect") X(readonly, "readonly") X(tabindex, "tabindex") \
  X(onchange, "onchange") X(noresize, "noresize") X(disabled, "disabled")                       \
  X(longdesc, "longdesc") X(codebase, "codebase") X(language, "language")                       \
  X(datetime, "datetime") X(selected, "selected") X(hreflang, "hreflang")                       \
  X(onsubmit, "onsubmit") X(multiple, "multiple") X(onunload, "onunload")                       \
  X(codetype, "codetype") X(scrolling, "scrolling") X(onkeydown, "onkeydown")                   \
  X(maxlength, "maxlength") X(valuetype, "valuetype") X(accesskey, "accesskey")                 \
  X(onmouseup, "onmouseup") X(onkeypress, "onkeypress") X(ondblclick, "ondblclick")             \
  X(onmouseout, "onmouseout") X(http_equiv, "http-equiv") X(data_text, "data-text")             \
  X(background, "background") X(onmousemove, "onmousemove") X(onmouseover, "onmouseover")       \
  X(cellpadding, "cellpadding") X(onmousedown, "onmousedown") X(frameborder, "frameborder")     \
  X(marginwidth, "marginwidth") X(cellspacing, "cellspacing") X(placeholder, "placeholder")     \
  X(marginheight, "marginheight") X(accept_charset, "accept-charset")
// clang-format on

namespace velmora::html {

// The code that builds an element's attributes and children. An empty block builds nothing.
using Block = std::function<void()>;

// Attributes an element always carries, whatever its block sets. An absent value removes the
// attribute; a later entry replaces an earlier one of the same name.
using FixedAttributes = std::vector<std::pair<std::string, std::optional<std::string>>>;

// The attribute variables of the calling thread; absent outside element blocks.
namespace attr {
#define VELMORA_HTML_DECLARE_ATTRIBUTE(identifier, markup) \
  extern thread_local std::optional<std::string> identifier;
VELMORA_HTML_ATTRIBUTES(VELMORA_HTML_DECLARE_ATTRIBUTE)
#undef VELMORA_HTML_DECLARE_ATTRIBUTE
}  // namespace attr

// The text content of the element whose block sets it, on the calling thread. When present, the
// element holds this text and whatever its block built is dropped.
extern thread_local std::optional<std::string> innerText;

inline constexpr std::size_t elementCount = 142;
inline constexpr std::size_t attributeCount = 124;

// The markup names of the element operations, and of the attribute variables in their order.
const std::array<std::string_view, elementCount>& elementNames();
const std::array<std::string_view, attributeCount>& attributeNames();

// Appends <name attributes>children</name> to the calling thread's markup: saves and clears the
// attribute variables and innerText, runs the block, writes the attributes that are present
// (then the fixed ones), and restores the saved values. Every element gets a closing tag. If the
// block throws, the element is dropped, the state is restored and the exception passes on.
void buildElement(std::string_view name, const FixedAttributes& fixed, const Block& block);

// One operation per element, e.g. div(block) builds "<div ...>...</div>".
#define VELMORA_HTML_DECLARE_ELEMENT(identifier, markup) void identifier(const Block& block = {});
VELMORA_HTML_ELEMENTS(VELMORA_HTML_DECLARE_ELEMENT)
#undef VELMORA_HTML_DECLARE_ELEMENT

// Any element by name, with or without fixed attributes.
void genericElement(std::string_view name, const Block& block = {});
void genericElement(std::string_view name, const FixedAttributes& fixed, const Block& block);

// <link rel="stylesheet" type="text/css" ...> and <script type="text/javascript" ...>.
void styleSheet(const Block& block = {});
void scriptBlock(const Block& block = {});

// The element, whose block runs perItem once for each item, in order.
template <std::ranges::input_range Items, typename PerItem>
void ul(Items&& items, PerItem&& perItem) {
  ul([&] {
    for (auto&& item : items) perItem(item);
  });
}
template <std::ranges::input_range Items, typename PerItem>
void table(Items&& items, PerItem&& perItem) {
  table([&] {
    for (auto&& item : items) perItem(item);
  });
}
template <std::ranges::input_range Items, typename PerItem>
void tbody(Items&& items, PerItem&& perItem) {
  tbody([&] {
    for (auto&& item : items) perItem(item);
  });
}

// Runs the block on a fresh markup buffer and fresh attribute variables and returns the markup
// it built; the calling thread's state is as before afterwards (also when the block throws), so
// render may be nested.
std::string render(const Block& block);

}  // namespace velmora::html
