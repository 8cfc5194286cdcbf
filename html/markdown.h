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
// Linear in the input's length. Pure; any thread.
std::string markdownToHtml(std::string_view markdown);

}  // namespace velmora::html
