# The Python package over the C interface, against orvalis-sandbox on 127.0.0.1.
import asyncio, atexit, copy, multiprocessing, os, pickle, re, signal, sqlite3, subprocess, sys, threading, time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from decimal import Decimal
import pytest, orvalis
from orvalis import AttributesMode, NodeNameMode, OperationError, Reached
from conftest import BIG, PASSWORD, PIN, SHORT_MEMBERS, SUM, WIDE_VALUES, seen


# With a PKCS#12 file, and with the same key in a token (which signs inside it), PIN from a file or a callback.
# inf, and 1e300 (far beyond int64 milliseconds too), are no time limit. The payment data is a wide answer
# holding numbers past the double range, which has it read a second time.
@pytest.mark.parametrize("key", ["file", "token-pin-file", "token-pin-callback"])
def test_six_operations_return_answers_with_exact_numbers(good, keys, connect, request, key):
    pin = {"key_pin_file": keys / "pin", "key_password": None} if key == "token-pin-file" else {"key_pin": lambda: PIN}
    uri = request.getfixturevalue("token")("py3" if "callback" in key else "py")
    token = {"key_file": None, "key_token": uri, **pin} if key != "file" else {}
    c, before = connect(good, idle_timeout=1e300, overall_timeout=float("inf"), **token), seen(keys, "good")
    init = c.initialize_pairing(checkout_id="c-1", user_id="u 1", timeout=float("inf"))
    paired = c.get_pairing_id(pairing_transaction_id=init["pairingTransactionId"], user_id="u 1", timeout=1e300)
    assert (init["userId"], paired["pairingTransactionId"], paired["userId"]) == ("u 1", "sbx-ptx-0001", "u 1")
    assert c.authorize_pairing(checkout_id="c-1", pairing_transaction_id="p")["PairingId"] == "sbx-pairing-0001"
    pre = c.get_precheckout_data(pairing_id=paired["pairingId"])
    paid = c.express_checkout(checkout_id="c-1", pairing_id=pre["pairingId"], pre_checkout_transaction_id="pt",
                              amount=Decimal("49.90"), currency="EUR", card_id=pre["cards"][0]["cardId"],
                              shipping_address_id="s", digital_goods=True)
    assert paid["received"] == {"checkoutId": "c-1", "pairingId": "sbx-pairing-0001", "preCheckoutTransactionId": "pt",
                                "amount": Decimal("49.9"), "currency": "EUR", "cardId": "sbx-card-1",
                                "shippingAddressId": "s", "digitalGoods": True}
    data = c.get_payment_data(transaction_id=paid["transactionId"], checkout_id="c-1", cart_id="k")
    assert data == {"id": int(BIG), "amount": Decimal(SUM), "n": -7, **WIDE_VALUES, **SHORT_MEMBERS,
                    "far": Decimal("1e400"), "near": Decimal("1e309")}
    assert all(type(data[k]) is int for k in WIDE_VALUES)
    assert [line.split()[-1] for line in seen(keys, "good")[len(before):]] == ["accepted"] * 6


# A lone surrogate is refused here, in a value or a key; what the library refuses (a name or a comment XML
# cannot carry) comes back as ValueError too, naming the reason.
@pytest.mark.parametrize("tree, reason", [
    ({"r": "\udc00"}, "surrogate"), ({"\ud800": "x"}, "surrogate"), ({"r": {"__a b": "1"}}, '"__a b" is not an XML'),
    ({"r": {"1b": "1"}}, '"1b" is not an XML name'), ({"r": {"__comments": "a--b"}}, 'a comment holding "--"')],
    ids=["lone-surrogate", "lone-surrogate-key", "attribute", "name-start", "comment-dashes"])
def test_dict_to_xml_refuses_what_xml_cannot_carry(tree, reason):
    with pytest.raises(ValueError, match=re.escape(reason)):
        orvalis.dict_to_xml(tree)


