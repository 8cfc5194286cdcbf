#include "html/markdown.h"

#include <md4c-html.h>

#include <initializer_list>
#include <optional>
#include <vector>

#include "html/escape.h"
#include "platform/ascii.h"

namespace velmora::html {

namespace {

constexpr std::string_view kAnchorStart = "<a href=\"";
constexpr std::string_view kAnchorEnd = "</a>";
constexpr std::string_view kImageStart = "<img src=\"";

// One <a> or <img> tag as md4c writes it: the values are still escaped for an attribute.
struct Tag {
  std::string_view target;
  std::string_view alt;  // images only
  std::size_t length = 0;
};

// Takes `prefix` and the value up to the next '"' off the front of `rest`. md4c escapes '"'
// inside every value it writes, so that quote ends the value.
std::optional<std::string_view> takeValue(std::string_view& rest, std::string_view prefix) {
  if (!rest.starts_with(prefix)) return std::nullopt;
  rest.remove_prefix(prefix.size());
  const std::size_t end = rest.find('"');
  if (end == std::string_view::npos) return std::nullopt;
  const std::string_view value = rest.substr(0, end);
  rest.remove_prefix(end + 1);
  return value;
}

// `<a href="T"[ title="X"]>` or `<img src="T" alt="A"[ title="X"]>` at the front of `html`.
std::optional<Tag> readTag(std::string_view html, bool image) {
  std::string_view rest = html;
  Tag tag;
  const auto target = takeValue(rest, image ? kImageStart : kAnchorStart);
  if (!target) return std::nullopt;
  tag.target = *target;
  if (image) {
    const auto alt = takeValue(rest, " alt=\"");
    if (!alt) return std::nullopt;
    tag.alt = *alt;
  }
  if (rest.starts_with(" title=\"") && !takeValue(rest, " title=\"")) return std::nullopt;
  if (!rest.starts_with('>')) return std::nullopt;
  tag.length = html.size() - rest.size() + 1;
  return tag;
}

// With MD_FLAG_NOHTML every '<' of the answer's own text comes out as "&lt;", so each "<a href=\""
// and "<img src=\"" in md4c's output is a tag of the renderer and what follows is the target as
// the browser will read it, entities and percent-escapes still in place. An allow-list of literal
// prefixes is therefore sound: "java&#115;cript:" or "%6Aavascript:" matches none of them.
bool hasScheme(std::string_view target, std::initializer_list<std::string_view> schemes) {
  for (const std::string_view scheme : schemes) {
    if (platform::equalsIgnoringAsciiCase(target.substr(0, scheme.size()), scheme)) return true;
  }
  return false;
}

// The inline elements md4c writes with the flags used here, besides <a>.
bool closesInlineSpan(std::string_view tag) {
  for (const std::string_view end : {"</em>", "</strong>", "</del>", "</code>"}) {
    if (tag.starts_with(end)) return true;
  }
  return false;
}

// md4c's output with links to other schemes unwrapped and images made links; nullopt when a tag
// is not as md4c writes it. Anchors can nest there (a bare URL inside a link's text); only the
// outermost kept one stays a link, as HTML allows no link inside a link.
std::optional<std::string> filterLinks(std::string_view html) {
  std::string out;
  out.reserve(html.size());
  std::vector<bool> openAnchorsKept;  // one per <a> not closed yet: whether its tags were written
  bool insideLink = false;            // inside an <a> whose tags were written
  for (std::size_t at = 0;;) {
    const std::size_t lt = html.find('<', at);
    out.append(html.substr(at, lt - at));
    if (lt == std::string_view::npos) return out;
    const std::string_view rest = html.substr(lt);
    at = lt + 1;
    if (rest.starts_with(kAnchorEnd)) {
      if (openAnchorsKept.empty()) return std::nullopt;
      if (openAnchorsKept.back()) out.append(kAnchorEnd), insideLink = false;
      openAnchorsKept.pop_back();
      at = lt + kAnchorEnd.size();
    } else if (rest.starts_with(kAnchorStart) || rest.starts_with(kImageStart)) {
      const bool image = rest.starts_with(kImageStart);
      const auto tag = readTag(rest, image);
      if (!tag) return std::nullopt;
      at = lt + tag->length;
      const bool link =
          !insideLink && (image ? hasScheme(tag->target, {"http:", "https:"})
                                : hasScheme(tag->target, {"http:", "https:", "mailto:"}));
      if (image && link) {
        out.append(kAnchorStart).append(tag->target).append("\">");
        out.append(tag->alt.empty() ? tag->target : tag->alt).append(kAnchorEnd);
      } else if (image) {
        out.append(tag->alt);  // escaped for an attribute, which is escaped enough for text
      } else {
        if (link) out.append(rest.substr(0, tag->length)), insideLink = true;
        openAnchorsKept.push_back(link);
      }
    } else {
      // md4c 0.4.8 leaves a bare URL that runs into a table cell's border unclosed. A link's
      // text never leaves its block, so the block's end closes whatever link is open.
      if (rest.starts_with("</") && !closesInlineSpan(rest)) {
        if (insideLink) out.append(kAnchorEnd), insideLink = false;
        openAnchorsKept.clear();
      }
      out += '<';
    }
  }
}

}  // namespace

std::string markdownToHtml(std::string_view markdown) {
  std::string html;
  const auto append = [](const MD_CHAR* text, MD_SIZE length, void* userdata) {
    static_cast<std::string*>(userdata)->append(text, length);
  };
  constexpr unsigned flags = MD_FLAG_NOHTML | MD_FLAG_TABLES | MD_FLAG_STRIKETHROUGH |
                             MD_FLAG_PERMISSIVEURLAUTOLINKS | MD_FLAG_PERMISSIVEEMAILAUTOLINKS;
  // md4c 0.4.8 reads the byte after its input, and an unfinished link followed by ')' there
  // makes it read far beyond. A copy ends in a NUL, which nothing in Markdown continues.
  const std::string input(markdown);
  const auto size = static_cast<MD_SIZE>(input.size());
  if (size == input.size() && md_html(input.data(), size, append, &html, flags, 0) == 0) {
    if (auto filtered = filterLinks(html)) return std::move(*filtered);
  }
  return "<p>" + escapeHtmlText(markdown) + "</p>";
}

}  // namespace velmora::html
