"""The server certificate rules, whatever the TLS backend of the build: verified against the
CA file, self-signed leaves and expired certificates accepted, the host name always checked.
And name resolution of the server's host on a machine that has none of the build's libraries:
the binary runs under qemu user emulation with a private /etc (qemu -L) holding only the hosts
file, resolv.conf and nsswitch.conf, so the C library finds nothing else there. One name comes
from the hosts file, the other from a DNS responder on a loopback address."""
import random
import socketserver
import struct
import subprocess
import threading

import pytest

from conftest import wait_until
from refserver import RefServer

HOSTS_NAME = "hosts.cvagent.test"
DNS_NAME = "dns.cvagent.test"

CA_CONFIG = """
[ca]
default_ca = test_ca
[test_ca]
database = {dir}/index.txt
serial = {dir}/serial
new_certs_dir = {dir}
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[localhost]
subjectAltName = DNS:localhost
[other]
subjectAltName = DNS:other.example
[resolve]
subjectAltName = DNS:hosts.cvagent.test, DNS:dns.cvagent.test
[intermediate]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
"""

VALID = ("20200101000000Z", "21000101000000Z")
EXPIRED = ("20200101000000Z", "20210101000000Z")

# name: (issuer, host, validity, CA certificates the server sends after its own, accepted);
# issuer "self" is a self-signed certificate, "intermediate" is signed by the agent's CA.
CASES = {
    "ca_for_host": ("ca", "localhost", VALID, (), True),
    "expired": ("ca", "localhost", EXPIRED, (), True),
    "self_signed_for_host": ("self", "localhost", VALID, (), True),
    "self_signed_for_other_host": ("self", "other", VALID, (), False),
    "ca_for_other_host": ("ca", "other", VALID, (), False),
    "unknown_ca": ("unknown", "localhost", VALID, (), False),
    # The unknown CA's own root is self-signed, but the leaf is not.
    "unknown_ca_root_sent": ("unknown", "localhost", VALID, ("unknown",), False),
    "intermediate_sent": ("intermediate", "localhost", VALID, ("intermediate",), True),
    "intermediate_missing": ("intermediate", "localhost", VALID, (), False),
}


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    """The agent's CA with an intermediate, an unknown CA, and a certificate chain with key for
    each case."""
    d = tmp_path_factory.mktemp("pki")
    (d / "index.txt").write_text("")
    (d / "serial").write_text("1000\n")
    (d / "ca.cnf").write_text(CA_CONFIG.format(dir=d))

    def make(name, issuer, cn, extensions=None, validity=VALID):
        key, cert = d / f"{name}.key", d / f"{name}.pem"
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key)
        if issuer == "self":  # a CA's root, or a leaf with its name
            openssl("req", "-x509", "-new", "-key", key, "-out", cert, "-days", "3650", "-subj",
                    f"/CN={cn}", *["-addext", f"subjectAltName=DNS:{cn}"] * bool(extensions))
            return
        openssl("req", "-new", "-key", key, "-out", d / f"{name}.csr", "-subj", f"/CN={cn}")
        openssl("ca", "-batch", "-notext", "-config", d / "ca.cnf", "-cert", d / f"{issuer}.pem",
                "-keyfile", d / f"{issuer}.key", "-in", d / f"{name}.csr", "-out", cert,
                "-startdate", validity[0], "-enddate", validity[1], "-extensions", extensions)

    make("ca", "self", "Test ca CA")
    make("unknown", "self", "Test unknown CA")
    make("intermediate", "ca", "Test intermediate CA", "intermediate")
    make("resolve", "ca", HOSTS_NAME, "resolve")
    for name, (issuer, host, validity, sent, _) in CASES.items():
        make(name, issuer, "localhost" if host == "localhost" else "other.example", host, validity)
        with open(d / f"{name}.pem", "ab") as chain:
            for ca in sent:
                chain.write((d / f"{ca}.pem").read_bytes())
    return d