# A failure keeps the whole answer: outside 2xx the status is the code, whatever the body; a 200 answer
# holding the server's error entry, or one no face can hand over (a lone surrogate), is code 101. A payment
# never sent (refused, reset in the TLS handshake) goes again, unless the call asks for one attempt or the
# server is not trusted; and no attempt starts past the overall time-out (the observer holds the start longer).
HTTP, NETWORK, URL = orvalis.HTTP_ERROR_DOMAIN, orvalis.NETWORK_ERROR_DOMAIN, orvalis.URL_ERROR_DOMAIN
INJECTED = {"description": "Injected failure", "reasonCode": "SYSTEM_ERROR"}
HELD = {"overall_timeout": 0.1, "observer": lambda event: time.sleep(0.15) if event.kind == "started" else None}


@pytest.mark.parametrize("reply, client, call, failure", [
    (orvalis.Reply(500, b'{"message":"internal error"}'), {}, {}, (HTTP, 500, 500, None, Reached.YES, 1)),
    (orvalis.Reply(404, b'{"errors":[{"reasonCode":"MISSING"}]}'), {}, {},
     (HTTP, 404, 404, {"reasonCode": "MISSING"}, Reached.YES, 1)),
    (orvalis.Reply(200, b'{"errors":[{"description":"Injected failure","reasonCode":"SYSTEM_ERROR"}]}'), {}, {},
     (NETWORK, 101, 200, INJECTED, Reached.YES, 1)),
    (orvalis.Reply(200, b'{"a":"\\udc00"}'), {}, {}, (NETWORK, 101, 200, None, Reached.YES, 1)),
    (orvalis.Reply(error_code=-1200), {}, {}, (URL, -1200, 0, None, Reached.NO, 3)),
    (orvalis.Reply(error_code=-1200), {}, {"attempts": 1}, (URL, -1200, 0, None, Reached.NO, 1)),
    (orvalis.Reply(error_code=-1202), {}, {}, (URL, -1202, 0, None, Reached.NO, 1)),
    (orvalis.Reply(), HELD, {}, (URL, -1001, 0, None, Reached.NO, 0)),
], ids=["http-500", "http-404-with-entry", "server-error", "lone-surrogate", "reset-in-handshake", "one-attempt",
        "untrusted", "past-the-overall-time-out"])
def test_a_failure_carries_the_whole_answer_and_goes_again_only_if_never_sent(connect, reply, client, call, failure):
    c = connect("api.example.com", answerer=lambda request: reply, backoff=0.001, **client)
    e = pytest.raises(OperationError, c.express_checkout, checkout_id="c", amount=1, currency="EUR", **call).value
    assert (e.domain, e.code, e.status, e.server_error, e.reached, len(e.attempts), e.cancelled) == (*failure, False)
    assert not e.status or (e.body, ("Content-Type", "application/json") in e.headers) == (reply.body, True)
    assert e.server_error != INJECTED or str(e) == "Injected failure (%s 101, HTTP 200)" % NETWORK
    for twin in (pickle.loads(pickle.dumps(e)), copy.copy(e), copy.deepcopy(e)):
        assert (type(twin), twin.args, vars(twin), twin.correlation_id) == (type(e), e.args, vars(e), e.correlation_id)


# A host that pays before and after it configures logging, fails to load a key, and leaves a client open at exit.
_HOST = """import logging, sys, orvalis
crossed, level = [], orvalis._native.log_level
orvalis._native.log_level = lambda line: crossed.append(line) or level(line)
c = orvalis.Client("h", "ck", key_file=sys.argv[1], key_password=sys.argv[2],
                   answerer=lambda request: orvalis.Reply(body=b"{}"))
c.express_checkout(checkout_id="c", amount=1, currency="EUR")
print("crossed", len(crossed))
logging.basicConfig(stream=sys.stdout, level=1, format="%(levelname)s %(message)s")
c.express_checkout(checkout_id="c", amount=1, currency="EUR")
orvalis.Client("h", "ck", key_file="absent.p12", require_signature=False,
               answerer=lambda request: orvalis.Reply(body=b"{}")).get_precheckout_data(pairing_id="p")
"""


