"""The server certificate rules, whatever the TLS backend of the build: verified against the
CA file, self-signed leaves and expired certificates accepted, the host name always checked."""
import subprocess

import pytest

from conftest import wait_until
from refserver import RefServer

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


def new_key(path):
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    """The agent's CA with an intermediate, an unknown CA, and a certificate chain with key for
    each case."""
    d = tmp_path_factory.mktemp("pki")
    (d / "index.txt").write_text("")
    (d / "serial").write_text("1000\n")
    (d / "ca.cnf").write_text(CA_CONFIG.format(dir=d))
    for ca in ("ca", "unknown"):
        new_key(d / f"{ca}.key")
        openssl("req", "-x509", "-new", "-key", d / f"{ca}.key", "-out", d / f"{ca}.pem",
                "-days", "3650", "-subj", f"/CN=Test {ca} CA")
    new_key(d / "intermediate.key")
    openssl("req", "-new", "-key", d / "intermediate.key", "-out", d / "intermediate.csr",
            "-subj", "/CN=Test intermediate CA")
    openssl("ca", "-batch", "-notext", "-config", d / "ca.cnf", "-cert", d / "ca.pem",
            "-keyfile", d / "ca.key", "-in", d / "intermediate.csr",
            "-out", d / "intermediate.pem", "-days", "3650", "-extensions", "intermediate")
    for name, (issuer, host, (start, end), sent, _) in CASES.items():
        key, cert = d / f"{name}.key", d / f"{name}.pem"
        new_key(key)
        cn = "localhost" if host == "localhost" else "other.example"
        if issuer == "self":
            openssl("req", "-x509", "-new", "-key", key, "-out", cert, "-days", "3650",
                    "-subj", f"/CN={cn}", "-addext", f"subjectAltName=DNS:{cn}")
            continue
        openssl("req", "-new", "-key", key, "-out", d / f"{name}.csr", "-subj", f"/CN={cn}")
        openssl("ca", "-batch", "-notext", "-config", d / "ca.cnf", "-cert", d / f"{issuer}.pem",
                "-keyfile", d / f"{issuer}.key", "-in", d / f"{name}.csr", "-out", cert,
                "-startdate", start, "-enddate", end, "-extensions", host)
        with open(cert, "ab") as chain:
            for ca in sent:
                chain.write((d / f"{ca}.pem").read_bytes())
    return d


@pytest.mark.parametrize("name", CASES)
def test_server_certificate(sandbox, pki, name):
    accepted = CASES[name][4]
    sandbox.path("/opt/corvane/certs/letsencrypt.pem").write_bytes((pki / "ca.pem").read_bytes())
    server = RefServer(ping_interval=None, cert=(pki / f"{name}.pem", pki / f"{name}.key"))
    with server:
        sandbox.server_url = f"wss://localhost:{server.port}/api/v1/ws"
        sandbox.write_config({"api_key": "k" * 30, "dev_id": "DEV-TLS"})
        sandbox.start()
        if accepted:
            server.wait_message("auth", timeout=20)
        else:
            sandbox.wait_log("Agent connection error", timeout=20)
            # A second attempt is refused too, and the key never left.
            wait_until(lambda: sandbox.log().count("Agent connection error") >= 2, 20,
                       "a second refused attempt")
            assert server.messages("auth") == [] and server.connections == 0
        assert sandbox.stop() == 0
