# The kill test's host on the Python face: as kill_host.cpp (express checkouts against the sandbox, four in
# flight, named INSTANCE in the journal, refused checkout ids appended to REFUSED), PAYMENTS of them.
#     kill_host.py JOURNAL HOST SANDBOX_PEM RESOURCES PAYMENTS INSTANCE REFUSED
import sys, threading, time
import orvalis

journal, host, pem, resources, payments, instance, refused_log = sys.argv[1:8]
orvalis.set_journal_instance(instance, alive_interval=0.2)
orvalis.add_trusted_certificates(pem)
orvalis.set_resource_path(resources)
try:
    client = orvalis.Client(host=host, consumer_key="kill-test", key_name="merchant", key_password="kill-test",
                            journal_path=journal)
except orvalis.JournalError:  # the database is down: the test starts this host again
    sys.exit(3)
numbers, refused = iter(range(int(payments))), open(refused_log, "a", buffering=1)


def pay():
    for n in numbers:  # one iterator for the four threads: next() holds the GIL
        checkout_id = f"chk-{instance}-{n}"
        try:
            client.express_checkout(checkout_id=checkout_id, amount=9.95, currency="EUR", card_id="card-1")
        except orvalis.OperationError as e:  # failed or not: the journal tells, which the test reads
            if e.code == -1234 and e.reached == orvalis.Reached.NO:
                refused.write(checkout_id + "\n")
                time.sleep(0.02)  # the database is down: no spinning


payers = [threading.Thread(target=pay) for _ in range(4)]
[t.start() for t in payers]
[t.join() for t in payers]
