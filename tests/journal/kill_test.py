# The kill test: a host paying the sandbox with its journal on is killed with SIGKILL at random moments
# (during sends and during journal writes alike); after each kill the journal must open as it is, and every
# payment the sandbox received must have an entry that does not say "no" (nothing sent).
#     kill_test.py HOST_PROGRAM SANDBOX JOURNAL_TOOL [TOTAL] [KILLS]
import collections, json, os, random, shutil, signal, subprocess, sys, tempfile, time

host_program, sandbox_program, journal_tool = sys.argv[1:4]
total, least_kills = (int(sys.argv[4]), int(sys.argv[5])) if len(sys.argv) > 5 else (1000, 20)
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

    def compare():
        # Counts of the journal's entries by outcome; fails on a received payment it lacks or says "no" of.
        received = [line.split()[3] for line in open(at("received.log"))
                    if line.startswith("POST /quorvex/expresscheckout ")]
        if not os.path.exists(at("j.db")):  # killed before its client was made: nothing can have been paid
            assert not received, "received, yet there is no journal"
            return 0, 0, {}
        exported = subprocess.run([journal_tool, at("j.db"), "export"], capture_output=True, text=True, timeout=60)
        assert exported.returncode == 0, "the journal does not open: " + exported.stderr
        entries = {e["correlationId"]: e for e in map(json.loads, exported.stdout.splitlines())}
        for nonce in received:
            assert nonce in entries, "received, not in the journal: " + nonce
            assert entries[nonce]["reached"] != "no", "received, yet the journal says not sent: " + nonce
        outcomes = collections.Counter(e["reached"] or "unknown" for e in entries.values())
        return len(entries), len(received), dict(outcomes)

    # Each run may add a few dozen entries, so that the kills land all along the thousand; the wait before a
    # kill follows this machine's speed: shorter after a run that finished, longer after one that added nothing.
    kills, entries, window, per_run = 0, 0, 0.5, max(1, total // (least_kills * 2))
    started = time.monotonic()
    while (entries < total or kills < least_kills) and time.monotonic() - started < 240:
        payer = subprocess.Popen([host_program, at("j.db"), host, at("server.pem"), work, str(entries + per_run)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(random.uniform(0.02, window))
        killed = payer.poll() is None
        if killed:
            payer.send_signal(signal.SIGKILL)
            kills += 1
        payer.wait()
        before = entries
        entries, received, outcomes = compare()
        window *= 0.6 if not killed else 1.25 if entries == before else 1.0
    sandbox.send_signal(signal.SIGTERM)
    sandbox.wait(timeout=60)
    entries, received, outcomes = compare()  # every answer the sandbox began is now in its log
    print(f"{kills} kills; {entries} journal entries {outcomes}; {received} payments received by the sandbox")
    assert entries >= total and kills >= least_kills, "too few payments or kills: raise the time or lower the pace"
finally:
    if sandbox.poll() is None:
        sandbox.kill()
    shutil.rmtree(work, ignore_errors=True)
