#!/usr/bin/env python3
"""Fake OpenAI-compatible model server for Velmora's tests.

A small HTTP/1.1 server, standard library only, that answers like an LM Studio server: a model
list at GET /v1/models and chat completions at POST /v1/chat/completions, streamed as
"data: {json}" event lines when the request body says "stream": true. What it answers is a
*scenario* that tests set at start or at run time, so one running fake serves many test cases,
and it records every request it receives so that tests can check what Velmora sent.

It shares no code with Velmora's C++ server on purpose: a fault in one cannot hide the same
fault in the other.

Running it
----------
    python3 tests/fake_backend/fake_backend.py --port 0 [options]

The first line on stdout is exactly "listening on PORT" (flushed); everything else goes to
stderr. It listens on 127.0.0.1 only, one thread per connection, HTTP/1.1 keep-alive.

    --port N             port to bind; 0 picks a free one (default 0)
    --scenario FILE      JSON file with the starting scenario (an object, keys below)
    --scenario-json TEXT the starting scenario as JSON text (applied after --scenario)
    --models A,B,C       model ids for the starting scenario ("models")
    --lifetime SECONDS   exit after this long whatever happens (default 0: no limit)
    --verbose            one stderr line per request

It exits on SIGTERM/SIGINT, on POST /_control/shutdown, when --lifetime has passed, and when
its parent process goes away (so a crashed test leaves nothing running). A C++ test spawns it,
reads the first line for the port and talks to http://127.0.0.1:PORT.

As a module (Python tests):
    from fake_backend import FakeBackend
    with FakeBackend(scenario={"pieces": ["a", "b"]}) as fake:
        ... fake.port, fake.url, fake.set_scenario({...}), fake.queue_scenarios([...]),
        ... fake.requests, fake.wait_for_requests(n, timeout), fake.reset()

Scenario (a JSON object; keys left out take the defaults shown; unknown keys are refused)
------------------------------------------------------------------------------------------
Answer content
    pieces            ["Hello", ", ", "world", "!"]  content pieces, one event each; any UTF-8,
                                                     "<think>" tags are just text
    generate          null | {"count": N, "size": M} replaces pieces with N pieces of M bytes:
                                                     piece i is M copies of chr(ord('a') + i % 26)
    reasoning         []                  reasoning pieces, sent before the content pieces
    reasoning_field   "reasoning_content" | "reasoning": the delta member that carries them
    model             null                model name in the answer; null: the request's "model",
                                          else the first model id
    raw_events        null | [text, ...]  sent verbatim (UTF-8) instead of every generated
                                          event, role chunk, finish chunk and [DONE] included;
                                          include your own line ends. Only split, delay_ms,
                                          framing and close_after (counting these events)
                                          still apply
    done              true                send "data: [DONE]" at the end
    crlf              false               end event lines with "\\r\\n" instead of "\\n"
    escape_unicode    false               JSON with \\uXXXX escapes instead of raw UTF-8
Writes on the wire (each write is one send(); in chunked framing each write is one HTTP chunk)
    split             "lines"   one event ("data: ...\\n\\n") per write
                      "whole"   the whole event stream in one write
                      "bytes"   one byte per write
                      "halves"  every event cut in two at its middle byte
                      "utf8"    every multi-byte UTF-8 character cut after its first byte
                      "offsets" the concatenated event stream cut at split_offsets
    split_offsets     []        byte offsets into the concatenated event stream (framing excluded)
    delay_ms          0         pause before every body write but the first
    framing           "chunked" | "close": no Transfer-Encoding, the body ends with the
                                connection (HTTP/1.0 clients always get "close")
    response_headers  {}        extra response headers for chat answers
Failures
    status            200       any other value: answer that status with error_body (JSON,
                                Content-Length) instead of a completion
    error_body        {"error": "No models loaded"}   any JSON value
    stream_error      null | text | object   after 200, send
                                'data: {"error": {"message": text}}' (an object is used as the
                                "error" member as it is), then end the body without finish
                                chunk or [DONE]
    stream_error_after 0        content pieces sent before the error event (N >= number of
                                pieces: all of them, then the error)
    close_after       null | N  after the role chunk and N content pieces (N >= number of pieces:
                                all of them, before the finish chunk) close the connection
                                abruptly, without the terminating chunk; non-streamed: close
                                without answering
    close_mode        "fin" | "rst" (reset the connection instead of closing it)
    hang              false     read the request, then never answer: hold the connection silent
                                until the client closes it or the fake stops
    drop              false     read the request, then close without sending a byte
    first_byte_delay_s 0        pause before the first byte of the answer (status line)
Model list (GET /v1/models)
    models            ["fake-model-1", "fake-model-2"]  a string becomes
                                {"id": s, "object": "model", "owned_by": "organization_owner"};
                                any other value is put in "data" as it is (a number, an object
                                without "id", ...)
    models_status     200       status of the model-list answer
    models_body       null      any JSON value served instead of the generated document
    models_raw        null      text served byte for byte instead (e.g. not JSON at all)
hang, drop, first_byte_delay_s and status apply to chat completions only.

Streamed answer, "split": "lines": status line, headers ("Content-Type: text/event-stream",
"Transfer-Encoding: chunked"), then one chunk per event:
    data: {"id":"chatcmpl-fake-1","object":"chat.completion.chunk","created":T,"model":M,
           "choices":[{"index":0,"delta":{"role":"assistant"},"finish_reason":null}]}
    data: {... "choices":[{"index":0,"delta":{"content":PIECE},"finish_reason":null}]}  (each)
    data: {... "choices":[{"index":0,"delta":{},"finish_reason":"stop"}]}
    data: [DONE]
(each event is one line followed by an empty line, JSON compact), then "0\\r\\n\\r\\n".
"stream" other than true gets one "chat.completion" JSON document with Content-Length.
A body that is not a JSON object gets 400 {"error": {"message": ..., "type": ...}}.
Request bodies may come with Content-Length or chunked; "Expect: 100-continue" is answered with
"100 Continue" before the body is read. A request line or header line that does not parse gets
400 and the connection is closed. Other paths get 404 with a JSON error.

Control API (on the same port; control requests are not recorded)
-----------------------------------------------------------------
    GET  /_control/scenario          the current scenario, every key filled in
    POST /_control/scenario          body: scenario object; replaces the whole scenario
                                     (defaults + given keys); 400 with the reason if invalid
    POST /_control/queue             body: array of scenario objects; each following chat
                                     request takes the next one, then the current scenario
    GET  /_control/requests          JSON array of every recorded request, oldest first
    GET  /_control/wait?count=N&timeout=S   waits until N requests are recorded: 200 with the
                                     array, or 408 with the array so far after S seconds (max 60)
    GET  /_control/connections       {"accepted": n, "open": n} connections since the last reset
    POST /_control/reset             forgets the recorded requests (numbering starts again at 1),
                                     the queue and the counters (the scenario stays)
    POST /_control/shutdown          stops the fake (the process exits)

Recorded request (every request outside /_control/, recorded once its body has been read):
    {"seq": 1, "connection": 1, "client": "127.0.0.1:PORT", "method": "POST",
     "target": "/v1/chat/completions?x=1", "path": "/v1/chat/completions", "query": "x=1",
     "version": "HTTP/1.1", "headers": [["Host", "127.0.0.1:PORT"], ...],   (names as sent,
     values without surrounding blanks, in order) "raw_head": request line and header lines as received (both decoded
     as UTF-8, or as Latin-1 when they are not UTF-8),
     "body": text (UTF-8, invalid bytes replaced), "body_base64": exact bytes,
     "body_length": n, "body_utf8": bool, "chunked": bool (body came chunked),
     "json": the parsed body or null, "json_valid": bool}
"connection" numbers the connections, so tests can see keep-alive reuse.
"""

