# Sandbox merchant servers and the shared test server on 127.0.0.1 for the Python package's tests. The build
# passes ORVALIS_SANDBOX (the orvalis-sandbox program) and ORVALIS_RESOURCES.
import json, os, shutil, subprocess, sys, time
import pytest, orvalis

PASSWORD = "py-test-password"
BIG, SUM = "123456789012345678901234567890123456789", "1234567890.123456789012"  # more digits than a double holds
# Integers a double happens to hold (written out in full), and numbers beyond the double range; among
# a hundred thousand short members.
WIDE_VALUES = {"p64": 2**64, "p63": 2**63, "e20": 10**20, "m64": -2**64}
SHORT_MEMBERS = {"k%d" % i: 0 for i in range(100000)}
WIDE = ", ".join('"%s": %d' % kv for kv in {**WIDE_VALUES, **SHORT_MEMBERS}.items()) + ', "far": 1E+400, "near": 1e309'


@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    d = tmp_path_factory.mktemp("keys")
    openssl = lambda *a: subprocess.run(["openssl", *a], cwd=d, check=True, capture_output=True, timeout=60)
    san = ["-addext", "subjectAltName=IP:127.0.0.1"]
    # "good", "wrong" and "self" serve the shared test server's ports, trusted by no client that does not name them
    for name, extra in (("m", []), ("server", san), ("good", san), ("wrong", san), ("self", san)):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=" + name, *extra,
                "-keyout", name + ".key", "-out", name + ".pem")
    openssl("pkcs12", "-export", "-inkey", "m.key", "-in", "m.pem", "-passout", "pass:" + PASSWORD, "-out", "m.p12")
    shutil.copy(os.path.join(os.environ["ORVALIS_RESOURCES"], "AuthorizePairing.xml"), d)
    orvalis.add_trusted_certificates(d / "server.pem")
    orvalis.set_resource_path(d)
    (d / "paymentdata.json").write_text('{"id": %s, "amount": %s, "n": -7, %s}' % (BIG, SUM, WIDE))
    return d


# SoftHSM2 tokens made for this run: "py" and "py3" hold the merchant's key "m", "py2" nothing (the fixture
# gives the URI of "m" in a token by its label); the file "pin" holds their PIN. A login holds for the
# process: one token per PIN source.
PIN = "py-pin 1"


@pytest.fixture(scope="session")
def token(keys):
    (keys / "tokens").mkdir()
    (keys / "softhsm2.conf").write_text("directories.tokendir = %s\nobjectstore.backend = file\n" % (keys / "tokens"))
    os.environ["SOFTHSM2_CONF"] = str(keys / "softhsm2.conf")  # read when the library loads the module
    (keys / "pin").write_text(PIN + "\n")
    util = lambda *a: subprocess.run(["softhsm2-util", "--pin", PIN, *a], check=True, capture_output=True, timeout=60)
    for label in ("py", "py2", "py3"):
        util("--init-token", "--free", "--so-pin", "1357", "--label", label)
    for label in ("py", "py3"):
        util("--import", keys / "m.key", "--token", label, "--label", "m", "--id", "01")
    module = os.environ["ORVALIS_SOFTHSM2_MODULE"]
    return lambda label: "pkcs11:token=%s;object=m;type=private?module-path=%s" % (label, module)


# The requests the sandbox "name" has seen: it prints one line per request ("GET /path verdict").
def seen(keys, name):
    return [line for line in (keys / (name + ".log")).read_text().splitlines() if not line.startswith("listening")]


# Starts orvalis-sandbox; yields its host ("127.0.0.1:PORT"), then stops it.
def sandbox(keys, name, *args):
    port = keys / (name + ".port")
    with open(keys / (name + ".log"), "w") as log:
        proc = subprocess.Popen([os.environ["ORVALIS_SANDBOX"], "--merchant-cert", keys / "m.pem", "--keep-alive",
                                 "1", "--cert", keys / "server.pem", "--key", keys / "server.key", "--port-file", port,
                                 *args], stdout=log)
    try:
        for _ in range(200):  # 10 s at most, until the port is written
            time.sleep(0 if port.exists() and port.read_text().endswith("\n") else 0.05)
        yield "127.0.0.1:" + port.read_text().strip()
    finally:
        proc.kill()  # at once: a delayed answer may still be pending
        proc.wait(timeout=20)


@pytest.fixture(scope="session")
def good(keys):
    yield from sandbox(keys, "good", "--responses", keys)


@pytest.fixture(scope="session")
def busy(keys):  # pre-checkout data: 503 with "Retry-After: 1" once; the payment answers after 3 s
    yield from sandbox(keys, "busy", "--fail", "precheckoutdata=unavailable:1", "--fail", "expresscheckout=delay:3000")


# The shared HTTPS test server (tests/support) on 127.0.0.1 with the certificates above; yields its ports
# ("good": answers by the path's last segment, "headers" with the request's header fields; "closed").
@pytest.fixture(scope="session")
def shared_server(keys):
    script = os.path.join(os.path.dirname(__file__), os.pardir, "support", "test_server.py")
    server = subprocess.Popen([sys.executable, script, keys], stdout=subprocess.PIPE, text=True)
    try:
        yield json.loads(server.stdout.readline())
    finally:
        server.kill()
        server.wait(timeout=20)


# Sets the library's log handler for one test; the default handler is back after it.
@pytest.fixture
def log_to():
    yield orvalis.set_log_handler
    orvalis.reset_log_handler()


# Makes clients (orvalis.Client or orvalis.AsyncClient) for a host, with the test key unless options
# say otherwise; closes them.
@pytest.fixture
def connect(keys):
    made = []
    yield lambda host, kind=orvalis.Client, **options: made.append(kind(
        host, "py-consumer", **{"key_file": keys / "m.p12", "key_password": PASSWORD, **options})) or made[-1]
    for client in made:
        client.cancel_all()
        client.close()
