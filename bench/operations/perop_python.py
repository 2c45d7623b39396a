"""CPU per operation of the Python package: one get_pairing_id at a time, key cache on, one client
(a reused connection), against orvalis-sandbox in a process of its own, as perop/c measures the C
interface. The CPU is the process's (every thread: the library's too), from time.process_time().

  PYTHONPATH=build/python python3 bench/operations/perop_python.py --sandbox build/tools/orvalis-sandbox/orvalis-sandbox
  (--ops N, default 1000, or ORVALIS_BENCH_OPS; --profile: cProfile of the blocking face instead;
  --detail: also user and system CPU, page faults and context switches per operation, from getrusage)
bench/operations/compare_python.sh sets this beside the C face's figure of the same run."""
import argparse
import asyncio
import os
import queue
import resource
import subprocess
import sys
import tempfile
import threading
import time

import orvalis

PASSWORD, CONSUMER = "bench-password", "bench-consumer"


def keys(d):
    run = lambda *a: subprocess.run(["openssl", *a], cwd=d, check=True, capture_output=True, timeout=120)
    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=merchant",
        "-keyout", "merchant.key", "-out", "merchant.pem")
    run("pkcs12", "-export", "-inkey", "merchant.key", "-in", "merchant.pem", "-passout", "pass:" + PASSWORD,
        "-out", "merchant.p12")


def start_sandbox(program, d):
    port = os.path.join(d, "port")
    proc = subprocess.Popen([program, "--merchant-cert", os.path.join(d, "merchant.pem"), "--port-file", port,
                             "--write-cert", os.path.join(d, "sandbox.pem"), "--consumer-key", CONSUMER],
                            stdout=subprocess.DEVNULL)
    for _ in range(400):  # 20 s at most
        if os.path.exists(port) and open(port).read().endswith("\n"):
            return proc, "127.0.0.1:" + open(port).read().strip()
        time.sleep(0.05)
    proc.kill()
    sys.exit("the sandbox did not start")


def blocking(client, ops, first=0):
    for n in range(first, first + ops):
        client.get_pairing_id(pairing_transaction_id="ptx-%d" % (6 * n + 1), user_id="user-42")


async def awaited(client, ops):
    for n in range(ops):
        await client.get_pairing_id(pairing_transaction_id="ptx-%d" % (6 * n + 1), user_id="user-42")


def usage():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return (r.ru_utime * 1e6, r.ru_stime * 1e6, r.ru_minflt, r.ru_nvcsw, r.ru_nivcsw)


def detail(before, after, ops):
    """user us, system us, page faults, voluntary and involuntary context switches, per operation"""
    return "   user %.1f sys %.1f faults %.2f vcsw %.2f ivcsw %.2f" % tuple((a - b) / ops for a, b in zip(after, before))


def asyncio_handoff_us(ops):
    """CPU per call of asyncio's own share of an awaited call that another thread completes: a future
    made, set from that thread through call_soon_threadsafe (which wakes the loop), awaited. No library
    can spare an async face this; printed as floor/asyncio_handoff."""
    async def run():
        loop, requests = asyncio.get_running_loop(), queue.SimpleQueue()

        def complete():
            for future in iter(requests.get, None):
                loop.call_soon_threadsafe(future.set_result, None)
        thread = threading.Thread(target=complete)
        thread.start()
        begin = time.process_time()
        for _ in range(ops):
            future = loop.create_future()
            requests.put(future)
            await future
        us = (time.process_time() - begin) * 1e6 / ops
        requests.put(None)
        thread.join()
        return us
    return asyncio.run(run())


def per_op_us(work, ops):
    begin = time.process_time()
    work()
    return (time.process_time() - begin) * 1e6 / ops


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sandbox", required=True)
    parser.add_argument("--ops", type=int, default=int(os.environ.get("ORVALIS_BENCH_OPS", "1000")))
    parser.add_argument("--profile", action="store_true")
    parser.add_argument("--detail", action="store_true")
    parser.add_argument("--face", choices=("blocking", "async", "both"), default="both")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as d:
        keys(d)
        proc, host = start_sandbox(args.sandbox, d)
        try:
            orvalis.set_log_handler(None)  # measure the work, not the diagnostic output
            orvalis.add_trusted_certificates(os.path.join(d, "sandbox.pem"))
            orvalis.set_resource_path(d)
            orvalis.set_key_cache_lifetime(3600)
            options = dict(key_name="merchant", key_password=PASSWORD)
            with orvalis.Client(host, CONSUMER, **options) as client:
                blocking(client, 8)  # the key imported, the connection open
                if args.profile:
                    import cProfile, pstats
                    profile = cProfile.Profile()
                    profile.runcall(blocking, client, args.ops)
                    pstats.Stats(profile).sort_stats("tottime").print_stats(25)
                    return
                if args.face != "async":
                    before = usage()
                    us = per_op_us(lambda: blocking(client, args.ops), args.ops)
                    print("%-20s %12.1f%s" % ("perop/python", us, detail(before, usage(), args.ops) if args.detail else ""))

            async def run_async():
                with orvalis.AsyncClient(host, CONSUMER, **options) as client:
                    await awaited(client, 8)
                    before = usage()
                    begin = time.process_time()
                    await awaited(client, args.ops)
                    us = (time.process_time() - begin) * 1e6 / args.ops
                    return us, detail(before, usage(), args.ops) if args.detail else ""
            if args.face != "blocking":
                print("%-20s %12.1f%s" % ("perop/python_async", *asyncio.run(run_async())))
            if args.face == "both":  # not in a face's own run (count_instructions.sh counts those)
                print("%-20s %12.1f" % ("floor/asyncio_handoff", asyncio_handoff_us(args.ops)))
        finally:
            proc.kill()
            proc.wait(timeout=20)


if __name__ == "__main__":
    main()
