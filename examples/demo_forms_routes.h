#pragma once

#include "http/parser.h"
#include "http/response.h"
#include "http/server_io.h"

namespace velmora::examples {

// Demonstration routes for the form decoders and WebSocket sessions. Each handler runs on the
// connection's thread and keeps no state of its own.

// GET /login: a page whose form posts "user" and "password", url-encoded, to /login.
http::HttpResponse loginFormPage();
// POST /login: one line "name=value" per decoded field, in body order.
http::HttpResponse loginSubmit(const http::HttpRequestPtr& request);
// GET /upload: a page whose multipart form posts a text field and a file to /upload.
http::HttpResponse uploadFormPage();
// POST /upload: one line per part: field name, file name, byte count, separated by single
// spaces; "-" stands for an absent name.
http::HttpResponse uploadSubmit(const http::HttpRequestPtr& request);
// A WebSocket endpoint that answers text with the same text and binary with the same bytes.
http::HttpHandler wsEcho();

}  // namespace velmora::examples