# Lines go to the "orvalis" logger at levels that fit them, redacted; nothing is printed before the host
# configures logging (no line even reaches Python), and nothing at exit.
def test_the_package_logs_through_logging_and_exits_quietly(keys):
    run = subprocess.run([sys.executable, "-c", _HOST, keys / "m.p12", PASSWORD], capture_output=True, text=True)
    assert (run.returncode, run.stderr, run.stdout.startswith("crossed 0\n"), PASSWORD in run.stdout) == (
        0, "", True, False)
    assert re.search(r'^DEBUG OAuth Authorization Header: .*oauth_signature="\*\*\*"', run.stdout, re.M)
    assert re.search(r"^WARNING Merchant key: no key from file", run.stdout, re.M)


def test_reads_are_retried_after_the_pause_asked_for_payments_that_may_have_arrived_are_not(busy, connect):
    events = []
    c = connect(busy, observer=events.append, backoff=0.05, idle_timeout=0.5)
    c.get_precheckout_data(pairing_id="sbx-pairing-0001")
    # (a kept-alive connection the sandbox closes after 1 s idle may cost one more attempt)
    assert [(e.kind, e.retry_in is not None) for e in events[:2] + events[-2:]] == [
        ("started", False), ("attempt", True), ("attempt", False), ("completed", False)]
    first, second = events[-1].attempts[0], events[-1].attempts[-1]
    assert (first.status, second.status) == (503, 200) and second.started_after - first.started_after >= 0.95
    assert 0 <= second.name_lookup <= second.connect <= second.tls <= second.first_byte <= second.total > 0
    with ThreadPoolExecutor() as pool:  # answered after 3 s: the idle time-out ends it, and a wait without limit
        call = pool.submit(c.express_checkout, checkout_id="c", pairing_id="p", amount=1, currency="EUR")
        while not c.in_flight and not call.done():
            time.sleep(0.01)
        assert c.wait_idle(float("inf")) and c.in_flight == 0
        e = call.exception(timeout=10)
    assert (e.code, e.status, e.reached, len(e.attempts)) == (-1001, 0, Reached.MAYBE, 1)


# (AsyncClient's answers and failures, and its calls running together: the locked journal's test below.)
def test_cancelling_the_awaiting_task_cancels_the_operation(busy, connect):
    async def main():
        slow = connect(busy, orvalis.AsyncClient)  # busy pays after 3 s
        task = asyncio.create_task(slow.express_checkout(checkout_id="c", amount=1, currency="EUR"))
        while not slow.in_flight and not task.done():  # the call was made: cancelling it cancels the operation
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert slow.wait_idle(2.0)  # the operation itself ended, long before the server's answer
    asyncio.run(main())


NO_KEY, PAY = {"key_file": None}, {"amount": 1.0, "currency": "EUR"}


@pytest.mark.parametrize("options, operation, fields, code, said", [
    ({**NO_KEY, "key_token": "py2", "key_password": "0000"}, "get_pairing_id", {"user_id": "u"}, -1231,
     ["wrong PIN", 'token "pkcs11:']),
    (NO_KEY, "get_pairing_id", {"user_id": "u"}, -1231, ["no key named"]),
    ({**NO_KEY, "require_signature": False}, "get_pairing_id", {"pairing_transaction_id": "p", "user_id": "u"}, 401,
     ["rejected: no signature"]),
    ({}, "express_checkout", {**PAY, "currency": b"E\xffR\xc0"}, -1232, []),  # bytes reach the library as they are
    ({}, "express_checkout", {**PAY, "currency": "E\udc80R"}, None, []),  # no UTF-8 for it: ValueError at once
    ({}, "express_checkout", {"amount": Decimal("12345678901234567.89")}, None, ["amount Decimal('1234"]),
    ({}, "express_checkout", {"amount": "abc"}, None, ["amount 'abc'"]),
    ({"user_agent": "till\r\nX-Evil: 1"}, "get_pairing_id", {}, None, ["user agent holds a line break"]),
    ({"idle_timeout": 0}, "get_pairing_id", {}, None, ["idle_timeout must be above zero"]),
    ({}, "get_precheckout_data", {}, -1233, []),
    ({}, "get_payment_data", {"transaction_id": ""}, -1233, []),
], ids=["token-wrong-pin", "no-key", "unsigned-when-not-required", "text-not-utf8", "lone-surrogate",
        "amount-beyond-double", "amount-not-a-number", "user-agent-crlf", "idle-zero", "no-pairing-id",
        "empty-transaction-id"])
