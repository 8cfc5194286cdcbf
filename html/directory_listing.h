#pragma once

#include <string>
#include <vector>

#include "http/server_io.h"

namespace velmora::html {

// The names sorted for a listing: ascending by their ASCII-lower-cased forms, names equal in that
// form by their bytes.
std::vector<std::string> sortedForListing(std::vector<std::string> names);

// A route handler that shows what the first route parameter names below `directory`. A directory
// answers raw 200 "OK" "Content-Type: text/html" with a page holding a table of links, one per
// entry ("." and ".." included): href the request's path + "/" + the percent-encoded name, text
// the name, both escaped for HTML. Anything else is sent as a file (regular files only, no
// headers).
//
// notFound when there is no parameter, when it would leave the directory (a ".." segment, a
// leading '/'), when the path is missing or is not a regular file or directory; a stat or
// directory read failure answers internalServerError. Runs on the connection's thread, several
// at a time; never raises.
http::HttpHandler directoryListingHandler(std::string directory);

}  // namespace velmora::html
