# The kill test: a host paying the sandbox with its journal on is killed with SIGKILL at random moments
# (during sends and during journal writes alike); after each kill the journal must open as it is, and every
# payment the sandbox received must have exactly one entry, which does not say "no" (nothing sent).
#     kill_test.py HOST_PROGRAM SANDBOX JOURNAL_TOOL               one host, an SQLite journal
#     kill_test.py HOST_PROGRAM SANDBOX JOURNAL_TOOL PYTHON_HOST   a fleet, one PostgreSQL database
#     kill_test.py HOST_PROGRAM SANDBOX JOURNAL_TOOL standby       a database with a synchronous standby
# The fleet: four hosts (two C++, two Python) pay through one database of a cluster of the test's own, each
# killed and started again at random moments, while the database server itself is stopped at once (as on a
# power loss) and started again three times. A payment refused then must have reached nothing; afterwards,
# two operators listing the stale entries and settling them at once with orvalis-journal must each list every
# unsettled entry of the killed instances, and settle each one exactly once between them.
import collections, contextlib, json, os, random, shutil, signal, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import pg_cluster

host_program, sandbox_program, journal_tool, mode = (sys.argv[1:] + [None])[:4]
total, least_kills, least_outages = 1000, 20, 3
work = tempfile.mkdtemp(prefix="orvalis-kill-")
at = lambda name: os.path.join(work, name)
run = lambda *a: subprocess.run(a, cwd=work, check=True, capture_output=True, timeout=60)
quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=merchant",
    "-keyout", "m.key", "-out", "m.pem")
run("openssl", "pkcs12", "-export", "-inkey", "m.key", "-in", "m.pem", "-passout", "pass:kill-test",
    "-out", "merchant.p12")
sandbox = subprocess.Popen([sandbox_program, "--merchant-cert", at("m.pem"), "--write-cert", at("server.pem"),
                            "--port-file", at("port"), "--request-log", at("received.log")], **quiet)


def pay(journal, payments, *more, program=(host_program,)):  # a host paying until the journal holds PAYMENTS
    return subprocess.Popen([*program, journal, host, at("server.pem"), work, str(payments), *more], **quiet)


def kill(process):  # whether it was still running
    alive = process.poll() is None
    process.kill()  # SIGKILL, or nothing once it has been waited for
    process.wait()
    return alive


def compare(journal=at("j.db")):
    # Counts of the journal's entries by outcome; fails on a payment written twice, or on a received nonce
    # with fewer entries that do not say "no" than payments received with it. Nonces are nine random
    # digits, so among a fleet's many thousands two payments may share one: an entry is its nonce and its
    # checkout id. Also the received nonces, and the entries by nonce.
    received = [line.split()[3] for line in open(at("received.log"))
                if line.startswith("POST /quorvex/expresscheckout ")]
    if not mode and not os.path.exists(journal):  # killed before its client was made: nothing paid
        assert not received, "received, yet there is no journal"
        return 0, [], {}, {}
    exported = subprocess.run([journal_tool, journal, "export"], capture_output=True, text=True, timeout=60)
    assert exported.returncode == 0, "the journal does not open: " + exported.stderr
    listed = list(map(json.loads, exported.stdout.splitlines()))
    payments = collections.Counter((e["correlationId"], e["requestIds"].get("checkoutId")) for e in listed)
    assert max(payments.values(), default=1) == 1, "one payment written twice: " + str(payments.most_common(1))
    by_nonce = collections.defaultdict(list)
    for e in listed:
        by_nonce[e["correlationId"]].append(e)
    for nonce, times in collections.Counter(received).items():
        sent = [e for e in by_nonce.get(nonce, []) if e["reached"] != "no"]
        assert len(sent) >= times, f"received {times} times, {len(sent)} entries not saying not sent: {nonce}"
    outcomes = collections.Counter(e["reached"] or "unknown" for e in listed)
    return len(listed), received, dict(outcomes), by_nonce


def finish(journal=at("j.db")):  # once the sandbox stopped, every answer it began is in its log
    sandbox.send_signal(signal.SIGTERM)
    sandbox.wait(timeout=60)
    return compare(journal)


