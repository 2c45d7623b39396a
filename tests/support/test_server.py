#!/usr/bin/env python3
"""HTTPS test server on 127.0.0.1: well-behaved and misbehaving answers, chosen by the request path.

Usage: test_server.py <dir>. <dir> holds <name>.pem / <name>.key for each TLS port below. Prints one JSON
line with the ports (picked by the system), then serves until its parent process ends.
Every path takes "delay=MS" in its query: the answer starts that much later. See serve() for the paths.
"""
import warnings
warnings.filterwarnings("ignore", category=DeprecationWarning)
import asyncio, contextlib, gzip, json, os, socket, ssl, struct, sys, zlib
from urllib.parse import parse_qs

workdir = sys.argv[1]
# "idle open": connections of the "idle" port; per client (its User-Agent A): "connections A", "open A", "held A"
stats = {"connections": 0, "held": 0, "idle open": 0}
holding = {}
JSON = [("Content-Type", "application/json")]


def context(cert, old_tls=False):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    if old_tls:  # permissive on this side: refusing is the client's job
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
        ctx.minimum_version, ctx.maximum_version = ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1
    ctx.load_cert_chain(os.path.join(workdir, cert + ".pem"), os.path.join(workdir, cert + ".key"))
    return ctx


def answer(status, body=b"", headers=(), length=True):
    lines = ["HTTP/1.1 " + status] + ["%s: %s" % kv for kv in headers] + (["Content-Length: %d" % len(body)] if length else [])
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def head(length=None, chunked=False):  # a 200 head whose body the caller writes
    return answer("200 OK", headers=[("Transfer-Encoding", "chunked")] if chunked else [("Content-Length", str(length))], length=False)


# Fixed answers by path; the second set ends the connection after the bytes.
ANSWERS = {
    "/json": answer("200 OK", b'{"status":"OK","text":"caf\xc3\xa9"}', JSON),
    "/xml": answer("200 OK", b"<Pairing><Id>9</Id></Pairing>", [("Content-Type", "application/xml")]),
    "/redirect": answer("302 Found", b'{"moved":true}', [("Location", "/echo")]),
    "/gzip": answer("200 OK", gzip.compress(b'{"zipped":"' + b"z" * 40 + b'"}'), [("Content-Encoding", "gzip")]),
    "/gzip2": answer("200 OK", gzip.compress(b'{"two":') + gzip.compress(b'"members"}'), [("Content-Encoding", "gzip")]),
    "/badgzip": answer("200 OK", b"\x1f\x8b\x08\x00 not deflate data", [("Content-Encoding", "gzip")]),
}
CLOSING = {
    "/short": head(100) + b'{"cut":"',  # fewer bytes than announced
    "/chunkcut": head(chunked=True) + b'8\r\n{"cut":"\r\n20\r\nabc',
    "/badchunk": head(chunked=True) + b'4\r\n{"a"\r\nzz\r\n:1}\r\n0\r\n\r\n',
    "/http10": b'HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{"old":"http"}',  # no length: ends with the connection
}


def count(name, by=1):
    stats[name] = stats.get(name, 0) + by