import argparse
import base64
import copy
import http
import json
import os
import signal
import socket
import struct
import sys
import threading
import time
import urllib.parse

HOST = "127.0.0.1"
MAX_HEAD_BYTES = 64 * 1024
MAX_BODY_BYTES = 256 * 1024 * 1024
IDLE_TIMEOUT_S = 300.0

SPLIT_MODES = ("lines", "whole", "bytes", "halves", "utf8", "offsets")

DEFAULT_SCENARIO = {
    "pieces": ["Hello", ", ", "world", "!"],
    "generate": None,
    "reasoning": [],
    "reasoning_field": "reasoning_content",
    "model": None,
    "raw_events": None,
    "done": True,
    "crlf": False,
    "escape_unicode": False,
    "split": "lines",
    "split_offsets": [],
    "delay_ms": 0,
    "framing": "chunked",
    "response_headers": {},
    "status": 200,
    "error_body": {"error": "No models loaded"},
    "stream_error": None,
    "stream_error_after": 0,
    "close_after": None,
    "close_mode": "fin",
    "hang": False,
    "drop": False,
    "first_byte_delay_s": 0,
    "models": ["fake-model-1", "fake-model-2"],
    "models_status": 200,
    "models_body": None,
    "models_raw": None,
}


class ScenarioError(ValueError):
    pass


