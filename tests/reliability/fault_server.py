#!/usr/bin/env python3
"""HTTP(S) server for tests that misbehaves on command.

Listens on 127.0.0.1 on a free port and prints "PORT <n>" on stdout once it
accepts connections. Exits when stdin closes (so it never outlives the test
that started it) or on SIGTERM. The fault is chosen by the request path:

  /json                 200, a small JSON object
  /reset?after=N        headers and N body bytes, then a TCP reset
  /stall                headers, then nothing until the client gives up
  /drip?n=N&ms=M        N body bytes, one every M ms (default 50)
  /close                closes the connection without any reply
  /badchunk             chunked body with a chunk size that is not hex
  /cutchunk             chunked body that ends without its last chunk
  /short                Content-Length larger than the body, then close
  /gzip                 gzip-encoded JSON body
  /gzipbomb?mb=N        gzip body that inflates to N MiB of spaces
  /badutf8              200, a body that is not UTF-8
  /big?mb=N             N MiB JSON object (one long string) with a Content-Length
  /http10               HTTP/1.0 answer without length, ended by close
  /redirect             302 with a JSON body and a Location header
  /status500            500 with a JSON body without "errors"
  /empty                200 with an empty body
  /xml                  200, an XML document

Any path takes "delay=MS": the answer starts that many milliseconds late.
Every other path gets 404 with a JSON "errors" body. Requests are counted
per fault; GET /stats answers with the counts as JSON.
"""
import argparse
import asyncio
import gzip
import json
import signal
import socket
import ssl
import struct
import sys
import zlib
from urllib.parse import parse_qs, urlsplit

STATS = {}
JSON_BODY = b'{"status":"OK","id":7,"text":"caf\xc3\xa9"}'


def head(status, headers, version="HTTP/1.1"):
    lines = [f"{version} {status}"] + [f"{k}: {v}" for k, v in headers] + ["", ""]
    return "\r\n".join(lines).encode("latin-1")


def answer(status, body, ctype="application/json", extra=()):
    return head(status, [("Content-Type", ctype), ("Content-Length", str(len(body))), *extra]) + body