def test_refused_requests_are_not_sent(good, keys, connect, request, options, operation, fields, code, said):
    if "key_token" in options:  # a second token of this run, which no right PIN ever opened
        options = {**options, "key_token": request.getfixturevalue("token")(options["key_token"])}
    before, sent = seen(keys, "good"), code == 401
    e = pytest.raises(ValueError if code is None else OperationError,
                      lambda: getattr(connect(good, **options), operation)(**fields)).value
    if code is not None:
        assert (e.code, e.domain, e.reached) == (code, HTTP if sent else URL, Reached.YES if sent else Reached.NO)
    assert all(part in str(e) for part in said), e
    assert seen(keys, "good")[len(before):] == (["GET /quorvex/pairingid rejected: no signature"] if sent else [])


# On the delivery thread, the answer in and not yet handled: a blocking call raises instead of waiting for itself,
# and a cancel from then on never ends in success.
def test_the_delivery_thread_never_waits_for_itself_and_a_late_cancel_never_succeeds(good, connect, log_to):
    c, arrived, go, raised = connect(good), threading.Event(), threading.Event(), []
    c.get_pairing_id(pairing_transaction_id="p", user_id="u")  # the delivery thread is known from here on

    def hold(line):  # on the delivery thread, before the call's completion
        if line.startswith("Response: ") and not arrived.is_set():
            raised.append(pytest.raises(RuntimeError, c.get_pairing_id, pairing_transaction_id="p", user_id="u").value)
            arrived.set()
            go.wait(10)
    log_to(hold)
    try:
        with ThreadPoolExecutor() as pool:
            call = pool.submit(c.get_pairing_id, pairing_transaction_id="p", user_id="u")
            assert arrived.wait(10) and c.wait_idle(0.05) is False  # held in flight until go
            c.cancel_all()
            go.set()
            e = call.exception(timeout=10)
    finally:
        go.set()
    assert isinstance(e, OperationError) and e.cancelled and (e.status, e.reached) == (200, Reached.YES)
    assert raised and "wait for itself" in str(raised[0])


XML = '<Order id="7"><!--gift--><Item>a</Item><Item>b</Item><Empty/><Note> hi </Note></Order>'


@pytest.mark.parametrize("options, expected", [
    ({"attributes_mode": AttributesMode.GROUPED, "node_name_mode": NodeNameMode.NEVER, "always_use_arrays": True,
      "strip_empty_nodes": False}, {"__attributes": {"id": "7"}, "Item": ["a", "b"], "Empty": [{}], "Note": ["hi"]}),
    ({"trim_white_space": False, "preserve_comments": True, "attributes_mode": AttributesMode.DISCARD},
     {"__name": "Order", "__comments": ["gift"], "Item": ["a", "b"], "Note": " hi "}),
    ({"collapse_text_nodes": False, "wrap_root_node": True, "attributes_mode": AttributesMode.UNPREFIXED,
      "node_name_mode": NodeNameMode.ALWAYS}, {"Order": {"__name": "Order", "id": "7", "Item": [{"__name": "Item",
      "__text": "a"}, {"__name": "Item", "__text": "b"}], "Note": {"__name": "Note", "__text": "hi"}}}),
], ids=["grouped-unnamed-arrays-empty-kept", "untrimmed-comments", "uncollapsed-wrapped-named"])
def test_xml_to_dict_options(options, expected):
    assert orvalis.xml_to_dict(XML, **options) == expected


def test_xml_round_trip_keeps_every_digit():
    tree = {"__name": "Pay", "_id": "7", "amount": Decimal(SUM), "big": int(BIG), "tags": ["a", "<b&>"]}
    assert orvalis.xml_to_dict(orvalis.dict_to_xml(tree)) == {**tree, "amount": SUM, "big": BIG}  # text in XML
    pytest.raises(ValueError, orvalis.xml_to_dict, "no element here")