def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def _is_number(v):
    return (isinstance(v, (int, float))) and not isinstance(v, bool)


def _str_list(v):
    return isinstance(v, list) and all(isinstance(x, str) for x in v)


def _check_generate(v):
    return v is None or (
        isinstance(v, dict)
        and set(v) == {"count", "size"}
        and _is_int(v["count"])
        and _is_int(v["size"])
        and v["count"] >= 0
        and v["size"] >= 0
    )


_VALIDATORS = {
    "pieces": _str_list,
    "generate": _check_generate,
    "reasoning": _str_list,
    "reasoning_field": lambda v: v in ("reasoning_content", "reasoning"),
    "model": lambda v: v is None or isinstance(v, str),
    "raw_events": lambda v: v is None or _str_list(v),
    "done": lambda v: isinstance(v, bool),
    "crlf": lambda v: isinstance(v, bool),
    "escape_unicode": lambda v: isinstance(v, bool),
    "split": lambda v: v in SPLIT_MODES,
    "split_offsets": lambda v: isinstance(v, list) and all(_is_int(x) and x >= 0 for x in v),
    "delay_ms": lambda v: _is_number(v) and v >= 0,
    "framing": lambda v: v in ("chunked", "close"),
    "response_headers": lambda v: isinstance(v, dict)
    and all(isinstance(k, str) and isinstance(x, str) for k, x in v.items()),
    "status": lambda v: _is_int(v) and 100 <= v <= 599,
    "error_body": lambda v: True,
    "stream_error": lambda v: v is None or isinstance(v, (str, dict)),
    "stream_error_after": lambda v: _is_int(v) and v >= 0,
    "close_after": lambda v: v is None or (_is_int(v) and v >= 0),
    "close_mode": lambda v: v in ("fin", "rst"),
    "hang": lambda v: isinstance(v, bool),
    "drop": lambda v: isinstance(v, bool),
    "first_byte_delay_s": lambda v: _is_number(v) and v >= 0,
    "models": lambda v: isinstance(v, list),
    "models_status": lambda v: _is_int(v) and 100 <= v <= 599,
    "models_body": lambda v: True,
    "models_raw": lambda v: v is None or isinstance(v, str),
}


def make_scenario(options=None):
    """Defaults overlaid with `options`; raises ScenarioError on unknown keys or bad values."""
    if options is None:
        options = {}
    if not isinstance(options, dict):
        raise ScenarioError("a scenario is a JSON object")
    scenario = copy.deepcopy(DEFAULT_SCENARIO)
    for key, value in options.items():
        check = _VALIDATORS.get(key)
        if check is None:
            raise ScenarioError("unknown scenario key: %s" % key)
        if not check(value):
            raise ScenarioError("bad value for %s: %s" % (key, json.dumps(value)))
        scenario[key] = copy.deepcopy(value)
    return scenario


def generated_pieces(count, size):
    """The pieces of {"generate": {"count": count, "size": size}}."""
    return [chr(ord("a") + i % 26) * size for i in range(count)]


def header_value(record, name):
    """The first value of header `name` (any case) in a recorded request, or None."""
    for key, value in record["headers"]:
        if key.lower() == name.lower():
            return value
    return None


# --------------------------------------------------------------------------------------------
# Wire helpers


class _PeerGone(Exception):
    """The client closed the connection, or the fake is stopping."""


class _BadRequest(Exception):
    pass