def reset(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    writer.transport.abort()


GZIP_BOMBS = {}


def gzip_bomb(mb):
    if mb not in GZIP_BOMBS:
        # One gzip member (decoders may stop after the first), built a MiB at a time.
        z = zlib.compressobj(9, zlib.DEFLATED, 31)
        block = b" " * (1 << 20)
        GZIP_BOMBS[mb] = b"".join(z.compress(block) for _ in range(mb)) + z.flush()
    return GZIP_BOMBS[mb]


async def serve_one(path, query, reader, writer):
    """Answers one request; returns False when the connection must end."""
    arg = lambda k, d: int(query.get(k, [d])[0])
    if "delay" in query:
        await asyncio.sleep(arg("delay", 0) / 1000)
    if path == "/json":
        writer.write(answer("200 OK", JSON_BODY))
    elif path == "/xml":
        writer.write(answer("200 OK", b"<Pairing><Id>9</Id><Name>x</Name></Pairing>", "application/xml"))
    elif path == "/reset":
        n = arg("after", 10)
        writer.write(head("200 OK", [("Content-Type", "application/json"), ("Content-Length", "100000")]))
        writer.write(b"{" + b" " * max(n - 1, 0))
        await writer.drain()
        await asyncio.sleep(0.02)
        reset(writer)
        return False
    elif path == "/stall":
        writer.write(head("200 OK", [("Content-Type", "application/json"), ("Content-Length", "10")]))
        await writer.drain()
        try:
            await asyncio.wait_for(reader.read(), timeout=600)
        except (asyncio.TimeoutError, ConnectionError):
            pass
        return False
    elif path == "/drip":
        n, ms = arg("n", 40), arg("ms", 50)
        body = b'{"d":"' + b"x" * max(n - 8, 0) + b'"}'
        writer.write(head("200 OK", [("Content-Type", "application/json"), ("Content-Length", str(len(body)))]))
        for i in range(len(body)):
            writer.write(body[i:i + 1])
            await writer.drain()
            await asyncio.sleep(ms / 1000)
    elif path == "/close":
        writer.transport.close()
        return False
    elif path == "/badchunk":
        writer.write(head("200 OK", [("Content-Type", "application/json"), ("Transfer-Encoding", "chunked")]))
        writer.write(b"4\r\n{\"a\"\r\nzz\r\n:1}\r\n0\r\n\r\n")
        await writer.drain()
        return False
    elif path == "/cutchunk":
        writer.write(head("200 OK", [("Content-Type", "application/json"), ("Transfer-Encoding", "chunked")]))
        writer.write(b"7\r\n{\"a\":1}\r\n5\r\n{\"b\"")
        await writer.drain()
        writer.transport.close()
        return False
    elif path == "/short":
        writer.write(head("200 OK", [("Content-Type", "application/json"), ("Content-Length", "1000")]))
        writer.write(b'{"a":1}')
        await writer.drain()
        writer.transport.close()
        return False
    elif path == "/gzip":
        writer.write(answer("200 OK", gzip.compress(JSON_BODY), extra=[("Content-Encoding", "gzip")]))
    elif path == "/gzipbomb":
        writer.write(answer("200 OK", gzip_bomb(arg("mb", 200)), extra=[("Content-Encoding", "gzip")]))
    elif path == "/badutf8":
        writer.write(answer("200 OK", b"\xff\xfe<\xc3(r\xa0>\x80\xed\xa0\x80", "text/plain"))
    elif path == "/big":
        total = arg("mb", 100) << 20
        writer.write(head("200 OK", [("Content-Type", "application/json"), ("Content-Length", str(total))]))
        writer.write(b'{"pad":"')
        block = b"x" * (1 << 16)
        sent, total = 8, total - 2
        while sent < total:
            part = block[: min(len(block), total - sent)]
            writer.write(part)
            sent += len(part)
            await writer.drain()
        writer.write(b'"}')
    elif path == "/http10":
        writer.write(head("200 OK", [("Content-Type", "application/json")], version="HTTP/1.0") + JSON_BODY)
        await writer.drain()
        writer.transport.close()
        return False
    elif path == "/redirect":
        writer.write(answer("302 Found", b'{"moved":true}', extra=[("Location", "/json")]))
    elif path == "/status500":
        writer.write(answer("500 Internal Server Error", b'{"detail":"oops"}'))
    elif path == "/empty":
        writer.write(answer("200 OK", b""))
    elif path == "/stats":
        writer.write(answer("200 OK", json.dumps(STATS).encode()))
    else:
        writer.write(answer("404 Not Found", b'{"errors":[{"description":"no such fault"}]}'))
    await writer.drain()
    return True


async def handle(reader, writer):
    try:
        while True:
            line = await reader.readline()
            if not line:
                break
            parts = line.decode("latin-1").split()
            if len(parts) < 2:
                break
            length = 0
            while True:
                h = await reader.readline()
                if h in (b"\r\n", b"\n", b""):
                    break
                name, _, value = h.decode("latin-1").partition(":")
                if name.strip().lower() == "content-length":
                    length = int(value.strip())
            if length:
                await reader.readexactly(length)
            url = urlsplit(parts[1])
            STATS[url.path] = STATS.get(url.path, 0) + 1
            if not await serve_one(url.path, parse_qs(url.query), reader, writer):
                return
    except (ConnectionError, asyncio.IncompleteReadError, asyncio.CancelledError, ssl.SSLError, ValueError):
        pass
    finally:
        if not writer.transport.is_closing():
            writer.transport.close()


async def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cert")
    p.add_argument("--key")
    a = p.parse_args()
    context = None
    if a.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        # Permissive on this side, so that weak certificates can be offered:
        # refusing them is the client's job.
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.load_cert_chain(a.cert, a.key)
    server = await asyncio.start_server(handle, "127.0.0.1", 0, ssl=context, backlog=4096, limit=1 << 20)
    print("PORT", server.sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    loop.add_signal_handler(signal.SIGTERM, lambda: done.done() or done.set_result(None))
    # stdin closing means the test process is gone.
    loop.add_reader(sys.stdin.fileno(), lambda: done.done() or (sys.stdin.buffer.raw.read(4096) or done.set_result(None)))
    async with server:
        await done


if __name__ == "__main__":
    asyncio.run(main())
