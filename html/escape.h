#pragma once

#include <string>
#include <string_view>

// Escaping for text placed into HTML built with html/builder.h, which writes everything as given.
// All are pure functions, callable on any thread.
namespace velmora::html {

// For element content: & < > become entities.
std::string escapeHtmlText(std::string_view text);

// For a value between double or single quotes: & < > " ' become entities.
std::string escapeHtmlAttribute(std::string_view value);

// For one segment of a URL path (a file name in a link, say): every byte except the unreserved
// ones (A-Z a-z 0-9 - . _ ~) becomes %XX with upper-case hex digits, so '/', '?', '#', '%',
// spaces and UTF-8 sequences survive as data. "." and ".." stay as they are: they are unreserved,
// and percent-encoded dots mean the same to a URL resolver.
std::string percentEncodePathSegment(std::string_view segment);

}  // namespace velmora::html