async def serve(path, query, headers, raw, body, writer):
    """Answers one request; False when the connection must end."""
    arg = lambda k, d: int(query.get(k, [d])[0])
    if path.startswith("/quorvex/"):  # an operation's path: its last segment (a path id) picks the answer
        path = "/" + path.rsplit("/", 1)[1]
    await asyncio.sleep(arg("delay", 0) / 1000)
    w = writer.write
    if path in ANSWERS:
        w(ANSWERS[path])
    elif path in CLOSING:
        w(CLOSING[path])
        return False
    elif path.startswith("/echo"):  # the request exactly as it arrived (its path too, dot segments and all)
        w(answer("200 OK", raw + body, [("Content-Type", "application/octet-stream")]))
    elif path == "/headers":  # the request's header fields, names in lower case
        w(answer("200 OK", json.dumps(headers).encode(), JSON))
    elif path in ("/reply", "/expresscheckout"):  # the request's body under the status it asks for
        w(answer(headers.get("x-status", "200 OK"), body, JSON))
    elif path.startswith("/busy"):  # /busyN: 503 asking for a pause of N seconds (default 1)
        w(answer("503 Service Unavailable", b"busy", [("Retry-After", path[5:] or "1")]))
    elif path == "/stats":
        w(answer("200 OK", json.dumps(stats).encode()))
    elif path == "/gzipbomb":  # one gzip member that inflates to 100 MiB of spaces
        z = zlib.compressobj(1, zlib.DEFLATED, 31)
        w(answer("200 OK", b"".join(z.compress(b" " * (1 << 20)) for _ in range(100)) + z.flush(), [("Content-Encoding", "gzip")]))
    elif path == "/big":  # ?bytes=N: bytes 0..255 repeated
        size, block = arg("bytes", 0), bytes(range(256)) * 4096
        w(head(size))
        for sent in range(0, size, len(block)):
            w(block[: size - sent])
            await writer.drain()
    elif path in ("/pieces", "/drip"):  # 16 KiB in 1 KiB pieces 1 ms apart; steady: a byte every 0.1 s, 1 s in all
        data, piece, gap = (b"p" * 16384, 1024, 0.001) if path == "/pieces" else (b'{"d":"dd"}', 1, 0.1)
        w(head(len(data)))
        for at in range(0, len(data), piece):
            await writer.drain()
            await asyncio.sleep(gap)
            w(data[at : at + piece])
    elif path == "/stall":
        w(head(100))
        await writer.drain()
        await asyncio.sleep(600)
        return False
    elif path == "/reset":  # part of the body, then a TCP reset
        w(head(1000) + b'{"reset":"' + b"r" * 100)
        await writer.drain()
        await asyncio.sleep(0.05)
        writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        writer.transport.abort()
        return False
    elif path == "/close":
        writer.transport.abort()
        return False
    elif path == "/drop":  # the request read whole, then the connection closed without a word
        return False
    elif path.startswith(("/hold", "/meet")):  # /holdN: unanswered until N of one client are held together (5 s
        agent = headers.get("user-agent", "")     # at most), then dropped; /meetN: the same, then answered
        held = holding[agent] = holding.get(agent, 0) + 1
        for name in ("held", "held " + agent):
            stats[name] = max(stats.get(name, 0), held)
        for _ in range(250):
            if holding[agent] >= int(path[5:] or arg("n", 1)):
                break
            await asyncio.sleep(0.02)
        await asyncio.sleep(0.1)
        holding[agent] -= 1
        if path.startswith("/meet"):
            w(answer("200 OK", b"{}", JSON))
            return True
        return False
    else:
        w(answer("404 Not Found"))
    return True


async def handle(reader, writer, idle=None, expire=None):
    """idle: seconds a kept-alive connection may wait for a request. expire: a request that comes after this many
    seconds idle meets the server's close, as if the two crossed: read, counted as "late", never answered."""
    stats["connections"] += 1
    stats["idle open"] += idle is not None
    agent, since = None, None
    try:
        while True:
            try:
                raw = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), idle)
            except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, asyncio.TimeoutError):
                return
            lines = raw.decode("latin-1").split("\r\n")
            headers = {k.strip().lower(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:] if ":" in l)}
            body = await reader.readexactly(int(headers.get("content-length", "0")))
            if expire and since and asyncio.get_running_loop().time() - since >= expire:
                count("late")
                return
            path, _, query = lines[0].split(" ")[1].partition("?")
            count(path)
            if agent is None:
                agent = headers.get("user-agent", "")
                count("connections " + agent)
                count("open " + agent)
            keep = await serve(path, parse_qs(query), headers, raw, body, writer)
            await writer.drain()
            since = asyncio.get_running_loop().time()
            if not keep:
                return
    except (ConnectionError, ssl.SSLError, asyncio.CancelledError, asyncio.IncompleteReadError):
        pass
    finally:
        writer.close()  # TLS's close_notify, then the socket is closed
        if idle is not None:
            await asyncio.sleep(0.05)  # the close_notify is on the wire before the close counts
            stats["idle open"] -= 1
        if agent is not None:
            count("open " + agent, -1)


