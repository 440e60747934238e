#!/usr/bin/python3
"""Reference management server for cvagent: TLS WebSocket on localhost.

Used in-process by the end-to-end tests (RefServer) and as a demo CLI:

    /usr/bin/python3 tools/refserver/refserver.py --port 8443 [--auth MODE] [--script FILE]
        [--http-port PORT] [--verbose] [--no-validate]

localhost.pem / localhost-key.pem beside this file are a self-signed P-256
certificate for "localhost" and 127.0.0.1 (valid 2020-2119); the agent uses
localhost.pem as its CA file.
"""

import argparse
import asyncio
import json
import os
import resource
import socket
import ssl
import sys
import threading
import time
import uuid
from dataclasses import dataclass, field
from http import HTTPStatus
from typing import Any, Optional

import websockets
from websockets.exceptions import ConnectionClosed
from websockets.frames import OP_CONT, OP_TEXT

import protocol_schema
from dashboard import Dashboard
from fleet import Fleet

HERE = os.path.dirname(os.path.abspath(__file__))
CERT = os.path.join(HERE, "localhost.pem")
KEY = os.path.join(HERE, "localhost-key.pem")
PATH = "/api/v1/ws"
SUBPROTOCOL = "corvane-agent"
AUTH_MODES = ("accept", "accept_register", "reject", "silent")
AUTH_REPLIES = {
    "accept": {"type": "auth", "ok": True},
    "accept_register": {"type": "auth", "ok": True, "registration": True},
    "reject": {"type": "auth", "ok": False, "message": "Invalid API key"},
}


@dataclass
class Record:
    """One text message, received from or sent to the agent."""
    time: float  # time.monotonic()
    wall: float  # time.time()
    conn: int    # connection sequence number, from 1
    text: Any    # str, or bytes for a binary message
    json: Any = None  # decoded value, None when the text is not JSON


@dataclass
class Event:
    time: float
    wall: float
    conn: int
    kind: str  # "open" or "close"
    code: Optional[int] = None  # close code sent by the peer; 1006 when none
    reason: str = ""
    subprotocol: Optional[str] = None
    extensions: list = field(default_factory=list)


def _decode(text):
    try:
        return json.loads(text)
    except (TypeError, ValueError, RecursionError):  # deep nesting too
        return None