# Its lines are redacted unless it asks for full ones; the key cache keeps a key for its lifetime, or until cleared.
def test_an_answered_client_signs_real_requests_that_the_check_tells_from_tampered_ones(keys, connect, log_to):
    seen, lines = [], []

    def answer(request):
        seen.append(request)
        return orvalis.Reply(body=b'{"ok": 1}') if request.method == "POST" else orvalis.Reply(error_code=-1005, sent=True)

    c = connect("api.example.com", answerer=answer, backoff=0.001)
    log_to(lines.append)
    orvalis.set_key_cache_lifetime(0.2)  # in seconds: a key unused for 0.2 s is dropped at the next signature
    try:
        ok = c.express_checkout(checkout_id="c", amount=1.5, currency="EUR")
        caught = pytest.raises(OperationError, c.get_payment_data, transaction_id="t", checkout_id="c")
        connect("api.example.com", answerer=answer, full_log_lines=True).express_checkout(amount=2.5)
        kept = orvalis.key_cache_count()
        by_bytes = connect("api.example.com", answerer=lambda r: orvalis.Reply(body=b"{}"), key_file=None,
                           key_data=(keys / "m.p12").read_bytes())
        for _ in range(500):  # the bytes' key, and the file's until its lifetime has passed
            by_bytes.get_precheckout_data(pairing_id="p")
            if orvalis.key_cache_count() == 1:
                break
            time.sleep(0.02)
        counts = (kept, orvalis.key_cache_count())
        orvalis.clear_key_cache()
        assert counts + (orvalis.key_cache_count(),) == (1, 1, 0)
    finally:
        orvalis.set_key_cache_lifetime(0)
    assert ok == {"ok": 1} and (ok.status, ok.headers) == (200, [("Content-Type", "application/json")])
    assert ok.correlation_id == ok.attempts[-1].correlation_id != "" and len(ok.attempts) == 1
    # The retried failure names the attempt the server answered last: its nonce, not a spent one.
    nonces = [re.search(r'oauth_nonce="(\d+)"', dict(r.headers)["Authorization"]).group(1) for r in seen[1:4]]
    assert (caught.value.code, caught.value.reached, len(caught.value.attempts)) == (-1005, Reached.MAYBE, 3)
    assert len(set(nonces)) == 3 and caught.value.correlation_id == nonces[-1]
    pem = (keys / "m.pem").read_text()
    assert [orvalis.check_signature(r, pem, "py-consumer") for r in seen] == [None] * 5
    paid, text = seen[0], "\n".join(lines)  # the signature's redaction: the test of logging above
    assert (paid.body.decode() in text, seen[4].body.decode() in text) == (False, True)
    assert orvalis.check_signature(paid._replace(body=paid.body.replace(b"1.5", b"9.5")), pem) == "body hash mismatch"


