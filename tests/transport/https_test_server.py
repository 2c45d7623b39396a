#!/usr/bin/env python3
"""HTTPS server for the transport tests: well-behaved and misbehaving answers on 127.0.0.1.

Usage: https_test_server.py <dir with the test certificates>. It listens on ports picked by the
system, prints one JSON line with them, and serves until its stdin closes.
The answer is picked by the request path; see handle().
"""
import warnings
warnings.filterwarnings("ignore", category=DeprecationWarning)
import asyncio, gzip, json, os, socket, ssl, struct, sys

workdir = sys.argv[1]  # holds ca.pem and <name>.pem / <name>.key for each server below
stats = {"connections": 0}
bomb = None


def context(name, old_tls=False):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(workdir, name + ".pem"), os.path.join(workdir, name + ".key"))
    if old_tls:
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
        ctx.minimum_version = ssl.TLSVersion.TLSv1
        ctx.maximum_version = ssl.TLSVersion.TLSv1_1
    return ctx


def head(status, headers, length=None):
    lines = ["HTTP/1.1 %s" % status] + ["%s: %s" % kv for kv in headers]
    if length is not None:
        lines.append("Content-Length: %d" % length)
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


async def read_request(reader):
    raw = await reader.readuntil(b"\r\n\r\n")
    lines = raw.decode("latin-1").split("\r\n")
    method, target, _ = lines[0].split(" ", 2)
    headers = {}
    for line in lines[1:]:
        if ":" in line:
            k, v = line.split(":", 1)
            headers[k.strip().lower()] = v.strip()
    body = b""
    if "content-length" in headers:
        body = await reader.readexactly(int(headers["content-length"]))
    return method, target, headers, raw, body


async def handle(reader, writer):
    global bomb
    stats["connections"] += 1
    try:
        while True:
            try:
                method, target, headers, raw, body = await read_request(reader)
            except (asyncio.IncompleteReadError, ConnectionError, ssl.SSLError):
                return
            path, _, query = target.partition("?")
            if path == "/reply":
                # Answers with the request's own body, under the status it asks for.
                status = headers.get("x-status", "200 OK")
                writer.write(head(status, [("Content-Type", "application/json")], len(body)) + body)
            elif path == "/echo":
                # The request exactly as it arrived on the wire.
                out = raw + body
                writer.write(head("200 OK", [("Content-Type", "application/octet-stream")], len(out)) + out)
            elif path == "/stats":
                out = json.dumps(stats).encode()
                writer.write(head("200 OK", [], len(out)) + out)
            elif path == "/redirect":
                out = b'{"moved":true}'
                writer.write(head("302 Found", [("Location", "/echo")], len(out)) + out)
            elif path == "/gzip":
                out = gzip.compress(b'{"compressed":"yes","pad":"' + b"z" * 4000 + b'"}')
                writer.write(head("200 OK", [("Content-Encoding", "gzip")], len(out)) + out)
            elif path == "/badgzip":
                out = b"\x1f\x8b\x08\x00garbage that is not deflate data"
                writer.write(head("200 OK", [("Content-Encoding", "gzip")], len(out)) + out)
            elif path == "/gzipbomb":
                if bomb is None:
                    bomb = gzip.compress(b"\0" * (16 * 1024 * 1024), compresslevel=6)
                out = bomb
                writer.write(head("200 OK", [("Content-Encoding", "gzip")], len(out)) + out)
            elif path == "/big":
                size = int(query)
                writer.write(head("200 OK", [], size))
                block = bytes(range(256)) * 4096
                sent = 0
                while sent < size:
                    piece = block[: min(len(block), size - sent)]
                    writer.write(piece)
                    sent += len(piece)
                    await writer.drain()
            elif path == "/drip":
                # Slow but steady: one byte every 0.25 s, for longer than the client's idle time-out.
                out = b'{"d":"dd"}'
                writer.write(head("200 OK", [], len(out)))
                for b in out:
                    await writer.drain()
                    await asyncio.sleep(0.25)
                    writer.write(bytes([b]))
            elif path == "/stall":
                writer.write(head("200 OK", [], 100))
                await writer.drain()
                await asyncio.sleep(3600)
            elif path == "/short":
                writer.write(head("200 OK", [], 100) + b'{"cut":"')
                await writer.drain()
                writer.close()
                return
            elif path == "/chunkcut":
                writer.write(head("200 OK", [("Transfer-Encoding", "chunked")]) + b"8\r\n{\"cut\":\"\r\n20\r\nabc")
                await writer.drain()
                writer.close()
                return
            elif path == "/reset":
                writer.write(head("200 OK", [], 1000) + b'{"reset":"' + b"r" * 100)
                await writer.drain()
                await asyncio.sleep(0.05)
                sock = writer.get_extra_info("socket")
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                writer.transport.abort()
                return
            elif path == "/close":
                writer.transport.abort()
                return
            elif path == "/http10":
                writer.write(b'HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{"old":"http"}')
                await writer.drain()
                writer.close()
                return
            else:
                writer.write(head("404 Not Found", [], 0))
            await writer.drain()
    except (ConnectionError, ssl.SSLError, asyncio.CancelledError):
        pass
    finally:
        writer.close()


async def main():
    servers = {}
    for name, ctx in (("good", context("good")), ("wrong", context("wrong")), ("self", context("self")),
                      ("expired", context("expired")), ("future", context("future")),
                      ("tls11", context("good", old_tls=True))):
        servers[name] = await asyncio.start_server(handle, "127.0.0.1", 0, ssl=ctx, backlog=1024)
    ports = {k: s.sockets[0].getsockname()[1] for k, s in servers.items()}
    print(json.dumps(ports), flush=True)
    # Serve until the test process closes our stdin (or dies).
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)


asyncio.run(main())
