# The kill test: a host paying the sandbox with its journal on is killed with SIGKILL at random moments
# (during sends and during journal writes alike); after each kill the journal must open as it is, and every
# payment the sandbox received must have exactly one entry, which does not say "no" (nothing sent).
#     kill_test.py HOST_PROGRAM SANDBOX JOURNAL_TOOL               one host, an SQLite journal
#     kill_test.py HOST_PROGRAM SANDBOX JOURNAL_TOOL PYTHON_HOST   a fleet, one PostgreSQL database
#     kill_test.py HOST_PROGRAM SANDBOX JOURNAL_TOOL standby       a database with a synchronous standby
# The fleet: four hosts (two C++, two Python) pay through one database of a cluster of the test's own, each
# killed and started again at random moments, while the database server itself is stopped at once (as on a
# power loss) and started again three times. A payment refused then must have reached nothing; afterwards,
# two instances settling the stale entries at once must each list every unsettled entry of the killed
# instances, and settle each one exactly once between them.
import collections, json, os, random, shutil, signal, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import pg_cluster

host_program, sandbox_program, journal_tool = sys.argv[1:4]
mode = sys.argv[4] if len(sys.argv) > 4 else None
python_host = mode if mode != "standby" else None
total, least_kills, least_outages = 1000, 20, 3
work = tempfile.mkdtemp(prefix="orvalis-kill-")
at = lambda name: os.path.join(work, name)
run = lambda *a: subprocess.run(a, cwd=work, check=True, capture_output=True, timeout=60)
run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=merchant",
    "-keyout", "m.key", "-out", "m.pem")
run("openssl", "pkcs12", "-export", "-inkey", "m.key", "-in", "m.pem", "-passout", "pass:kill-test",
    "-out", "merchant.p12")
