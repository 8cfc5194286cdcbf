#pragma once

#include <string>

#include "http/server.h"

namespace velmora::examples {

// Registers the demonstration routes on `server`:
//   GET  /             "Hello, World!"
//   GET  /users/:id    "user " and the id
//   GET  /files/*/info "info"
//   GET  /a/**/z       "deep"
//   any  /redirect     307 to "/"
//   GET  /json         {"hello": "world"}
//   GET  /stream       five text lines, 100 ms apart, streamed as they are written
//   GET  /login        a url-encoded form; POST /login lists the decoded fields
//   GET  /upload       a multipart form; POST /upload lists the parts and their sizes
//   any  /ws-echo      a WebSocket that echoes text as text and binary as binary
// Anything else gets the server's own not-found answer. Call before or while serving.
void registerDemoRoutes(http::HttpServer& server);

// Registers the file routes on `server`, serving the folder `root`:
//   GET  /static        root's index.html
//   GET  /static/:path  the file below root, with its MIME type and length
//   GET  /browse        a listing of root
//   GET  /browse/:path  a listing of the directory below root, or the file itself
//   GET  /readme        the file at `readmePath`
// A middleware hands deeper paths below /static and /browse (/static/css/site.css) to the same
// handlers, with the decoded segments joined by '/', so that the listing's links and the
// relative links of served pages work. No path leaves root. Call before or while serving.
void registerFileRoutes(http::HttpServer& server, const std::string& root,
                        const std::string& readmePath);

}  // namespace velmora::examples
