"""The reference server's live page: HTTP on 127.0.0.1 beside the agents' TLS WebSocket.

    GET  /                 the page (page/index.html, app.js, style.css, uPlot from npm)
    GET  /events[?agent=KEY]  server-sent events, at most one a second: {"version",
                           "agents": [views of the changed agents; with KEY, only that one's
                           whole, the others' list rows], "keys": [...], "summary": {...}}
    GET  /api/state        the same as one JSON object, every agent
    POST /api/command      {"agent": key, "message": {...}}: sends the message to the agent
    POST /api/reload       {"agent": key}: reconnects the agent with a registration request,
                           so that it uploads its configuration again

Requests must name this server in their Host header (no DNS rebinding) and a POST must carry
JSON from this page's own origin (no cross-site commands to the machines).
"""

import json
import os
import threading
import time
import uuid
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from websockets.exceptions import ConnectionClosed

from fleet import encode

HERE = os.path.dirname(os.path.abspath(__file__))
UPLOT = os.path.join(HERE, "node_modules", "uplot", "dist")
FILES = {
    "/": (os.path.join(HERE, "page", "index.html"), "text/html; charset=utf-8"),
    "/app.js": (os.path.join(HERE, "page", "app.js"), "text/javascript; charset=utf-8"),
    "/style.css": (os.path.join(HERE, "page", "style.css"), "text/css; charset=utf-8"),
    "/uPlot.js": (os.path.join(UPLOT, "uPlot.iife.min.js"), "text/javascript; charset=utf-8"),
    "/uPlot.css": (os.path.join(UPLOT, "uPlot.min.css"), "text/css; charset=utf-8"),
}
KEEPALIVE_SECS = 15
# At most one event a second: a thousand agents change the fleet a hundred times a second.
EVENT_SECS = 1.0
MAX_BODY = 64 * 1024
# Commands whose answer is a report matched by "request_id".
WITH_REQUEST_ID = ("logs", "chip_metrics")


class Dashboard:
    def __init__(self, srv, fleet, port=0):
        self.srv, self.fleet = srv, fleet
        self._http = ThreadingHTTPServer(("127.0.0.1", port), _handler_for(self))
        self._http.daemon_threads = True
        self.port = self._http.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}/"
        self._thread = None

    def start(self):
        self._thread = threading.Thread(target=self._http.serve_forever, name="dashboard",
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._thread is None:
            return
        self.fleet.close()  # ends the event streams
        self._http.shutdown()
        self._http.server_close()
        self._thread.join()
        self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # ---- actions ---------------------------------------------------------

    def command(self, body):
        """(status, reply object) for POST /api/command."""
        message = body.get("message")
        if not isinstance(message, dict) or not isinstance(message.get("type"), str):
            return HTTPStatus.BAD_REQUEST, {"error": "message must be an object with a type"}
        live = self.fleet.live_conn(body.get("agent"))
        if live is None:
            return HTTPStatus.CONFLICT, {"error": "agent not connected"}
        if message["type"] in WITH_REQUEST_ID and not isinstance(message.get("request_id"), str):
            message["request_id"] = str(uuid.uuid4())
        return self._send(lambda: self.srv.send(message, live[0]), {"sent": message})

    def reload(self, body):
        live = self.fleet.live_conn(body.get("agent"))
        if live is None or not live[1]:
            return HTTPStatus.CONFLICT, {"error": "agent not connected or without device id"}
        self.srv.register_next(live[1])
        return self._send(lambda: self.srv.close(1000, "configuration reload", live[0]),
                          {"reloading": live[1]})

    @staticmethod
    def _send(action, reply):
        try:
            action()
        except (RuntimeError, TimeoutError, ConnectionClosed) as e:  # the agent went away
            return HTTPStatus.CONFLICT, {"error": str(e)}
        return HTTPStatus.OK, reply

    def state(self):
        version, views, keys = self.fleet.changes(-1, 0)
        return {"version": version, "agents": views, "keys": keys}


def _handler_for(board):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):  # the console shows the agents' messages, not requests
            pass

        def _host_ok(self):
            host = self.headers.get("Host", "")
            return host in (f"127.0.0.1:{board.port}", f"localhost:{board.port}")

        def _reply(self, status, body, ctype="application/json"):
            data = body if isinstance(body, bytes) else encode(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self):
            path = urlsplit(self.path).path
            if not self._host_ok():
                return self._reply(HTTPStatus.FORBIDDEN, {"error": "unknown host"})
            if path == "/events":
                return self._events()
            if path == "/api/state":
                return self._reply(HTTPStatus.OK, board.state())
            if path not in FILES:
                return self._reply(HTTPStatus.NOT_FOUND, {"error": "not found"})
            name, ctype = FILES[path]
            try:
                with open(name, "rb") as f:
                    data = f.read()
            except OSError:  # uPlot not installed: the page says so
                return self._reply(HTTPStatus.NOT_FOUND, {"error": "missing " + name})
            self._reply(HTTPStatus.OK, data, ctype)

        def do_POST(self):
            origin = self.headers.get("Origin")
            if not self._host_ok() or origin not in (None, f"http://{self.headers['Host']}"):
                return self._reply(HTTPStatus.FORBIDDEN, {"error": "foreign origin"})
            length = self.headers.get("Content-Length", "")
            length = int(length) if length.isdigit() else 0
            ctype = self.headers.get("Content-Type", "").split(";")[0].strip()
            if ctype != "application/json" or not 0 < length <= MAX_BODY:
                return self._reply(HTTPStatus.BAD_REQUEST, {"error": "JSON body expected"})
            try:
                body = json.loads(self.rfile.read(length))
            except (ValueError, RecursionError):
                body = None
            if not isinstance(body, dict):
                return self._reply(HTTPStatus.BAD_REQUEST, {"error": "JSON object expected"})
            path = urlsplit(self.path).path
            action = {"/api/command": board.command, "/api/reload": board.reload}.get(path)
            if action is None:
                return self._reply(HTTPStatus.NOT_FOUND, {"error": "not found"})
            self._reply(*action(body))

        def _events(self):
            self.send_response(HTTPStatus.OK)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.close_connection = True
            since = -1
            selected = parse_qs(urlsplit(self.path).query).get("agent", [None])[0]
            try:
                while True:
                    change = board.fleet.changes(since, KEEPALIVE_SECS, selected)
                    if change is None:
                        return
                    version, views, keys = change
                    if version == since:
                        self.wfile.write(b": keep-alive\n\n")
                    else:
                        event = {"version": version, "agents": views, "keys": keys,
                                 "summary": board.fleet.summary()}
                        self.wfile.write(b"data: " + encode(event).encode() + b"\n\n")
                    self.wfile.flush()
                    since = version
                    time.sleep(EVENT_SECS)  # what changes meanwhile goes in the next event
            except OSError:  # the page went away
                return

    return Handler