# A client's own user agent, trust anchors and connection limits hold for it alone; its proxy is named when it fails.
def test_transport_settings_belong_to_their_client(keys, shared_server, connect):
    server, closed = ("127.0.0.1:%d" % shared_server[port] for port in ("good", "closed"))
    own = connect(server, user_agent="py-till/3", trusted_certificates=[keys / "good.pem"])
    assert own.get_precheckout_data(pairing_id="headers")["user-agent"] == "py-till/3"
    default = connect(server, trusted_certificates=[keys / "good.pem"])
    agent = default.get_precheckout_data(pairing_id="headers")["user-agent"]
    assert agent.startswith("Orvalis/%s libcurl/" % orvalis.library_version())
    assert pytest.raises(OperationError, connect(server).get_precheckout_data, pairing_id="headers").value.code == -1202
    proxy = "http://" + closed  # nothing listens: the proxy refuses connections
    with pytest.raises(OperationError) as failed:
        connect(server, proxy=proxy, attempts=1).get_precheckout_data(pairing_id="headers")
    assert "the proxy " + proxy in failed.value.message
    # Connection limits bind their own client only, counted by the server per user agent ("/holdN": held until N)
    wide, narrow = (connect(server, user_agent=agent, trusted_certificates=[keys / "good.pem"], connection_limits=limits,
                            attempts=1) for agent, limits in (("py-wide", (4, 8, 1)), ("py-narrow", (2, 3, 1))))
    with ThreadPoolExecutor(12) as pool:  # each held request is dropped once released
        list(pool.map(lambda c, p: pytest.raises(OperationError, c.get_precheckout_data, pairing_id=p),
                      [wide] * 8 + [narrow] * 4, ["hold4"] * 8 + ["hold2"] * 4))
    # A read that meets the server's GOAWAY as the last stream of its reused HTTP/2 connection goes again, unasked
    goaway = connect("127.0.0.1:%d" % shared_server["goaway"], trusted_certificates=[keys / "good.pem"], attempts=1)
    assert [goaway.get_precheckout_data(pairing_id="p") for _ in range(2)] == [{}, {}]
    stats = own.get_precheckout_data(pairing_id="stats")
    assert (stats["held py-wide"], stats["held py-narrow"]) == (4, 2)
    for refused in ({"trusted_certificates": [keys / "missing.pem"]}, {"connection_limits": (3, 2, 9)},
                    {"connection_limits": (2**80, 2, 1)}):
        pytest.raises(ValueError, connect, server, **refused)


# The journal from Python, in a file and in PostgreSQL: a payment that may have arrived is listed, with its instance,
# until settled (once), reads too when asked for; it copies into another journal once; a file that is not a journal
# keeps the client from being made.
@pytest.mark.parametrize("store,everything", [("sqlite", False), ("sqlite", True), ("postgresql", False)])
def test_the_journal_lists_what_may_have_been_paid_until_settled(tmp_path, connect, store, everything):
    where = str(tmp_path / "j.db")
    if store == "postgresql":
        if not os.environ.get("ORVALIS_TEST_POSTGRESQL"):
            pytest.skip("no PostgreSQL cluster (ctest starts one)")
        where = open(os.environ["ORVALIS_TEST_POSTGRESQL"]).read().strip()
        schema = "py_%d_%s" % (os.getpid(), tmp_path.name.replace("-", "_"))
        subprocess.run(["psql", "-XAtq", "-d", where, "-c", "CREATE SCHEMA " + schema], check=True, timeout=60)
        where += " options='-csearch_path=%s'" % schema
    lost = lambda r: orvalis.Reply(error_code=-1005, sent=True) if r.method == "POST" else orvalis.Reply(body=b"{}")
    c = connect("api.example.com", answerer=lost, journal_path=where, journal_all_operations=everything)
    c.get_precheckout_data(pairing_id="p")
    with pytest.raises(OperationError):
        c.express_checkout(checkout_id="chk-9", amount=7.25, currency="EUR", card_id="card-1")
    assert c.wait_idle(10)  # the outcome is written after completion
    with orvalis.Journal(where) as journal, orvalis.Journal(tmp_path / "copy.db") as copy:
        [entry] = journal.unsettled()
        assert (entry["reached"], entry["requestIds"], entry["amount"]) == ("maybe", {"checkoutId": "chk-9"},
                                                                             Decimal("7.25"))
        [found] = journal.find(instance=orvalis.journal_instance_id(), stale_after=3600)
        assert (found["id"], found["instanceStale"]) == (entry["id"], False)
        assert journal.find(instance="another") == [] and journal.find(older_than=3600) == []
        assert journal.copy_to(copy) == (1 + everything, 0) and journal.copy_to(copy) == (0, 1 + everything)
        assert journal.settle_once(entry["id"], "refunded") is True and journal.settle_once(entry["id"], "x") is False
        assert journal.settle_once(99, "none") is None and not journal.settle(99, "none")
        assert journal.unsettled() == [] and journal.entry(99) is None
        assert (journal.entry(entry["id"])["settleNote"], entry["unsettled"], journal.entry(entry["id"])["unsettled"],
                journal.entry(1)["operation"]) == ("refunded", True, False,
                                                   "getPrecheckoutData" if everything else "expressCheckout")
        assert [e["instance"] for e in copy.find()] == [found["instance"]]
    # Another program's database is refused without a byte changed (an empty file too: the C test).
    sqlite3.connect(tmp_path / "other.db").execute("CREATE TABLE t (x)")
    before = (tmp_path / "other.db").read_bytes()
    with pytest.raises(orvalis.JournalError, match="not an Orvalis"):
        connect("api.example.com", journal_path=tmp_path / "other.db")
    assert (tmp_path / "other.db").read_bytes() == before


