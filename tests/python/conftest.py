# Sandbox merchant servers on 127.0.0.1 for the Python package's tests. The build
# passes ORVALIS_SANDBOX (the orvalis-sandbox program) and ORVALIS_RESOURCES.
import os, shutil, socket, subprocess, time
import pytest
import orvalis

PASSWORD = "py-test-password"
BIG, SUM = "123456789012345678901234567890123456789", "1234567890.123456789012"  # more digits than a double holds


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    d = tmp_path_factory.mktemp("keys")
    for name, extra in (("m", []), ("server", ["-addext", "subjectAltName=IP:127.0.0.1"])):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=" + name, *extra,
                "-keyout", name + ".key", "-out", name + ".pem", cwd=d)
    orvalis.add_trusted_certificates(d / "server.pem")
    openssl("pkcs12", "-export", "-inkey", "m.key", "-in", "m.pem", "-passout", "pass:" + PASSWORD,
            "-out", "merchant.p12", cwd=d)
    shutil.copy(os.path.join(os.environ["ORVALIS_RESOURCES"], "AuthorizePairing.xml"), d)
    orvalis.set_resource_path(d)
    orvalis.set_log_handler(None)
    (d / "answers").mkdir()
    (d / "answers" / "paymentdata.json").write_text('{"id": %s, "amount": %s, "n": -7}' % (BIG, SUM))
    return d


def sandbox(keys, name, *args):
    """Starts orvalis-sandbox; yields its host ("127.0.0.1:PORT"), then stops it."""
    port_file = keys / (name + ".port")
    proc = subprocess.Popen([os.environ["ORVALIS_SANDBOX"], "--merchant-cert", keys / "m.pem", "--keep-alive", "1",
                             "--cert", keys / "server.pem", "--key", keys / "server.key", "--port-file", port_file, *args],
                            stdout=subprocess.DEVNULL)
    try:
        for _ in range(200):  # 10 s at most
            if port_file.exists() and port_file.read_text().endswith("\n"):
                break
            time.sleep(0.05)
        yield "127.0.0.1:" + port_file.read_text().strip()
    finally:
        proc.terminate()
        proc.wait(timeout=20)


@pytest.fixture(scope="session")
def good(keys):
    yield from sandbox(keys, "good", "--responses", keys / "answers")


@pytest.fixture(scope="session")
def faulty(keys):
    yield from sandbox(keys, "faulty", "--fail", "pairingid=errors", "--fail", "initializepairing=delay:5000")


@pytest.fixture
def connect(keys):
    """Makes clients (orvalis.Client or orvalis.AsyncClient) for a host with the test key and trust."""
    made = []

    def make(host, kind=orvalis.Client, **settings):
        made.append(kind(host, "py-consumer", key_file=keys / "merchant.p12", key_password=PASSWORD, **settings))
        return made[-1]
    yield make
    for client in made:
        client.cancel_all()
        client.close()


@pytest.fixture
def refused_host():
    """A host:port on 127.0.0.1 where nothing listens."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return "127.0.0.1:%d" % s.getsockname()[1]