class _Reader:
    """Buffered reads from a blocking socket."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

    def _fill(self):
        try:
            data = self.sock.recv(65536)
        except (OSError, socket.timeout):
            raise _PeerGone()
        if not data:
            raise _PeerGone()
        self.buf += data

    def read_head(self):
        # Empty lines before a request line are allowed (a client's stray CRLF after a body).
        while True:
            while self.buf.startswith(b"\r\n"):
                self.buf = self.buf[2:]
            end = self.buf.find(b"\r\n\r\n")
            if end >= 0:
                head, self.buf = self.buf[:end], self.buf[end + 4 :]
                return head
            if len(self.buf) > MAX_HEAD_BYTES:
                raise _BadRequest("header block too large")
            self._fill()

    def read_exact(self, n):
        while len(self.buf) < n:
            self._fill()
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def read_line(self):
        while True:
            end = self.buf.find(b"\r\n")
            if end >= 0:
                line, self.buf = self.buf[:end], self.buf[end + 2 :]
                return line
            if len(self.buf) > MAX_HEAD_BYTES:
                raise _BadRequest("line too long")
            self._fill()

    def read_chunked(self):
        body = b""
        while True:
            size_text = self.read_line().split(b";", 1)[0].strip()
            try:
                size = int(size_text, 16)
            except ValueError:
                raise _BadRequest("bad chunk size")
            if size < 0 or len(body) + size > MAX_BODY_BYTES:
                raise _BadRequest("chunked body too large")
            if size == 0:
                while self.read_line() != b"":  # trailers
                    pass
                return body
            body += self.read_exact(size)
            if self.read_line() != b"":
                raise _BadRequest("chunk not followed by CRLF")


def _text(data):
    """Header bytes as text: UTF-8 when they are, else Latin-1 (one character per byte)."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("latin-1")


def _json_bytes(value, ascii_only=False):
    return json.dumps(value, ensure_ascii=ascii_only, separators=(",", ":")).encode("utf-8")


def _reason(status):
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Status"


def _cut(data, points):
    """`data` cut at the given byte offsets (out-of-range and repeated ones ignored)."""
    parts, start = [], 0
    for p in sorted(set(points)):
        if start < p < len(data):
            parts.append(data[start:p])
            start = p
    parts.append(data[start:])
    return [p for p in parts if p]