async def tunnel(reader, writer):  # the "proxy" port: CONNECT to 127.0.0.1 only, anything else 403
    try:
        method, target = (await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 10)).decode("latin-1").split(" ")[:2]
        if method != "CONNECT" or not target.startswith("127.0.0.1:"):
            writer.write(answer("403 Forbidden"))
            return
        stats["tunnels"] = stats.get("tunnels", 0) + 1
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", int(target[10:]))
        writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")

        async def pipe(source, sink):
            try:
                while data := await source.read(1 << 16):
                    sink.write(data)
                    await sink.drain()
            finally:
                sink.close()
        await asyncio.gather(pipe(reader, up_writer), pipe(up_reader, writer), return_exceptions=True)
    except (ConnectionError, ValueError, asyncio.IncompleteReadError, asyncio.TimeoutError, asyncio.LimitOverrunError):
        pass
    finally:
        writer.close()


async def handshake_reset(reader, writer):  # the "tlsreset" port: the TLS ClientHello read, then a TCP reset
    stats["tlsresets"] = stats.get("tlsresets", 0) + 1
    try:
        await asyncio.wait_for(reader.read(1), 10)
    except (ConnectionError, asyncio.TimeoutError):
        pass
    writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()


async def goaway(reader, writer):  # the "goaway" port (HTTP/2 only): see TestServer.h
    import h2.config, h2.connection, h2.events  # here: no other port needs it
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
    conn.initiate_connection()
    writer.write(conn.data_to_send())
    going = False  # once the GOAWAY is out, what comes is dropped until the client closes
    with contextlib.suppress(ConnectionError, asyncio.TimeoutError):
        while data := await asyncio.wait_for(reader.read(65536), 10):
            for event in [] if going else conn.receive_data(data):
                if isinstance(event, h2.events.RequestReceived):
                    count("goaway " + dict(event.headers)[b":method"].decode())
                    if event.stream_id > 1:  # past this connection's one stream: refused, never processed
                        conn.close_connection(last_stream_id=1)
                        going = True
                        break
                    conn.send_headers(1, [(":status", "200")])
                    conn.send_data(1, b"{}", end_stream=True)
            writer.write(conn.data_to_send())
    writer.close()


async def main():
    ports, servers = {}, []

    async def listen(name, handler, ctx=None):
        servers.append(await asyncio.start_server(handler, "127.0.0.1", 0, ssl=ctx, backlog=4096, limit=1 << 20))
        ports[name] = servers[-1].sockets[0].getsockname()[1]

    for name, ctx, idle in (("good", context("good"), None), ("wrong", context("wrong"), None), ("self", context("self"), None),
                            ("tls11", context("good", old_tls=True), None), ("plain", None, None), ("idle", context("good"), 1.0)):
        await listen(name, lambda r, w, idle=idle: handle(r, w, idle), ctx)
    await listen("idle2", lambda r, w: handle(r, w, expire=2.0), context("good"))
    await listen("proxy", tunnel)
    await listen("tlsreset", handshake_reset)
    h2tls = context("good")
    h2tls.set_alpn_protocols(["h2"])
    await listen("goaway", goaway, h2tls)
    with socket.socket() as s:  # a port where nothing listens
        s.bind(("127.0.0.1", 0))
        ports["closed"] = s.getsockname()[1]
    parent = os.getppid()
    print(json.dumps(ports), flush=True)
    while os.getppid() == parent:  # until the test process is gone
        await asyncio.sleep(0.2)


asyncio.run(main())