# Another process holds the journal's write lock: its payments are each refused about busyTimeout (5 s) after
# their own start, nothing sent; the event loop, and a client without a journal, go on meanwhile.
def test_a_locked_journal_delays_only_its_own_payments(tmp_path, connect):
    ok = lambda request: orvalis.Reply(body=b'{"ok": 1}')
    paying = connect("api.example.com", orvalis.AsyncClient, answerer=ok, journal_path=tmp_path / "j.db")
    reading = connect("api.example.com", orvalis.AsyncClient, answerer=ok)
    hold = "import sqlite3, sys, time; c = sqlite3.connect(sys.argv[1], isolation_level=None); " \
           "c.execute('BEGIN EXCLUSIVE'); print('locked', flush=True); time.sleep(7)"
    holder = subprocess.Popen([sys.executable, "-c", hold, tmp_path / "j.db"], stdout=subprocess.PIPE, text=True)

    async def timed(call):  # the answer, or the code of its refusal; and how long it took
        start = time.monotonic()
        try:
            outcome = await call
        except OperationError as e:
            outcome = e.code
        return outcome, time.monotonic() - start

    async def main():  # a read waits for the loop: one held by a payment shows as a slow read
        payments = [asyncio.create_task(timed(paying.express_checkout(checkout_id="chk", amount=1.5, currency="EUR")))
                    for _ in range(3)]
        reads = [await timed(reading.get_pairing_id(pairing_transaction_id="p-1")) for _ in range(25)]
        return await asyncio.gather(*payments), reads

    try:
        assert holder.stdout.readline() == "locked\n"
        refusals, reads = asyncio.run(main())
    finally:
        holder.kill()
    assert all(code == -1234 and 5.0 <= after < 6.5 for code, after in refusals), refusals
    assert all(answer == {"ok": 1} and after < 1.0 for answer, after in reads), reads


def _pay(host, key_file):  # in a pool worker forked from the test's process
    signal.alarm(30)  # a call that never ends breaks the pool instead of hanging it
    with orvalis.Client(host, "py-consumer", key_file=key_file, key_password=PASSWORD, overall_timeout=20) as c:
        return c.express_checkout(checkout_id="w", pairing_id="p", amount=1, currency="EUR")


# A process forks after using the library, a payment of its own in flight: children pay on their own (os.fork, and a
# pool of forked workers), the parent's payment completes in the parent, and a child that only exits does so at once
# (it does not wait for the parent's payment).
def test_forked_children_pay_on_their_own(keys, good, busy, connect):
    paying, slow = connect(good, overall_timeout=20), connect(busy, attempts=1)  # busy pays after 3 s
    paying.get_precheckout_data(pairing_id="sbx-pairing-0001")
    with ThreadPoolExecutor(1) as threads:
        parents = threads.submit(slow.express_checkout, checkout_id="c", amount=1, currency="EUR")
        while slow.in_flight == 0 and not parents.done():  # a refusal ends it too
            time.sleep(0.01)
        forked = time.monotonic()
        if os.fork() == 0:  # only exits, as a normal exit would
            atexit._run_exitfuncs()
            os._exit(0)
        assert os.wait() and time.monotonic() - forked < 2
        if os.fork() == 0:  # pays with the client made before the fork
            signal.alarm(30)  # a call that never ends shows as SIGALRM
            try:
                os._exit(0 if paying.express_checkout(checkout_id="c", amount=1, currency="EUR") else 1)
            finally:
                os._exit(1)
        assert os.wait()[1] == 0
        with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("fork")) as workers:
            assert all(workers.map(_pay, [good] * 4, [keys / "m.p12"] * 4, timeout=60))
        assert parents.result()
