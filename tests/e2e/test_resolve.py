"""Name resolution of the server's host on a machine that has none of the build's libraries:
the binary runs under qemu user emulation with a private /etc (qemu -L) holding only the
hosts file, resolv.conf and nsswitch.conf, so the C library finds nothing else there. One name
comes from the hosts file, the other from a DNS responder on a loopback address."""
import random
import socket
import struct
import subprocess
import threading

import pytest

from refserver import RefServer

HOSTS_NAME = "hosts.cvagent.test"
DNS_NAME = "dns.cvagent.test"


class DnsResponder:
    """Answers A queries for one name with 127.0.0.1; every other question gets no answer
    (NOERROR for that name's other types, NXDOMAIN otherwise)."""

    def __init__(self, name):
        self.name = name
        self.queries = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        # A random loopback address: parallel runs do not meet on port 53.
        for _ in range(20):
            self.address = f"127.{random.randint(1, 254)}.{random.randint(1, 254)}.53"
            try:
                self.sock.bind((self.address, 53))
                break
            except OSError:
                continue
        else:
            raise RuntimeError("no loopback address free for port 53")
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                query, peer = self.sock.recvfrom(512)
            except socket.timeout:
                continue
            self.sock.sendto(self._answer(query), peer)

    def _answer(self, query):
        ident, _, qdcount = struct.unpack(">HHH", query[:6])
        labels, at = [], 12
        while query[at]:
            labels.append(query[at + 1:at + 1 + query[at]].decode().lower())
            at += 1 + query[at]
        question = query[12:at + 5]
        qtype = struct.unpack(">H", query[at + 1:at + 3])[0]
        name = ".".join(labels)
        self.queries.append((name, qtype))
        known = name == self.name
        answers = b""
        if known and qtype == 1:
            record = struct.pack(">HHIH", 1, 1, 60, 4) + socket.inet_aton("127.0.0.1")
            answers = b"\xc0\x0c" + record  # the name: a pointer to the question's
        flags = 0x8180 if known else 0x8183
        header = struct.pack(">HHHHHH", ident, flags, 1, 1 if answers else 0, 0, 0)
        return header + question + answers

    def stop(self):
        self.running = False
        self.thread.join()
        self.sock.close()


@pytest.fixture
def emulated(sandbox, tmp_path):
    """The sandbox agent under qemu with a private /etc; skipped where qemu cannot run it."""
    binary = sandbox.binary.read_bytes()
    for marker, sanitizer in ((b"__asan_init", "AddressSanitizer"),
                              (b"__tsan_init", "ThreadSanitizer")):
        if marker in binary:
            pytest.skip(f"{sanitizer} does not run under qemu user emulation")
    qemu = sandbox.emulator or "qemu-x86_64-static"
    dns = DnsResponder(DNS_NAME)
    etc = tmp_path / "qemu-root" / "etc"
    etc.mkdir(parents=True)
    (etc / "hosts").write_text(f"127.0.0.1 localhost\n127.0.0.1 {HOSTS_NAME}\n")
    (etc / "resolv.conf").write_text(f"nameserver {dns.address}\noptions attempts:1\n")
    (etc / "nsswitch.conf").write_text("hosts: files dns\n")
    sandbox.emulator = qemu
    sandbox.qemu_args = ["-L", str(etc.parent)]
    # One certificate for both names, trusted as the CA file.
    key, cert = tmp_path / "key.pem", tmp_path / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "3650", "-subj", f"/CN={HOSTS_NAME}",
                    "-addext", f"subjectAltName=DNS:{HOSTS_NAME},DNS:{DNS_NAME}"],
                   check=True, capture_output=True)
    sandbox.path("/opt/corvane/certs/letsencrypt.pem").write_bytes(cert.read_bytes())
    yield sandbox, dns, (cert, key)
    dns.stop()


@pytest.mark.parametrize("name", [HOSTS_NAME, DNS_NAME])
def test_server_name_resolves_without_the_build_machine(emulated, name):
    sandbox, dns, cert = emulated
    with RefServer(ping_interval=None, cert=cert) as server:
        sandbox.server_url = f"wss://{name}:{server.port}/api/v1/ws"
        sandbox.write_config({"api_key": "k" * 30, "dev_id": "DEV-DNS"})
        sandbox.start()
        server.wait_message("auth", timeout=30)
        assert sandbox.stop() == 0
    # The hosts file answers first: only the other name reaches the DNS responder.
    asked = {query for query, _ in dns.queries}
    assert asked == (set() if name == HOSTS_NAME else {DNS_NAME})
