#!/usr/bin/env python3
"""Self-test of the fake backend: the wire bytes it writes, its control API and failure modes.

Responses are read from raw sockets and taken apart here, by code of this file, so that the
fake's own framing cannot vouch for itself.
"""

import http.client
import json
import os
import socket
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from fake_backend import FakeBackend, generated_pieces, header_value  # noqa: E402

TIMEOUT = 5.0


class Response:
    def __init__(self):
        self.status_line = ""
        self.headers = []  # (name, value) as sent
        self.chunks = []  # payload of every HTTP chunk, in order
        self.body = b""  # the whole payload
        self.complete = False  # terminating chunk / full Content-Length seen
        self.reset = False  # the connection was reset

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def events(self):
        """The payload split into SSE events (text between blank lines)."""
        return [e for e in self.body.decode("utf-8").split("\n\n") if e]

    def json_events(self):
        return [json.loads(e[len("data: ") :]) for e in self.events() if e != "data: [DONE]"]


class Conn:
    """One raw client connection that reads responses byte by byte from the socket."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.buf = b""
        self.recvs = []  # the size of every recv() result, to see how the bytes arrived

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def _fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise EOFError()
        self.recvs.append(data)
        self.buf += data

    def _line(self):
        while b"\r\n" not in self.buf:
            self._fill()
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def _exact(self, n):
        while len(self.buf) < n:
            self._fill()
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def read_response(self):
        r = Response()
        try:
            r.status_line = self._line().decode("latin-1")
            while True:
                line = self._line()
                if not line:
                    break
                name, _, value = line.decode("latin-1").partition(":")
                r.headers.append((name, value.strip()))
            if (r.header("Transfer-Encoding") or "").lower() == "chunked":
                while True:
                    size = int(self._line(), 16)
                    if size == 0:
                        if self._line() != b"":
                            raise AssertionError("no CRLF after the terminating chunk")
                        r.complete = True
                        break
                    r.chunks.append(self._exact(size))
                    if self._line() != b"":
                        raise AssertionError("chunk data not followed by CRLF")
            elif r.header("Content-Length") is not None:
                r.chunks.append(self._exact(int(r.header("Content-Length"))))
                r.complete = True
            else:
                while True:
                    self._fill()
        except EOFError:
            if self.buf:
                r.chunks.append(self.buf)
                self.buf = b""
        except ConnectionResetError:
            r.reset = True
        r.body = b"".join(r.chunks)
        return r

    def closed_by_peer(self):
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True


def request(method, path, body=b"", headers=None, version="HTTP/1.1"):
    if isinstance(body, (dict, list)):
        body = json.dumps(body).encode("utf-8")
    head = "%s %s %s\r\nHost: fake\r\n" % (method, path, version)
    all_headers = {"Content-Type": "application/json", "Content-Length": str(len(body))}
    all_headers.update(headers or {})
    for name, value in all_headers.items():
        head += "%s: %s\r\n" % (name, value)
    return head.encode("utf-8") + b"\r\n" + body


def chat(stream=True, **extra):
    body = {"model": "m1", "messages": [{"role": "user", "content": "hi"}], "stream": stream}
    body.update(extra)
    return request("POST", "/v1/chat/completions", body)


class FakeBackendTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.fake = FakeBackend().start()

    @classmethod
    def tearDownClass(cls):
        cls.fake.stop()

    def setUp(self):
        self.fake.set_scenario({})
        self.fake.reset()
        self.conns = []

    def tearDown(self):
        for c in self.conns:
            c.close()

    def connect(self):
        c = Conn(self.fake.port)
        self.conns.append(c)
        return c

    def exchange(self, data):
        c = self.connect()
        c.send(data)
        return c.read_response()

    def control(self, method, path, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.fake.port, timeout=TIMEOUT)
        try:
            payload = None if body is None else json.dumps(body).encode("utf-8")
            conn.request(method, path, body=payload)
            response = conn.getresponse()
            return response.status, json.loads(response.read())
        finally:
            conn.close()

    # -- streamed answers -------------------------------------------------------------------------

    def test_stream_wire_format_and_keep_alive(self):
        c = self.connect()
        c.send(chat())
        r = c.read_response()
        self.assertEqual(r.status_line, "HTTP/1.1 200 OK")
        self.assertEqual(r.header("Content-Type"), "text/event-stream")
        self.assertEqual(r.header("Transfer-Encoding"), "chunked")
        self.assertTrue(r.complete)
        # One event per chunk, each a single "data: " line followed by an empty line.
        self.assertEqual(len(r.chunks), 7)
        for chunk in r.chunks:
            text = chunk.decode("utf-8")
            self.assertTrue(text.startswith("data: ") and text.endswith("\n\n"), text)
            self.assertEqual(text.count("\n"), 2)
        self.assertEqual(r.chunks[-1], b"data: [DONE]\n\n")
        events = r.json_events()
        self.assertEqual(events[0]["choices"], [{"index": 0, "delta": {"role": "assistant"},
                                                 "finish_reason": None}])
        contents = [e["choices"][0]["delta"]["content"] for e in events[1:-1]]
        self.assertEqual(contents, ["Hello", ", ", "world", "!"])
        self.assertEqual(events[-1]["choices"][0]["delta"], {})
        self.assertEqual(events[-1]["choices"][0]["finish_reason"], "stop")
        for e in events:
            self.assertEqual(e["object"], "chat.completion.chunk")
            self.assertEqual(e["model"], "m1")
            self.assertEqual(e["id"], events[0]["id"])
        # The connection stays open for the next request.
        c.send(chat())
        self.assertTrue(c.read_response().complete)
        first, second = self.fake.wait_for_requests(2)
        self.assertEqual(first["connection"], second["connection"])

    def test_exact_data_lines_crlf_and_escapes(self):
        self.fake.set_scenario(pieces=["é"], model="x", escape_unicode=True, crlf=True,
                               done=False)
        r = self.exchange(chat())
        self.assertTrue(r.complete)
        text = r.body.decode("ascii")
        self.assertIn('"delta":{"content":"\\u00e9"}', text)
        self.assertNotIn("[DONE]", text)
        for chunk in r.chunks:
            self.assertTrue(chunk.endswith(b"\r\n\r\n"))
        self.assertTrue(r.chunks[-1].endswith(b'"finish_reason":"stop"}]}\r\n\r\n'))

    def test_split_modes_cut_the_writes(self):
        events = ["data: aé\n\n", "data: 語b\n\n"]
        payload = "".join(events).encode("utf-8")
        e1, e2 = (e.encode("utf-8") for e in events)
        cases = [
            ("lines", {}, [e1, e2]),
            ("whole", {}, [payload]),
            ("bytes", {}, [payload[i : i + 1] for i in range(len(payload))]),
            ("halves", {}, [e1[:5], e1[5:], e2[:6], e2[6:]]),
            ("utf8", {}, [e1[:8], e1[8:], e2[:7], e2[7:]]),
            ("offsets", {"split_offsets": [7, 3, 3, 10_000]},
             [payload[:3], payload[3:7], payload[7:]]),
        ]
        for mode, options, expected in cases:
            with self.subTest(mode):
                self.fake.set_scenario(raw_events=events, split=mode, **options)
                r = self.exchange(chat())
                self.assertTrue(r.complete)
                self.assertEqual(r.chunks, expected)
        # Generated events go through the same cutting.
        self.fake.set_scenario(pieces=["é"], split="utf8")
        r = self.exchange(chat())
        self.assertEqual(len(r.chunks), 1 + 2 + 1 + 1)
        self.assertEqual(r.chunks[1][-1], 0xC3)

    def test_one_byte_writes_arrive_as_separate_sends(self):
        self.fake.set_scenario(raw_events=["data: x\n\n"], split="bytes", delay_ms=25)
        c = self.connect()
        c.send(chat())
        r = c.read_response()
        self.assertEqual(r.chunks, [bytes([b]) for b in b"data: x\n\n"])
        # The writes are paced, so they cannot all have come in one read; and a write is never
        # cut, so every read but the first (which also holds the header block) starts a chunk.
        self.assertGreater(len(c.recvs), 3)
        for data in c.recvs[1:]:
            self.assertRegex(data, rb"^[0-9a-f]+\r\n")

    def test_reasoning_pieces_use_the_chosen_member(self):
        for field in ("reasoning_content", "reasoning"):
            with self.subTest(field):
                self.fake.set_scenario(reasoning=["think", "ing"], reasoning_field=field,
                                       pieces=["<think>x</think>y"])
                deltas = [e["choices"][0]["delta"] for e in self.exchange(chat()).json_events()]
                self.assertEqual(deltas[1:3], [{field: "think"}, {field: "ing"}])
                self.assertEqual(deltas[3], {"content": "<think>x</think>y"})

    def test_generated_large_answer(self):
        self.fake.set_scenario(generate={"count": 300, "size": 1000}, split="whole")
        r = self.exchange(chat())
        self.assertEqual(len(r.chunks), 1)
        contents = [e["choices"][0]["delta"].get("content") for e in r.json_events()[1:-1]]
        self.assertEqual(contents, generated_pieces(300, 1000))
        self.assertEqual(contents[27], "b" * 1000)

    def test_close_framing_and_http10_end_with_the_connection(self):
        for name, data, options in [
            ("framing close", chat(), {"framing": "close"}),
            ("HTTP/1.0", request("POST", "/v1/chat/completions", {"stream": True},
                                 version="HTTP/1.0"), {}),
        ]:
            with self.subTest(name):
                self.fake.set_scenario(options)
                c = self.connect()
                c.send(data)
                r = c.read_response()
                self.assertIsNone(r.header("Transfer-Encoding"))
                self.assertEqual(r.header("Connection"), "close")
                self.assertTrue(r.body.endswith(b"data: [DONE]\n\n"))
                self.assertEqual(len(r.json_events()), 6)

    # -- failures ---------------------------------------------------------------------------------

    def test_error_status_answers(self):
        cases = [
            ("no models", {"status": 400}, 400, {"error": "No models loaded"}),
            ("object", {"status": 404, "error_body": {"error": {"message": "gone",
                                                                "type": "not_found"}}},
             404, {"error": {"message": "gone", "type": "not_found"}}),
        ]
        for name, scenario, status, body in cases:
            with self.subTest(name):
                self.fake.set_scenario(scenario)
                r = self.exchange(chat())
                self.assertTrue(r.status_line.startswith("HTTP/1.1 %d " % status))
                self.assertEqual(int(r.header("Content-Length")), len(r.body))
                self.assertEqual(json.loads(r.body), body)
        with self.subTest("body not an object"):
            self.fake.set_scenario({})
            r = self.exchange(request("POST", "/v1/chat/completions", b"[1,2]"))
            self.assertTrue(r.status_line.startswith("HTTP/1.1 400 "))
            self.assertIn("message", json.loads(r.body)["error"])

    def test_error_inside_the_stream(self):
        self.fake.set_scenario(stream_error="boom", stream_error_after=1)
        r = self.exchange(chat())
        self.assertTrue(r.status_line.startswith("HTTP/1.1 200"))
        self.assertTrue(r.complete)
        self.assertEqual(len(r.chunks), 3)
        self.assertEqual(r.chunks[-1], b'data: {"error":{"message":"boom"}}\n\n')

    def test_close_mid_stream(self):
        for mode in ("fin", "rst"):
            with self.subTest(mode):
                self.fake.set_scenario(close_after=2, close_mode=mode)
                c = self.connect()
                c.send(chat())
                r = c.read_response()
                self.assertFalse(r.complete)
                contents = [e["choices"][0]["delta"].get("content") for e in r.json_events()]
                self.assertEqual(contents, [None, "Hello", ", "][: len(contents)])
                if mode == "fin":
                    self.assertEqual(len(contents), 3)
                    self.assertFalse(r.reset)
                else:
                    self.assertTrue(r.reset or c.closed_by_peer())

    def test_drop_closes_without_a_byte(self):
        self.fake.set_scenario(drop=True)
        c = self.connect()
        c.send(chat())
        self.assertTrue(c.closed_by_peer())
        self.assertEqual(len(self.fake.wait_for_requests(1)), 1)

    def test_hang_and_first_byte_delay(self):
        self.fake.set_scenario(hang=True)
        c = self.connect()
        c.send(chat())
        self.fake.wait_for_requests(1)
        c.sock.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            c.sock.recv(1)
        c.close()
        self.fake.set_scenario(first_byte_delay_s=0.5)
        c = self.connect()
        c.send(chat())
        c.sock.settimeout(0.1)
        with self.assertRaises(socket.timeout):
            c.sock.recv(1)
        c.sock.settimeout(TIMEOUT)
        self.assertTrue(c.read_response().complete)

    def test_stop_ends_silent_connections(self):
        fake = FakeBackend(scenario={"hang": True}).start()
        try:
            c = Conn(fake.port)
            c.send(chat())
            fake.wait_for_requests(1)
        finally:
            fake.stop()
        self.assertTrue(c.closed_by_peer())
        c.close()
        self.assertEqual(fake.connection_stats()["open"], 0)

    # -- non-streamed answers, models ---------------------------------------------------------

    def test_whole_completion(self):
        self.fake.set_scenario(pieces=["a", "b"], reasoning=["r"])
        r = self.exchange(chat(stream=False))
        self.assertEqual(r.header("Content-Type"), "application/json; charset=utf-8")
        doc = json.loads(r.body)
        self.assertEqual(doc["object"], "chat.completion")
        self.assertEqual(doc["choices"][0]["message"],
                         {"role": "assistant", "content": "ab", "reasoning_content": "r"})
        self.assertEqual(doc["choices"][0]["finish_reason"], "stop")

    def test_model_list(self):
        cases = [
            ("default", {}, 200,
             {"object": "list", "data": [
                 {"id": "fake-model-1", "object": "model", "owned_by": "organization_owner"},
                 {"id": "fake-model-2", "object": "model", "owned_by": "organization_owner"}]}),
            ("odd entries", {"models": ["a", 7, {"object": "model"}]}, 200,
             {"object": "list", "data": [
                 {"id": "a", "object": "model", "owned_by": "organization_owner"}, 7,
                 {"object": "model"}]}),
            ("whole document", {"models_body": {"data": "x"}, "models_status": 500}, 500,
             {"data": "x"}),
        ]
        for name, scenario, status, expected in cases:
            with self.subTest(name):
                self.fake.set_scenario(scenario)
                r = self.exchange(request("GET", "/v1/models"))
                self.assertTrue(r.status_line.startswith("HTTP/1.1 %d" % status))
                self.assertEqual(json.loads(r.body), expected)
        self.fake.set_scenario(models_raw="not json ü")
        self.assertEqual(self.exchange(request("GET", "/v1/models")).body,
                         "not json ü".encode("utf-8"))

    # -- requests as received -----------------------------------------------------------------

    def test_records_raw_headers_and_bodies(self):
        body = '{"model":"m","messages":[{"role":"user","content":"日本"}]}'.encode("utf-8")
        self.exchange(request("POST", "/v1/chat/completions?q=1", body,
                              {"X-Odd-CASE": "  v  1 ", "authorization": "Bearer t"}))
        self.exchange(request("POST", "/v1/chat/completions", b"\xff\xfe"))
        first, second = self.fake.wait_for_requests(2)
        self.assertEqual(first["path"], "/v1/chat/completions")
        self.assertEqual(first["query"], "q=1")
        self.assertIn(["X-Odd-CASE", "v  1"], first["headers"])
        self.assertEqual(header_value(first, "Authorization"), "Bearer t")
        self.assertEqual(first["body"].encode("utf-8"), body)
        self.assertEqual(first["json"]["messages"][0]["content"], "日本")
        self.assertFalse(second["body_utf8"])
        self.assertFalse(second["json_valid"])
        self.assertEqual(second["body_base64"], "//4=")

    def test_expect_continue_and_chunked_request_body(self):
        c = self.connect()
        c.send(b"POST /v1/chat/completions HTTP/1.1\r\nHost: f\r\nExpect: 100-continue\r\n"
               b"Transfer-Encoding: chunked\r\n\r\n")
        self.assertEqual(c._line(), b"HTTP/1.1 100 Continue")
        self.assertEqual(c._line(), b"")
        c.send(b'5\r\n{"str\r\n10;x=y\r\neam":true,"a":1}\r\n0\r\n\r\n')
        self.assertTrue(c.read_response().complete)
        record = self.fake.wait_for_requests(1)[0]
        self.assertTrue(record["chunked"])
        self.assertEqual(record["json"], {"stream": True, "a": 1})

    def test_malformed_request_gets_400_and_close(self):
        c = self.connect()
        c.send(b"NONSENSE\r\n\r\n")
        r = c.read_response()
        self.assertTrue(r.status_line.startswith("HTTP/1.1 400"))
        self.assertTrue(c.closed_by_peer())

    # -- control API --------------------------------------------------------------------------

    def test_control_endpoints(self):
        status, answer = self.control("POST", "/_control/scenario", {"pieces": ["q"]})
        self.assertEqual(status, 200)
        self.assertEqual(answer["scenario"]["split"], "lines")
        status, scenario = self.control("GET", "/_control/scenario")
        self.assertEqual(scenario["pieces"], ["q"])
        for bad in ({"piecez": []}, {"split": "nope"}, {"delay_ms": -1}, [1]):
            with self.subTest(bad=bad):
                status, answer = self.control("POST", "/_control/scenario", bad)
                self.assertEqual(status, 400)
                self.assertIn("error", answer)
        self.assertEqual(self.fake.scenario["pieces"], ["q"])  # a refused one changes nothing

        status, answer = self.control("POST", "/_control/queue",
                                      [{"pieces": ["one"]}, {"status": 503}])
        self.assertEqual((status, answer["queued"]), (200, 2))
        answers = [self.exchange(chat()) for _ in range(3)]
        self.assertEqual(answers[0].json_events()[1]["choices"][0]["delta"]["content"], "one")
        self.assertTrue(answers[1].status_line.startswith("HTTP/1.1 503"))
        self.assertEqual(answers[2].json_events()[1]["choices"][0]["delta"]["content"], "q")

        status, records = self.control("GET", "/_control/wait?count=3&timeout=5")
        self.assertEqual((status, len(records)), (200, 3))
        self.assertEqual([r["seq"] for r in records], [1, 2, 3])
        status, records = self.control("GET", "/_control/wait?count=9&timeout=0.2")
        self.assertEqual((status, len(records)), (408, 3))
        status, stats = self.control("GET", "/_control/connections")
        self.assertGreaterEqual(stats["accepted"], 3)

        self.assertEqual(self.control("POST", "/_control/reset")[0], 200)
        self.assertEqual(self.control("GET", "/_control/requests"), (200, []))

    def test_command_line_process(self):
        proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "fake_backend.py"), "--port", "0",
             "--models", "p,q", "--scenario-json", '{"pieces": ["z"]}', "--lifetime", "30"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        try:
            line = proc.stdout.readline().decode()
            self.assertRegex(line, r"^listening on \d+\n$")
            port = int(line.split()[2])
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT)
            conn.request("GET", "/v1/models")
            ids = [m["id"] for m in json.loads(conn.getresponse().read())["data"]]
            self.assertEqual(ids, ["p", "q"])
            conn.request("POST", "/_control/shutdown")
            self.assertEqual(conn.getresponse().status, 200)
            conn.close()
            self.assertEqual(proc.wait(TIMEOUT), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            proc.stdout.close()
            proc.stderr.close()

    def test_refuses_a_bad_starting_scenario(self):
        result = subprocess.run(
            [sys.executable, os.path.join(HERE, "fake_backend.py"), "--scenario-json",
             '{"split": "sideways"}'], capture_output=True, timeout=TIMEOUT)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, b"")
        self.assertIn(b"split", result.stderr)


if __name__ == "__main__":
    unittest.main()
