"""HTTP/2 server on 127.0.0.1 for bench_inflight: it allows 100,000 streams per connection and holds
every answer of a round until the round's requests are all at the server together, so that the
peak of requests at once shows how many the client sent without waiting.

usage: hold_server.py CERT KEY
Prints its port, then, when a round is released, "<round> <peak requests at once> <connections>".
A request's last path segment names its round and size: "r<round>n<N>" (e.g. /quorvex/x/r2n10000).
A round is released once N of its requests are held, or when none came for 3 s (a client that
queues the rest never gets there). It ends when its parent process is gone."""
import asyncio
import os
import re
import ssl
import sys
import time

import h2.config
import h2.connection
import h2.events
import h2.settings

BODY = b'{"pairingId":"held","status":"ok"}'
rounds = {}  # name -> Round
connections = 0


class Round:
    def __init__(self, size):
        self.size, self.held, self.peak, self.released, self.last = size, [], 0, False, time.monotonic()


def answer(protocol, stream):
    conn = protocol.conn
    try:
        conn.send_headers(stream, [(":status", "200"), ("content-type", "application/json"),
                                   ("content-length", str(len(BODY)))])
        conn.send_data(stream, BODY, end_stream=True)
    except Exception:  # the stream or connection is gone
        return
    protocol.transport.write(conn.data_to_send())


def release(name, r):
    r.released = True
    print(f"{name} {r.peak} {connections}", flush=True)
    for protocol, stream in r.held:
        answer(protocol, stream)
    r.held.clear()


class Protocol(asyncio.Protocol):
    def connection_made(self, transport):
        global connections
        connections += 1
        self.transport = transport
        self.conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
        self.conn.local_settings = h2.settings.Settings(client=False, initial_values={
            h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS: 100000,
            h2.settings.SettingCodes.MAX_HEADER_LIST_SIZE: 65536})
        self.conn.initiate_connection()
        transport.write(self.conn.data_to_send())

    def connection_lost(self, exc):
        global connections
        connections -= 1

    def data_received(self, data):
        try:
            events = self.conn.receive_data(data)
        except Exception:
            self.transport.close()
            return
        for event in events:
            if isinstance(event, h2.events.RequestReceived):
                path = dict((k.decode() if isinstance(k, bytes) else k, v) for k, v in event.headers).get(":path", "")
                path = path.decode() if isinstance(path, bytes) else path
                m = re.search(r"/r(\w+?)n(\d+)$", path)
                if not m:
                    answer(self, event.stream_id)
                    continue
                r = rounds.setdefault(m.group(1), Round(int(m.group(2))))
                if r.released:
                    answer(self, event.stream_id)
                    continue
                r.held.append((self, event.stream_id))
                r.peak = max(r.peak, len(r.held))
                r.last = time.monotonic()
                if len(r.held) >= r.size:
                    release(m.group(1), r)
        self.transport.write(self.conn.data_to_send())


async def main():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[1], sys.argv[2])
    context.set_alpn_protocols(["h2"])
    server = await asyncio.get_running_loop().create_server(Protocol, "127.0.0.1", 0, ssl=context, backlog=4096)
    print(server.sockets[0].getsockname()[1], flush=True)
    parent = os.getppid()
    while os.getppid() == parent:  # until the benchmark is gone
        await asyncio.sleep(0.2)
        for name, r in rounds.items():
            if not r.released and r.held and time.monotonic() - r.last > 3:
                release(name, r)


asyncio.run(main())
