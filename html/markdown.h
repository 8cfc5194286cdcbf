#pragma once

#include <string>
#include <string_view>

namespace velmora::html {

// One finished model answer as an HTML fragment (no page around it), rendered from Markdown by
// md4c: paragraphs, lists, code, tables, emphasis, strikethrough and links, bare URLs and e-mail
// addresses linked too. Raw HTML in the answer comes out as text. Only http:, https: and mailto:
// targets stay links (the scheme in any case); for any other target the link's text stays alone.
// An image is never loaded by the page: with an http: or https: target it becomes a link to it
// (its alt text, else its address, as the text), otherwise only its alt text remains. A link
// inside a link keeps only its text. Should md4c fail, the answer comes back escaped in one <p>.
// md4c's time grows faster than the input on some answers (many links in one paragraph: about
// 50 ms for 10 000 lines, 1 s for 80 000), so callers bound what they render. Pure; any thread.
std::string markdownToHtml(std::string_view markdown);

}  // namespace velmora::html