def free_port():
    """A loopback port nobody listens on (connections to it are refused)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RefServer:
    # A list that collects the violations of every server (the end-to-end tests' fixture
    # fails the test that caused one), or None.
    violation_sink = None

    def __init__(self, port=0, host="127.0.0.1", auth_mode="accept",
                 ack_update_config=False, on_event=None, ping_interval=20,
                 cert=(CERT, KEY), keep=True, conn_base=0, validate=None):
        self.host, self.port = host, port
        # The server's certificate chain and key files.
        self.cert = cert
        # The server's own keep-alive pings (seconds, or None for none).
        self.ping_interval = ping_interval
        self.auth_mode = auth_mode
        # Answer every "update_config" with ok=true (ends the registration hold).
        self.ack_update_config = ack_update_config
        # Called on the server thread as on_event(kind, item) with kind in
        # "recv", "sent" (Record) and "open", "close" (Event).
        self.on_event = on_event
        # Whether received, sent and events keep every record (a fleet's would fill the
        # memory); on_event sees each either way.
        self.keep = keep
        self._register_once: set = set()  # see register_next()
        # Every message checked against docs/protocol.yaml (see _check_received and
        # _check_sent); by default as the records are kept, so not for a fleet, whose server
        # must not spend its time on it.
        self.schema = protocol_schema.load() if (keep if validate is None else validate) \
            else None
        self.violations: list = []
        self._answers: dict = {}  # (conn, type) -> [problems of each command awaiting its answer]
        self.received: list = []
        self.sent: list = []
        self.events: list = []
        self._consumed: set = set()
        self._cond = threading.Condition(threading.RLock())
        self._live: dict = {}
        # Connections are numbered from conn_base + 1: a restarted server can go on counting.
        self._nconn = conn_base
        self._loop = self._thread = self._stop_fut = None

    # ---- lifecycle -------------------------------------------------------

    def start(self):
        # A connection is a descriptor: a fleet of agents needs all the process may have.
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        ready = threading.Event()
        failure = []
        self._thread = threading.Thread(target=self._run, args=(ready, failure),
                                        name="refserver", daemon=True)
        self._thread.start()
        ready.wait()
        if failure:
            self._thread.join()
            self._thread = None
            raise failure[0]
        return self

    def stop(self):
        if self._thread is None:
            return
        self._loop.call_soon_threadsafe(self._stop_fut.set_result, None)
        self._thread.join()
        self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _run(self, ready, failure):
        async def main():
            self._loop = asyncio.get_running_loop()
            self._stop_fut = self._loop.create_future()
            try:
                ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
                ctx.load_cert_chain(*self.cert)
                server = await websockets.serve(
                    self._handler, self.host, self.port, ssl=ctx,
                    subprotocols=[SUBPROTOCOL], process_request=self._check_request,
                    close_timeout=2, ping_interval=self.ping_interval,
                    # a farm reconnects at once after a restart: a short accept queue would
                    # drop their handshakes into the kernel's 1 s, 3 s SYN retries
                    backlog=4096)
            except Exception as e:  # e.g. port in use: start() raises it
                failure.append(e)
                ready.set()
                return
            self.port = server.sockets[0].getsockname()[1]
            ready.set()
            await self._stop_fut
            server.close()  # closes live connections with 1001
            await server.wait_closed()
        asyncio.run(main())

    @staticmethod
    async def _check_request(path, headers):  # websockets 10 wants a coroutine here
        if path != PATH:
            return HTTPStatus.NOT_FOUND, [], b"unknown path\n"
        offered = ",".join(headers.get_all("Sec-WebSocket-Protocol"))
        if SUBPROTOCOL not in [p.strip() for p in offered.split(",")]:
            return HTTPStatus.BAD_REQUEST, [], b"sub-protocol corvane-agent required\n"
        return None

    # ---- connection handling (server thread) -----------------------------

    def _notify(self, kind, item, into):
        with self._cond:
            if self.keep:
                into.append(item)
            self._cond.notify_all()
        if self.on_event:
            self.on_event(kind, item)

    async def _handler(self, ws):
        with self._cond:
            self._nconn += 1
            conn = self._nconn
            self._live[conn] = ws
        exts = [type(e).__name__ for e in ws.extensions]
        self._notify("open", Event(time.monotonic(), time.time(), conn, "open",
                                   subprotocol=ws.subprotocol, extensions=exts), self.events)
        first = True
        try:
            async for text in ws:
                rec = Record(time.monotonic(), time.time(), conn, text,
                             _decode(text) if isinstance(text, str) else None)
                self._check_received(conn, rec)
                self._notify("recv", rec, self.received)
                kind = rec.json.get("type") if isinstance(rec.json, dict) else None
                if first and kind == "auth" and self.auth_mode in AUTH_REPLIES:
                    await self._send_json(ws, conn, AUTH_REPLIES[self._auth_reply(rec.json)])
                elif kind == "update_config" and self.ack_update_config:
                    await self._send_json(ws, conn, {"type": "update_config", "ok": True})
                first = False
        except ConnectionClosed:
            pass
        finally:
            with self._cond:
                del self._live[conn]
                self._answers = {k: v for k, v in self._answers.items() if k[0] != conn}
            self._notify("close", Event(time.monotonic(), time.time(), conn, "close",
                                        code=ws.close_code, reason=ws.close_reason or ""),
                         self.events)

    def _auth_reply(self, msg):
        device = msg.get("device_id")
        with self._cond:
            if self.auth_mode == "accept" and isinstance(device, str) \
                    and device in self._register_once:
                self._register_once.discard(device)
                return "accept_register"
        return self.auth_mode

    async def _send_json(self, ws, conn, obj):
        """The server's own messages (auth and upload answers): each must match."""
        if self.schema:
            for problem in self.schema.check("server", obj):
                self._violation(f"server sent {json.dumps(obj)}: {problem}")
        await self._send_text(ws, conn, json.dumps(obj), command=False)

    async def _send_text(self, ws, conn, text, command=True):
        if command:
            self._check_sent(conn, text)
        await ws.send(text)
        self._notify("sent", Record(time.monotonic(), time.time(), conn, text, _decode(text)),
                     self.sent)

    # ---- checks against docs/protocol.yaml (server thread) ---------------

    def _violation(self, text):
        with self._cond:
            self.violations.append(text)
            if RefServer.violation_sink is not None:
                RefServer.violation_sink.append(text)
        print(f"refserver: protocol violation: {text}", file=sys.stderr, flush=True)

    def _check_received(self, conn, rec):
        if not self.schema:
            return
        text = rec.text if isinstance(rec.text, str) else repr(rec.text)
        for problem in self.schema.check("agent", rec.json):
            self._violation(f"agent sent {text}: {problem}")
        msg = rec.json if isinstance(rec.json, dict) else {}
        kind = "logs" if msg.get("type") == "get_logs" else msg.get("type")
        waiting = self._answers.get((conn, kind))
        if waiting:
            problems = waiting.pop(0)
            if problems and msg.get("ok") is not False:
                self._violation(f"agent accepted a command the document refuses "
                                f"({'; '.join(problems)}); it answered {text}")

    def _check_sent(self, conn, text):
        """Commands come from the tests and the console as they are, and the robustness
        tests send malformed ones on purpose: a command need not match the document, but
        when it does not, the agent must refuse it. Its answer (the next of its type; the
        agent answers in order) is checked in _check_received. A message the agent drops
        for its size gets no answer and is not awaited."""
        size = len(text.encode() if isinstance(text, str) else text)
        if not self.schema or size > protocol_schema.MAX_INCOMING:
            return
        msg = _decode(text)
        kind = msg.get("type") if isinstance(msg, dict) else None
        if kind in self.schema.answered:
            with self._cond:
                self._answers.setdefault((conn, kind), []).append(
                    self.schema.check("server", msg))

    # ---- commands from other threads ------------------------------------

    def register_next(self, device_id):
        """Answer the next "auth" of this device with a registration request (in auth mode
        "accept"), so that it uploads its configuration again."""
        with self._cond:
            self._register_once.add(device_id)

    def _target(self, conn):
        with self._cond:
            if conn is None:
                open_ = [c for c, ws in self._live.items() if ws.open]
                if open_:
                    conn = open_[-1]
            ws = self._live.get(conn)
            if ws is None or not ws.open:
                raise RuntimeError("refserver: no live connection")
            return conn, ws

    def _call(self, make_coro, conn, timeout=10):
        conn, ws = self._target(conn)
        fut = asyncio.run_coroutine_threadsafe(make_coro(conn, ws), self._loop)
        return fut.result(timeout)

    def send(self, obj, conn=None):
        """Send obj as a JSON text message to the live (latest) connection."""
        self.send_text(json.dumps(obj), conn)

    def send_text(self, text, conn=None):
        self._call(lambda c, ws: self._send_text(ws, c, text), conn)

    def send_fragments(self, fragments, conn=None):
        """One text message in len(fragments) frames; items are str or bytes.

        Frames are written back to back without yielding, so no other message
        can interleave, and the last fragment carries FIN (websockets' own
        fragmented send would add an empty final frame instead).
        """
        if not fragments:
            raise ValueError("no fragments")
        parts = [f.encode() if isinstance(f, str) else bytes(f) for f in fragments]

        async def go(conn, ws):
            self._check_sent(conn, b"".join(parts))
            for i, data in enumerate(parts):
                ws.write_frame_sync(i == len(parts) - 1, OP_TEXT if i == 0 else OP_CONT, data)
            await ws.drain()
            whole = b"".join(parts)
            self._notify("sent", Record(time.monotonic(), time.time(), conn,
                                        whole.decode(errors="replace"), _decode(whole)), self.sent)
        self._call(go, conn)

    def send_bytes_as_text(self, data, conn=None):
        """A single text frame with arbitrary payload (e.g. invalid UTF-8)."""
        async def go(conn, ws):
            await ws.write_frame(True, OP_TEXT, bytes(data))
        self._call(go, conn)

    def close(self, code=1000, reason="", conn=None):
        """Close handshake; returns once the connection is closed."""
        async def go(conn, ws):
            await ws.close(code, reason)
        self._call(go, conn)

    def drop(self, conn=None):
        """Cut the TCP connection without a close frame; returns once it is gone."""
        async def go(conn, ws):
            ws.transport.abort()
            await ws.wait_closed()
        self._call(go, conn)

    # ---- inspection -----------------------------------------------------

    def messages(self, type=None, conn=None):
        with self._cond:
            return [r.json for r in self.received
                    if (conn is None or r.conn == conn)
                    and (type is None or (isinstance(r.json, dict) and r.json.get("type") == type))]

    def dump(self):
        with self._cond:
            items = sorted(self.events + self.received, key=lambda r: r.time)
            t0 = items[0].time if items else 0
            lines = []
            for r in items:
                if isinstance(r, Event):
                    what = f"{r.kind} code={r.code}" if r.kind == "close" else "open"
                else:
                    text = r.text if isinstance(r.text, str) else repr(r.text)
                    what = "<- " + (text if len(text) < 300 else text[:300] + "...")
                lines.append(f"  +{r.time - t0:8.3f}s #{r.conn} {what}")
            return "\n".join(lines) or "  (nothing received)"

    def wait_for(self, predicate, timeout=5.0, what=None):
        """Poll predicate() until truthy (returned) or raise AssertionError at the deadline."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                result = predicate()
                if result:
                    return result
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(
                        f"timed out after {timeout}s waiting for {what or predicate}; "
                        f"server saw:\n{self.dump()}")
                # Woken by every record; the short cap covers predicates on outside state.
                self._cond.wait(min(left, 0.05))

    def wait_record(self, type, timeout=5.0, conn=None, since=0):
        """First unconsumed received Record of this type (index >= since); marks it consumed."""
        def find():
            for i in range(since, len(self.received)):
                r = self.received[i]
                if (i not in self._consumed and (conn is None or r.conn == conn)
                        and isinstance(r.json, dict) and r.json.get("type") == type):
                    self._consumed.add(i)
                    return r
        return self.wait_for(find, timeout, f"message {type!r}")

    def wait_message(self, type, timeout=5.0, conn=None, since=0):
        return self.wait_record(type, timeout, conn, since).json

    def wait_connections(self, n, timeout=5.0):
        """Wait until n connections have been opened in total."""
        self.wait_for(lambda: self._nconn >= n, timeout, f"{n} connection(s)")

    def wait_closed(self, conn, timeout=5.0):
        """Wait for the close of connection number conn; returns its Event."""
        return self.wait_for(lambda: next((e for e in self.events if e.kind == "close"
                                           and e.conn == conn), None),
                             timeout, f"close of connection #{conn}")

    @property
    def connections(self):
        return self._nconn


class SilentTcpServer:
    """Accepts TCP connections and never sends a byte (TLS handshakes hang)."""

    def __init__(self, host="127.0.0.1"):
        self._sock = socket.create_server((host, 0))
        self.port = self._sock.getsockname()[1]
        self._conns = []
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._accept, name="silent-tcp", daemon=True)

    def start(self):
        self._thread.start()
        return self

    def _accept(self):
        while True:
            try:
                c, _ = self._sock.accept()
            except OSError:  # listening socket shut down by stop()
                return
            with self._cond:
                self._conns.append(c)
                self._cond.notify_all()

    @property
    def accepted(self):
        return len(self._conns)

    def wait_accepted(self, n, timeout=5.0):
        with self._cond:
            if not self._cond.wait_for(lambda: len(self._conns) >= n, timeout):
                raise AssertionError(f"silent server: {len(self._conns)} of {n} connections")

    def stop(self):
        try:
            self._sock.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept()
        except OSError:
            pass
        self._sock.close()
        if self._thread.is_alive():
            self._thread.join()
        with self._cond:
            for c in self._conns:
                c.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# ---- command line --------------------------------------------------------

SHORTCUTS = ("status", "reboot", "logs", "start_mining", "stop_mining", "chip_metrics",
             "update_firmware")
HELP = ("commands: a JSON line (sent as is) | " + " | ".join(SHORTCUTS)
        + " | close [code] | drop | auth MODE | sleep SECS | wait auth [SECS] | quit")


def _print_event(kind, item):
    stamp = time.strftime("%H:%M:%S", time.localtime(item.wall)) + f".{int(item.wall * 1000) % 1000:03d}"
    if kind == "open":
        line = f"connected (sub-protocol {item.subprotocol}, extensions {item.extensions})"
    elif kind == "close":
        line = f"closed, code {item.code} {item.reason}".rstrip()
    else:
        arrow = "<-" if kind == "recv" else "->"
        body = json.dumps(item.json, indent=2) if item.json is not None else repr(item.text)
        line = f"{arrow} {body}"
    print(f"[{stamp}] #{item.conn} {line}", flush=True)


def run_command(srv, line):
    """Run one CLI command; returns False on "quit"."""
    words = line.split()
    if not words or words[0].startswith("#"):
        return True
    cmd = words[0]
    try:
        if line.lstrip()[0] in "{[":
            srv.send_text(line.strip())
        elif cmd in SHORTCUTS:
            msg = {"type": cmd}
            if cmd in ("logs", "chip_metrics"):
                msg["request_id"] = str(uuid.uuid4())
            srv.send(msg)
        elif cmd == "close":
            srv.close(int(words[1]) if len(words) > 1 else 1000)
        elif cmd == "drop":
            srv.drop()
        elif cmd == "auth" and len(words) == 2 and words[1] in AUTH_MODES:
            srv.auth_mode = words[1]
        elif cmd == "sleep":
            time.sleep(float(words[1]))
        elif cmd == "wait" and words[1:2] == ["auth"]:
            srv.wait_message("auth", float(words[2]) if len(words) > 2 else 600)
        elif cmd == "quit":
            return False
        else:
            print(HELP, flush=True)
    except (RuntimeError, AssertionError, ValueError, IndexError) as e:
        print(f"! {cmd}: {str(e).splitlines()[0]}", flush=True)
    return True


def main(argv=None):
    ap = argparse.ArgumentParser(description="cvagent reference management server")
    ap.add_argument("--port", type=int, default=8443)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--auth", choices=AUTH_MODES, default="accept")
    ap.add_argument("--script", help="file of commands run one after another")
    ap.add_argument("--no-ack-config", action="store_true",
                    help="do not answer update_config with ok=true")
    ap.add_argument("--http-port", type=int,
                    help="also serve the live page on http://127.0.0.1:PORT/ (0: a free port)")
    ap.add_argument("--verbose", action="store_true",
                    help="print every message, connection and close also with the live page "
                    "and no script (otherwise always printed)")
    ap.add_argument("--no-validate", action="store_true",
                    help="do not check messages against docs/protocol.yaml (for an agent "
                    "that speaks an experimental version)")
    args = ap.parse_args(argv)
    # On the console or with a script the conversation is the output, and the script's "wait
    # auth" reads the records. Behind the live page alone, a fleet's would flood both.
    conversation = args.http_port is None or args.script is not None
    fleet = Fleet() if args.http_port is not None else None

    def on_event(kind, item):
        if fleet:
            fleet.fold(kind, item)
        if conversation or args.verbose:
            _print_event(kind, item)
    srv = RefServer(args.port, args.host, args.auth, not args.no_ack_config, on_event,
                    keep=conversation, validate=not args.no_validate)
    script = []
    if args.script:
        with open(args.script) as f:
            script = f.read().splitlines()
    srv.start()
    print(f"listening on wss://{args.host}:{srv.port}{PATH} (auth: {args.auth}); {HELP}",
          flush=True)
    board = Dashboard(srv, fleet, args.http_port).start() if fleet else None
    if board:
        print(f"live page on {board.url}", flush=True)
    done = threading.Event()

    def feed(lines):  # only "quit" ends the program; EOF keeps it serving
        for line in lines:
            if not run_command(srv, line):
                done.set()
                return

    threads = [lambda: feed(iter(sys.stdin.readline, ""))]
    if script:
        threads.append(lambda: feed(script))
    for fn in threads:
        threading.Thread(target=fn, daemon=True).start()
    try:
        done.wait()
    except KeyboardInterrupt:
        pass
    if board:
        board.stop()
    srv.stop()


if __name__ == "__main__":
    main()
