#pragma once

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

}  // namespace velmora::examples