def _split_writes(events, scenario):
    """The body writes for a sequence of event byte strings, after the scenario's split mode."""
    mode = scenario["split"]
    if mode == "whole":
        data = b"".join(events)
        if data:
            yield data
        return
    if mode == "offsets":
        yield from _cut(b"".join(events), scenario["split_offsets"])
        return
    for event in events:
        if mode == "lines":
            parts = [event]
        elif mode == "bytes":
            parts = [event[i : i + 1] for i in range(len(event))]
        elif mode == "halves":
            parts = _cut(event, [len(event) // 2])
        else:  # utf8: cut right after every lead byte of a multi-byte character
            parts = _cut(event, [i + 1 for i, b in enumerate(event) if b >= 0xC0])
        for part in parts:
            if part:
                yield part


# --------------------------------------------------------------------------------------------
# The server


class FakeBackend:
    """The fake server; start() binds 127.0.0.1 and serves on background threads."""

    def __init__(self, port=0, scenario=None, models=None, verbose=False):
        options = dict(scenario or {})
        if models is not None:
            options["models"] = list(models)
        self._lock = threading.Lock()  # guards every field below up to _conn_threads
        self._scenario = make_scenario(options)
        self._queue = []
        self._requests = []
        self._seq = 0
        self._answer_seq = 0
        self._accepted = 0
        self._next_conn_id = 0
        self._open = {}  # connection id -> socket
        self._conn_threads = []
        self._requests_changed = threading.Condition(self._lock)
        self._stopping = threading.Event()
        self._requested_port = port
        self._verbose = verbose
        self._listener = None
        self._accept_thread = None
        self._port = None
        self.on_shutdown_request = None  # called (no arguments) for POST /_control/shutdown

    # -- public API ---------------------------------------------------------------------------

    def start(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((HOST, self._requested_port))
        listener.listen(128)
        listener.settimeout(0.1)  # lets the accept loop notice stop()
        self._listener = listener
        self._port = listener.getsockname()[1]
        self._accept_thread = threading.Thread(
            target=self._accept_loop, name="fake-backend-accept", daemon=True
        )
        self._accept_thread.start()
        return self

    def stop(self):
        """Closes the listener and every connection (silent ones included) and joins threads."""
        if self._stopping.is_set():
            return
        self._stopping.set()
        if self._accept_thread is not None:
            self._accept_thread.join(5)
        with self._lock:
            socks = list(self._open.values())
            threads = list(self._conn_threads)
        for sock in socks:
            try:
                sock.shutdown(socket.SHUT_RDWR)  # wakes a thread blocked in recv()
            except OSError:
                pass
        for t in threads:
            if t is not threading.current_thread():
                t.join(5)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self._port

    @property
    def url(self):
        return "http://%s:%d" % (HOST, self._port)

    @property
    def requests(self):
        with self._lock:
            return copy.deepcopy(self._requests)

    @property
    def scenario(self):
        with self._lock:
            return copy.deepcopy(self._scenario)

    def set_scenario(self, scenario=None, **options):
        """Replaces the whole scenario (defaults + given keys); returns it filled in."""
        if scenario is not None and not isinstance(scenario, dict):
            raise ScenarioError("a scenario is a JSON object")
        merged = dict(scenario or {})
        merged.update(options)
        new = make_scenario(merged)
        with self._lock:
            self._scenario = new
        return copy.deepcopy(new)

    def queue_scenarios(self, scenarios):
        """Each following chat request takes the next of these before the current scenario."""
        if not isinstance(scenarios, list):
            raise ScenarioError("a queue is a JSON array of scenarios")
        made = [make_scenario(s) for s in scenarios]
        with self._lock:
            self._queue.extend(made)

    def reset(self):
        with self._lock:
            self._requests = []
            self._seq = 0
            self._queue = []
            self._accepted = 0

    def wait_for_requests(self, count, timeout=10.0):
        """The recorded requests once there are `count` of them; raises TimeoutError."""
        ok, records = self._wait(count, timeout)
        if not ok:
            raise TimeoutError("%d of %d requests after %.1f s" % (len(records), count, timeout))
        return records

    def connection_stats(self):
        with self._lock:
            return {"accepted": self._accepted, "open": len(self._open)}

    # -- internals ----------------------------------------------------------------------------

    def _wait(self, count, timeout):
        deadline = time.monotonic() + timeout
        with self._lock:
            while len(self._requests) < count:
                left = deadline - time.monotonic()
                if left <= 0 or self._stopping.is_set():
                    break
                self._requests_changed.wait(min(left, 0.2))
            return len(self._requests) >= count, copy.deepcopy(self._requests)

    def _log(self, text):
        if self._verbose:
            sys.stderr.write("fake_backend: %s\n" % text)
            sys.stderr.flush()

    def _accept_loop(self):
        try:
            while not self._stopping.is_set():
                try:
                    sock, addr = self._listener.accept()
                except socket.timeout:
                    continue
                except OSError:
                    if self._stopping.is_set():
                        break
                    time.sleep(0.05)  # e.g. out of descriptors: do not spin
                    continue
                sock.settimeout(None)
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                with self._lock:
                    self._next_conn_id += 1
                    conn_id = self._next_conn_id
                    self._accepted += 1
                    self._open[conn_id] = sock
                    self._conn_threads = [t for t in self._conn_threads if t.is_alive()]
                    t = threading.Thread(
                        target=self._serve_connection,
                        args=(sock, addr, conn_id),
                        name="fake-backend-conn-%d" % conn_id,
                        daemon=True,
                    )
                    self._conn_threads.append(t)
                t.start()
        finally:
            self._listener.close()

    def _serve_connection(self, sock, addr, conn_id):
        reader = _Reader(sock)
        sock.settimeout(IDLE_TIMEOUT_S)
        try:
            while not self._stopping.is_set():
                keep = self._serve_one(sock, reader, addr, conn_id)
                if not keep:
                    break
        except (_PeerGone, OSError):
            pass
        except Exception as e:  # a fault of the fake itself: say so rather than vanish
            sys.stderr.write("fake_backend: connection %d failed: %r\n" % (conn_id, e))
            sys.stderr.flush()
        finally:
            with self._lock:
                self._open.pop(conn_id, None)
            try:
                sock.close()
            except OSError:
                pass

    def _send(self, sock, data):
        if self._stopping.is_set():
            raise _PeerGone()
        try:
            sock.sendall(data)
        except OSError:
            raise _PeerGone()

    def _pause(self, seconds):
        if seconds > 0 and self._stopping.wait(seconds):
            raise _PeerGone()

    def _serve_one(self, sock, reader, addr, conn_id):
        """Reads and answers one request; False when the connection must end."""
        try:
            head = reader.read_head()
            lines = head.split(b"\r\n")
            parts = lines[0].decode("latin-1").split(" ")
            if len(parts) != 3 or not parts[2].startswith("HTTP/1."):
                raise _BadRequest("bad request line")
            method, target, version = parts
            headers = []
            for line in lines[1:]:
                name, sep, value = _text(line).partition(":")
                if not sep or not name or name != name.strip():
                    raise _BadRequest("bad header line")
                headers.append([name, value.strip(" \t")])
            lower = {}
            for name, value in headers:
                lower.setdefault(name.lower(), value)
            if "100-continue" in lower.get("expect", "").lower():
                self._send(sock, b"HTTP/1.1 100 Continue\r\n\r\n")
            chunked = "chunked" in lower.get("transfer-encoding", "").lower()
            if chunked:
                body = reader.read_chunked()
            else:
                try:
                    length = int(lower.get("content-length", "0"))
                except ValueError:
                    raise _BadRequest("bad Content-Length")
                if length < 0 or length > MAX_BODY_BYTES:
                    raise _BadRequest("bad Content-Length")
                body = reader.read_exact(length)
        except _BadRequest as e:
            self._respond_json(sock, 400, {"error": {"message": str(e)}}, keep=False)
            return False

        connection = lower.get("connection", "").lower()
        if version == "HTTP/1.0":
            keep = "keep-alive" in connection
        else:
            keep = "close" not in connection
        split = urllib.parse.urlsplit(target)
        path, query = split.path, split.query
        self._log("%s %s (connection %d)" % (method, target, conn_id))

        if path.startswith("/_control/"):
            return self._control(sock, method, path, query, body, keep)

        try:
            body_text, body_utf8 = body.decode("utf-8"), True
        except UnicodeDecodeError:
            body_text, body_utf8 = body.decode("utf-8", "replace"), False
        parsed, json_valid = None, False
        if body_utf8:
            try:
                parsed, json_valid = json.loads(body_text), True
            except ValueError:
                pass
        with self._lock:
            self._seq += 1
            self._requests.append(
                {
                    "seq": self._seq,
                    "connection": conn_id,
                    "client": "%s:%d" % addr,
                    "method": method,
                    "target": target,
                    "path": path,
                    "query": query,
                    "version": version,
                    "headers": headers,
                    "raw_head": _text(head),
                    "body": body_text,
                    "body_base64": base64.b64encode(body).decode("ascii"),
                    "body_length": len(body),
                    "body_utf8": body_utf8,
                    "chunked": chunked,
                    "json": parsed,
                    "json_valid": json_valid,
                }
            )
            self._requests_changed.notify_all()

        if path == "/v1/models" and method == "GET":
            return self._models(sock, keep)
        if path == "/v1/chat/completions" and method == "POST":
            with self._lock:
                scenario = self._queue.pop(0) if self._queue else copy.deepcopy(self._scenario)
                self._answer_seq += 1
                answer_id = "chatcmpl-fake-%d" % self._answer_seq
            return self._chat(sock, version, keep, parsed, json_valid, scenario, answer_id)
        message = "Unexpected endpoint or method. (%s %s)" % (method, path)
        self._respond_json(sock, 404, {"error": {"message": message, "type": "not_found"}}, keep)
        return keep

    def _respond(self, sock, status, content_type, body, keep, extra_headers=None):
        head = "HTTP/1.1 %d %s\r\n" % (status, _reason(status))
        head += "Content-Type: %s\r\n" % content_type
        head += "Content-Length: %d\r\n" % len(body)
        for name, value in (extra_headers or {}).items():
            head += "%s: %s\r\n" % (name, value)
        head += "Connection: %s\r\n\r\n" % ("keep-alive" if keep else "close")
        self._send(sock, head.encode("latin-1") + body)

    def _respond_json(self, sock, status, value, keep, ascii_only=False, extra_headers=None):
        body = _json_bytes(value, ascii_only)
        self._respond(sock, status, "application/json; charset=utf-8", body, keep, extra_headers)

    # -- control endpoints ----------------------------------------------------------------------

    def _control(self, sock, method, path, query, body, keep):
        params = urllib.parse.parse_qs(query)
        route = (method, path)
        try:
            if route == ("GET", "/_control/scenario"):
                self._respond_json(sock, 200, self.scenario, keep)
            elif route == ("POST", "/_control/scenario"):
                scenario = self.set_scenario(json.loads(body.decode("utf-8") or "{}"))
                self._respond_json(sock, 200, {"ok": True, "scenario": scenario}, keep)
            elif route == ("POST", "/_control/queue"):
                self.queue_scenarios(json.loads(body.decode("utf-8") or "[]"))
                with self._lock:
                    queued = len(self._queue)
                self._respond_json(sock, 200, {"ok": True, "queued": queued}, keep)
            elif route == ("GET", "/_control/requests"):
                self._respond_json(sock, 200, self.requests, keep)
            elif route == ("GET", "/_control/wait"):
                count = int(params.get("count", ["1"])[0])
                timeout = min(float(params.get("timeout", ["10"])[0]), 60.0)
                ok, records = self._wait(count, timeout)
                self._respond_json(sock, 200 if ok else 408, records, keep)
            elif route == ("GET", "/_control/connections"):
                self._respond_json(sock, 200, self.connection_stats(), keep)
            elif route == ("POST", "/_control/reset"):
                self.reset()
                self._respond_json(sock, 200, {"ok": True}, keep)
            elif route == ("POST", "/_control/shutdown"):
                self._respond_json(sock, 200, {"ok": True}, False)
                callback = self.on_shutdown_request or self.stop
                threading.Thread(target=callback, daemon=True).start()
                return False
            else:
                self._respond_json(sock, 404, {"error": "no such control: %s %s" % route}, keep)
        except (ValueError, ScenarioError) as e:  # bad JSON, bad scenario, bad numbers
            self._respond_json(sock, 400, {"error": str(e)}, keep)
        return keep

    # -- model list -----------------------------------------------------------------------------

    def _models(self, sock, keep):
        s = self.scenario
        if s["models_raw"] is not None:
            body = s["models_raw"].encode("utf-8")
        elif s["models_body"] is not None:
            body = _json_bytes(s["models_body"])
        else:
            data = []
            for entry in s["models"]:
                if isinstance(entry, str):
                    entry = {"id": entry, "object": "model", "owned_by": "organization_owner"}
                data.append(entry)
            body = _json_bytes({"object": "list", "data": data})
        self._respond(sock, s["models_status"], "application/json; charset=utf-8", body, keep)
        return keep

    # -- chat completions -----------------------------------------------------------------------

    def _abrupt_close(self, sock, mode):
        if mode == "rst":
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        else:
            try:
                sock.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        sock.close()
        raise _PeerGone()

    def _hold_silent(self, sock):
        # Whatever the client sends is read and ignored until it gives up or the fake stops.
        sock.settimeout(None)
        while not self._stopping.is_set():
            try:
                if not sock.recv(65536):
                    break
            except OSError:
                break
        raise _PeerGone()

    def _chat(self, sock, version, keep, request, json_valid, s, answer_id):
        if s["drop"]:
            self._abrupt_close(sock, s["close_mode"])
        if s["hang"]:
            self._hold_silent(sock)
        self._pause(s["first_byte_delay_s"])

        if s["status"] != 200:
            self._respond_json(sock, s["status"], s["error_body"], keep)
            return keep
        if not json_valid or not isinstance(request, dict):
            error = {"message": "The request body must be a JSON object.",
                     "type": "invalid_request_error"}
            self._respond_json(sock, 400, {"error": error}, keep)
            return keep

        pieces = (
            generated_pieces(s["generate"]["count"], s["generate"]["size"])
            if s["generate"] is not None
            else s["pieces"]
        )
        model = s["model"]
        if model is None:
            requested = request.get("model")
            if isinstance(requested, str):
                model = requested
            else:
                ids = [m for m in s["models"] if isinstance(m, str)]
                model = ids[0] if ids else "fake-model"
        created = int(time.time())

        if request.get("stream") is not True:
            if s["close_after"] is not None:
                self._abrupt_close(sock, s["close_mode"])
            message = {"role": "assistant", "content": "".join(pieces)}
            if s["reasoning"]:
                message[s["reasoning_field"]] = "".join(s["reasoning"])
            document = {
                "id": answer_id,
                "object": "chat.completion",
                "created": created,
                "model": model,
                "choices": [
                    {"index": 0, "message": message, "logprobs": None, "finish_reason": "stop"}
                ],
                "usage": {
                    "prompt_tokens": 0,
                    "completion_tokens": len(pieces),
                    "total_tokens": len(pieces),
                },
                "system_fingerprint": model,
            }
            self._respond_json(
                sock, 200, document, keep, s["escape_unicode"], s["response_headers"]
            )
            return keep

        chunked = s["framing"] == "chunked" and version != "HTTP/1.0"
        keep = keep and chunked
        head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
        head += "Cache-Control: no-cache\r\n"
        for name, value in s["response_headers"].items():
            head += "%s: %s\r\n" % (name, value)
        if chunked:
            head += "Transfer-Encoding: chunked\r\n"
        head += "Connection: %s\r\n\r\n" % ("keep-alive" if keep else "close")
        self._send(sock, head.encode("latin-1"))

        # How the body ends: "end" (terminating chunk / close) or an abrupt close.
        ending = {"abrupt": False}
        eol = b"\r\n" if s["crlf"] else b"\n"

        def event(payload):
            return b"data: " + payload + eol + eol

        def chunk(delta, finish=None):
            return event(
                _json_bytes(
                    {
                        "id": answer_id,
                        "object": "chat.completion.chunk",
                        "created": created,
                        "model": model,
                        "system_fingerprint": model,
                        "choices": [{"index": 0, "delta": delta, "finish_reason": finish}],
                    },
                    s["escape_unicode"],
                )
            )

        def events():
            if s["raw_events"] is not None:
                raw = s["raw_events"]
                for i in range(len(raw) + 1):
                    if s["close_after"] is not None and i == min(s["close_after"], len(raw)):
                        ending["abrupt"] = True
                        return
                    if i < len(raw):
                        yield raw[i].encode("utf-8")
                return
            yield chunk({"role": "assistant"})
            for piece in s["reasoning"]:
                yield chunk({s["reasoning_field"]: piece})
            for i in range(len(pieces) + 1):
                failing = s["stream_error"] is not None and i == min(
                    s["stream_error_after"], len(pieces)
                )
                if failing:
                    error = s["stream_error"]
                    if isinstance(error, str):
                        error = {"message": error}
                    yield event(_json_bytes({"error": error}, s["escape_unicode"]))
                if s["close_after"] is not None and i == min(s["close_after"], len(pieces)):
                    ending["abrupt"] = True
                    return
                if failing:
                    return
                if i < len(pieces):
                    yield chunk({"content": pieces[i]})
            yield chunk({}, "stop")
            if s["done"]:
                yield event(b"[DONE]")

        first = True
        for data in _split_writes(events(), s):
            if not first:
                self._pause(s["delay_ms"] / 1000.0)
            first = False
            if chunked:
                data = b"%x\r\n" % len(data) + data + b"\r\n"
            self._send(sock, data)
        if ending["abrupt"]:
            self._abrupt_close(sock, s["close_mode"])
        if not chunked:
            return False
        self._send(sock, b"0\r\n\r\n")
        return keep


# --------------------------------------------------------------------------------------------
# Command line


def main(argv=None):
    parser = argparse.ArgumentParser(description="Fake OpenAI-compatible model server.")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--scenario", metavar="FILE")
    parser.add_argument("--scenario-json", metavar="TEXT")
    parser.add_argument("--models", metavar="A,B,C")
    parser.add_argument("--lifetime", type=float, default=0.0, metavar="SECONDS")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args(argv)

    options = {}
    try:
        if args.scenario:
            with open(args.scenario, encoding="utf-8") as f:
                options.update(json.load(f))
        if args.scenario_json:
            options.update(json.loads(args.scenario_json))
        if args.models is not None:
            options["models"] = [m for m in args.models.split(",") if m]
        fake = FakeBackend(port=args.port, scenario=options, verbose=args.verbose).start()
    except (OSError, ValueError, TypeError, AttributeError) as e:
        sys.stderr.write("fake_backend: %s\n" % e)
        return 2

    done = threading.Event()
    fake.on_shutdown_request = done.set
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: done.set())
    sys.stdout.write("listening on %d\n" % fake.port)
    sys.stdout.flush()

    parent = os.getppid()
    deadline = time.monotonic() + args.lifetime if args.lifetime > 0 else None
    while not done.wait(0.25):
        if os.getppid() != parent:
            break  # the test that started us is gone
        if deadline is not None and time.monotonic() >= deadline:
            sys.stderr.write("fake_backend: lifetime over, exiting\n")
            break
    fake.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