@pytest.mark.parametrize("name", CASES)
def test_server_certificate(sandbox, pki, name):
    accepted = CASES[name][4]
    sandbox.path("/opt/corvane/certs/letsencrypt.pem").write_bytes((pki / "ca.pem").read_bytes())
    server = RefServer(ping_interval=None, cert=(pki / f"{name}.pem", pki / f"{name}.key"))
    with server:
        sandbox.connect(server, dev_id="DEV-TLS")
        if accepted:
            server.wait_message("auth", timeout=20)
        else:
            sandbox.wait_log("Agent connection error", timeout=20)
            # A second attempt is refused too, and the key never left.
            wait_until(lambda: sandbox.log().count("Agent connection error") >= 2, 20,
                       "a second refused attempt")
            assert server.messages("auth") == [] and server.connections == 0
        assert sandbox.stop() == 0


class DnsResponder(socketserver.BaseRequestHandler):
    """Answers A queries for DNS_NAME with 127.0.0.1; every other question gets no answer
    (NOERROR for that name's other types, NXDOMAIN otherwise)."""

    def handle(self):
        query, sock = self.request
        labels, at = [], 12
        while query[at]:
            labels.append(query[at + 1:at + 1 + query[at]].decode().lower())
            at += 1 + query[at]
        self.server.queries.append(".".join(labels))
        known, answer = self.server.queries[-1] == DNS_NAME, b""
        if known and query[at + 1:at + 3] == b"\0\1":  # type A
            # The name: a pointer to the question's.
            answer = b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 60, 4) + bytes([127, 0, 0, 1])
        header = query[:2] + struct.pack(">HHHHH", 0x8180 if known else 0x8183, 1,
                                         1 if answer else 0, 0, 0)
        sock.sendto(header + query[12:at + 5] + answer, self.client_address)


def dns_responder():
    """A DNS responder on a random loopback address: parallel runs do not meet on port 53."""
    for attempt in range(20):
        try:
            dns = socketserver.UDPServer(
                (f"127.{random.randint(1, 254)}.{random.randint(1, 254)}.53", 53), DnsResponder)
            break
        except OSError:
            if attempt == 19:
                raise
    dns.queries = []
    threading.Thread(target=dns.serve_forever, daemon=True).start()
    return dns


@pytest.fixture
def emulated(sandbox, tmp_path, pki):
    """The sandbox agent under qemu with a private /etc; skipped where qemu cannot run it."""
    binary = sandbox.binary.read_bytes()
    for marker, sanitizer in ((b"__asan_init", "AddressSanitizer"),
                              (b"__tsan_init", "ThreadSanitizer")):
        if marker in binary:
            pytest.skip(f"{sanitizer} does not run under qemu user emulation")
    qemu = sandbox.emulator or "qemu-x86_64-static"
    dns = dns_responder()
    etc = tmp_path / "qemu-root" / "etc"
    etc.mkdir(parents=True)
    (etc / "hosts").write_text(f"127.0.0.1 localhost\n127.0.0.1 {HOSTS_NAME}\n")
    (etc / "resolv.conf").write_text(f"nameserver {dns.server_address[0]}\noptions attempts:1\n")
    (etc / "nsswitch.conf").write_text("hosts: files dns\n")
    sandbox.emulator = qemu
    sandbox.qemu_args = ["-L", str(etc.parent)]
    sandbox.path("/opt/corvane/certs/letsencrypt.pem").write_bytes((pki / "ca.pem").read_bytes())
    yield sandbox, dns, (pki / "resolve.pem", pki / "resolve.key")
    dns.shutdown()
    dns.server_close()


@pytest.mark.parametrize("name", [HOSTS_NAME, DNS_NAME])
def test_server_name_resolves_without_the_build_machine(emulated, name):
    sandbox, dns, cert = emulated
    with RefServer(ping_interval=None, cert=cert) as server:
        sandbox.write_config({"api_key": "k" * 30, "dev_id": "DEV-DNS"})
        sandbox.start("-s", f"wss://{name}:{server.port}/api/v1/ws")
        server.wait_message("auth", timeout=30)
        assert sandbox.stop() == 0
    # The hosts file answers first: only the other name reaches the DNS responder.
    assert set(dns.queries) == (set() if name == HOSTS_NAME else {DNS_NAME})