def single():
    # Each run may add a few dozen entries, so that the kills land all along the thousand; the wait before a
    # kill follows this machine's speed: shorter after a run that finished, longer after one that added nothing.
    kills, entries, window, per_run = 0, 0, 0.5, max(1, total // (least_kills * 2))
    started = time.monotonic()
    while (entries < total or kills < least_kills) and time.monotonic() - started < 240:
        payer = pay(at("j.db"), entries + per_run)
        time.sleep(random.uniform(0.02, window))
        killed = kill(payer)
        kills += killed
        before, entries = entries, compare()[0]
        window *= 0.6 if not killed else 1.25 if entries == before else 1.0
    entries, received, outcomes, _ = finish()
    print(f"{kills} kills; {entries} journal entries {outcomes}; {len(received)} payments received by the sandbox")
    assert entries >= total and kills >= least_kills, "too few payments or kills: raise the time or lower the pace"


def fleet():
    with pg_cluster.Cluster() as pg:
        db, refused_log = pg.conninfo(), at("refused.log")
        open(refused_log, "w").close()
        hosts, runs, killed = [None] * 4, 0, set()  # instances killed
        # The server goes down at a quarter, a half and three quarters of the entries, for as long as it
        # takes to start again (recovery included), the hosts paying all along.
        kills, outages, entries = 0, 0, 0
        started = time.monotonic()
        while (entries < total or kills < least_kills or outages < least_outages) and \
                time.monotonic() - started < 200:
            for slot in range(4):
                if hosts[slot] is None or hosts[slot].poll() is not None:
                    runs += 1  # slots 0 and 1 run the C++ host, 2 and 3 the Python one
                    program = (host_program,) if slot < 2 else (sys.executable, mode)
                    hosts[slot] = pay(db, total * 100, f"host{slot}-run{runs}", refused_log, program=program)
                    hosts[slot].instance = f"host{slot}-run{runs}"
            time.sleep(random.uniform(0.1, 0.4))  # each host lives about two seconds
            if random.random() < 0.5 and kill(victim := hosts[random.randrange(4)]):
                kills += 1
                killed.add(victim.instance)
            if outages < least_outages and entries >= total * (outages + 1) // (least_outages + 1):
                pg.crash()
                time.sleep(random.uniform(0.05, 0.3))
                pg.start()
                outages += 1
            entries = compare(db)[0]
        killed |= {process.instance for process in hosts if kill(process)}
        entries, received, outcomes, by_nonce = finish(db)
        received_ids = {e["requestIds"].get("checkoutId") for nonce in received for e in by_nonce[nonce]}
        refused = set(open(refused_log).read().split())
        print(f"{kills} kills, {outages} outages; {entries} journal entries {outcomes}; {len(received)} payments "
              f"received by the sandbox; {len(refused)} refused")
        assert entries >= total and kills >= least_kills and outages >= least_outages, "too few: raise the time"
        assert refused, "no payment was refused while the database was down"
        assert not refused & received_ids, "refused, yet received: " + str(refused & received_ids)

        # Once the killed instances are stale (they said they were alive every 200 ms), two operators list
        # them, then settle each listed entry at once (twenty pairs at a time, within the server's connections).
        unsettled = {e["id"] for same in by_nonce.values() for e in same if e["instance"] in killed
                     and not e["settledAt"] and e["reached"] in (None, "maybe")}
        time.sleep(1.5)
        listed = [{int(line.split()[0]) for line in subprocess.run([journal_tool, db, "list", "--stale", "1s"],
                   capture_output=True, text=True, check=True).stdout.splitlines()} for _ in range(2)]
        assert unsettled and unsettled <= listed[0] == listed[1], "an unsettled entry not listed as stale"
        ids, told = sorted(listed[0]), []
        for at_most in range(0, len(ids), 20):
            pairs = [[subprocess.Popen([journal_tool, db, "settle", str(i), "settled by the kill test"], **quiet)
                      for _ in range(2)] for i in ids[at_most:at_most + 20]]
            told += [sorted(p.wait() for p in pair) for pair in pairs]
        wrong = sum(t != [0, 1] for t in told)
        assert not wrong, f"{wrong} of {len(ids)} entries settled by both or by neither"
        print(f"{len(unsettled)} unsettled entries of killed instances, {len(ids)} stale, each settled once")


def standby():
    # A host pays through a primary whose synchronous standby must have each entry before the payment is
    # sent; the primary is lost at once mid-run, and the promoted standby must hold the entry of every
    # payment the sandbox received, and take new ones.
    # The standby is a cluster of its own, made by the primary: closed, not initialised, by the with.
    with pg_cluster.Cluster() as primary, contextlib.closing(primary.standby()) as second:
        payer = pay(primary.conninfo(), 100000)
        deadline = time.monotonic() + 120
        while compare(primary.conninfo())[0] < 200:
            assert time.monotonic() < deadline and payer.poll() is None, "the host does not pay"
            time.sleep(0.1)
        primary.crash()
        kill(payer)
        second.promote()
        # Hosts naming both servers find the promoted one on their own, and pay on.
        both = (f"host={primary.folder},{second.folder} port={primary.port},{second.port} dbname=postgres "
                f"user={pg_cluster.USER} target_session_attrs=read-write")
        after = compare(both)[0] + 20
        assert subprocess.run([host_program, both, host, at("server.pem"), work, str(after)],
                              timeout=120).returncode == 0, "no payment through the promoted standby"
        entries, received, outcomes, _ = finish(both)
        print(f"after the primary's loss, the standby holds {entries} entries {outcomes}; "
              f"{len(received)} payments received by the sandbox")
        assert entries >= after
        assert len(received) >= 200


try:
    for _ in range(600):  # 30 s at most, until the port file is written (once the sandbox listens)
        time.sleep(0 if os.path.exists(at("port")) and open(at("port")).read().endswith("\n") else 0.05)
    host = "127.0.0.1:" + open(at("port")).read().strip()
    {None: single, "standby": standby}.get(mode, fleet)()
finally:
    if sandbox.poll() is None:
        sandbox.kill()
    shutil.rmtree(work, ignore_errors=True)