sandbox = subprocess.Popen([sandbox_program, "--merchant-cert", at("m.pem"), "--write-cert", at("server.pem"),
                            "--port-file", at("port"), "--request-log", at("received.log")],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    for _ in range(600):  # the port file is written once the sandbox listens
        if os.path.exists(at("port")) and open(at("port")).read().endswith("\n"):
            break
        time.sleep(0.05)
    host = "127.0.0.1:" + open(at("port")).read().strip()

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

    def fleet():
        with pg_cluster.Cluster() as pg:
            db, refused_log, endless = pg.conninfo(), at("refused.log"), str(total * 100)
            open(refused_log, "w").close()
            hosts, killed, runs = [None] * 4, set(), 0  # (process, instance) in each slot; instances killed

            def launch(slot):  # slots 0 and 1 run the C++ host, 2 and 3 the Python one
                nonlocal runs
                runs, instance = runs + 1, f"host{slot}-run{runs}"
                command = [host_program] if slot < 2 else [sys.executable, python_host]
                hosts[slot] = (subprocess.Popen(command + [db, host, at("server.pem"), work, endless, instance,
                                                           refused_log],
                                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), instance)

            def kill(slot):
                process, instance = hosts[slot]
                if process.poll() is None:
                    process.send_signal(signal.SIGKILL)
                    killed.add(instance)
                process.wait()

            # The server goes down at a quarter, a half and three quarters of the entries, for as long as it
            # takes to start again (recovery included), the hosts paying all along.
            kills, outages, entries = 0, 0, 0
            started = time.monotonic()
            while (entries < total or kills < least_kills or outages < least_outages) and \
                    time.monotonic() - started < 200:
                for slot in range(4):
                    if hosts[slot] is None or hosts[slot][0].poll() is not None:
                        launch(slot)
                time.sleep(random.uniform(0.1, 0.4))  # each host lives about two seconds
                slot = random.randrange(4)
                if random.random() < 0.5:
                    kills += hosts[slot][0].poll() is None
                    kill(slot)
                if outages < least_outages and entries >= total * (outages + 1) // (least_outages + 1):
                    pg.crash()
                    time.sleep(random.uniform(0.05, 0.3))
                    pg.start()
                    outages += 1
                entries = compare(db)[0]
            for slot in range(4):
                kill(slot)
            sandbox.send_signal(signal.SIGTERM)
            sandbox.wait(timeout=60)
            entries, received, outcomes, by_nonce = compare(db)
            received_ids = {e["requestIds"].get("checkoutId") for nonce in received for e in by_nonce[nonce]}
            refused = set(open(refused_log).read().split())
            print(f"{kills} kills, {outages} outages; {entries} journal entries {outcomes}; {len(received)} payments "
                  f"received by the sandbox; {len(refused)} refused")
            assert entries >= total and kills >= least_kills and outages >= least_outages, "too few: raise the time"
            assert refused, "no payment was refused while the database was down"
            assert not refused & received_ids, "refused, yet received: " + str(refused & received_ids)

            # Once the killed instances are stale (they said they were alive every 200 ms), two settlers at once.
            unsettled = {e["id"] for same in by_nonce.values() for e in same if e["instance"] in killed
                         and not e["settledAt"] and e["reached"] in (None, "maybe")}
            time.sleep(1.5)
            settlers = [subprocess.Popen([host_program, "settle", db, "1000"], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, text=True) for _ in range(2)]
            listed = [set(), set()]
            for s, ids in zip(settlers, listed):  # both list before either settles
                for line in iter(s.stdout.readline, "listed end\n"):
                    assert line, "a settler ended before listing"
                    ids.add(int(line.split()[1]))
            for s in settlers:
                s.stdin.write("go\n"), s.stdin.flush()
            said = [s.communicate(timeout=120)[0].split("\n") for s in settlers]
            settled = [{int(line.split()[1]) for line in lines if line.startswith("settled ")} for lines in said]
            assert unsettled and all(unsettled <= ids for ids in listed), "an unsettled entry not listed as stale"
            assert not settled[0] & settled[1], "settled by both: " + str(settled[0] & settled[1])
            assert settled[0] | settled[1] == listed[0] == listed[1], "listed as stale, settled by neither"
            print(f"{len(unsettled)} unsettled entries of killed instances; settled {len(settled[0])} + "
                  f"{len(settled[1])}")

    def standby():
        # A host pays through a primary whose synchronous standby must have each entry before the payment is
        # sent; the primary is lost at once mid-run, and the promoted standby must hold the entry of every
        # payment the sandbox received, and take new ones.
        with pg_cluster.Cluster() as primary:
            second = primary.standby()
            try:
                payer = subprocess.Popen([host_program, primary.conninfo(), host, at("server.pem"), work, "100000"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 120
                while compare(primary.conninfo())[0] < 200:
                    assert time.monotonic() < deadline and payer.poll() is None, "the host does not pay"
                    time.sleep(0.1)
                primary.crash()
                payer.send_signal(signal.SIGKILL)
                payer.wait()
                second.promote()
                # Hosts naming both servers find the promoted one on their own, and pay on.
                both = (f"host={primary.folder},{second.folder} port={primary.port},{second.port} dbname=postgres "
                        f"user={pg_cluster.USER} target_session_attrs=read-write")
                after = compare(both)[0] + 20
                assert subprocess.run([host_program, both, host, at("server.pem"), work, str(after)],
                                      timeout=120).returncode == 0, "no payment through the promoted standby"
                sandbox.send_signal(signal.SIGTERM)
                sandbox.wait(timeout=60)
                entries, received, outcomes, _ = compare(both)
                print(f"after the primary's loss, the standby holds {entries} entries {outcomes}; "
                      f"{len(received)} payments received by the sandbox")
                assert entries >= after
                assert len(received) >= 200
            finally:
                second.close()

    # Each run may add a few dozen entries, so that the kills land all along the thousand; the wait before a
    # kill follows this machine's speed: shorter after a run that finished, longer after one that added nothing.
    kills, entries, window, per_run = 0, 0, 0.5, max(1, total // (least_kills * 2))
    started = time.monotonic()
    while not mode and (entries < total or kills < least_kills) and time.monotonic() - started < 240:
        payer = subprocess.Popen([host_program, at("j.db"), host, at("server.pem"), work, str(entries + per_run)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(random.uniform(0.02, window))
        killed = payer.poll() is None
        if killed:
            payer.send_signal(signal.SIGKILL)
            kills += 1
        payer.wait()
        before = entries
        entries, received, outcomes, _ = compare()
        window *= 0.6 if not killed else 1.25 if entries == before else 1.0
    if mode == "standby":
        standby()
    elif python_host:
        fleet()
    else:
        sandbox.send_signal(signal.SIGTERM)
        sandbox.wait(timeout=60)
        entries, received, outcomes, _ = compare()  # every answer the sandbox began is now in its log
        print(f"{kills} kills; {entries} journal entries {outcomes}; {len(received)} payments received by the sandbox")
        assert entries >= total and kills >= least_kills, "too few payments or kills: raise the time or lower the pace"
finally:
    if sandbox.poll() is None:
        sandbox.kill()
    shutil.rmtree(work, ignore_errors=True)
