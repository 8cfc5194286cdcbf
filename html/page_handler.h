#pragma once

#include "html/builder.h"
#include "http/server_io.h"

namespace velmora::html {

// A route handler that answers every request (method, path and fields are not read) with the page
// the block builds: raw 200 "OK", "Content-Type: text/html", body "<!DOCTYPE html>" and the
// markup, with no length (the connection closes after it). The page is built by the handler, on
// the connection's thread, and handed to the body writer, which writes it with one byte-array
// write and drops a write error (the browser has gone). The block may run on several connection
// threads at once; the builder's state is per thread.
http::HttpHandler pageHandler(Block page);

}  // namespace velmora::html
