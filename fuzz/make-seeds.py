#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs.

Without arguments: rewrites the committed seeds, fuzz/<target>/seeds/.
With --runtime DIR: writes the seeds that hold keys and certificates (never
committed) into DIR/<target>/, generated afresh with the openssl command.
"""
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data, root=HERE, sub="seeds"):
    folder = os.path.join(root, target, sub) if sub else os.path.join(root, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


JSON_SEEDS = {
    "object": '{"a":1,"b":[true,false,null],"c":{"d":"e"}}',
    "array": '[1,-2,3.5,1e10,-0,0.1,"x"]',
    "escapes": '{"s":"\\u00e9\\ud83d\\ude00\\n\\t\\"\\\\\\/"}',
    "numbers": '[9223372036854775807,-9223372036854775808,9223372036854775808,1e308,1e-320,123456789012345678901234567890]',
    "nested": "[" * 64 + "]" * 64,
    "errors": '{"errors":[{"description":"bad key","source":"x"}]}',
    "errors-empty": '{"errors":[],"ok":{"id":7}}',
    "duplicate": '{"a":1,"a":2}',
    "pretty": json.dumps({"k": [1, {"x": "y"}], "z": None}, indent=2),
    "empty-object": "{}",
    "utf8": '{"\u00fc\u00f1\u00ee":"\u4e2d\u6587"}',
}

# XML seeds: two option bytes (see xml_fuzz.cpp), then the document.
XML_DOCS = {
    "text": "<a>hello</a>",
    "repeat": "<r><x>1</x><x>2</x><x><y>3</y></x></r>",
    "attrs": "<r><x id='7' n=\"q&amp;\">t</x><e/></r>",
    "mixed": "<p><r>a<x/>b<!--c-->d</r></p>",
    "cdata": "<p><q><![CDATA[<x>&]]></q></p>",
    "decl": '<?xml version="1.0" encoding="UTF-8"?>\n<!-- top -->\n<doc xmlns:z="urn:z"><z:k a="1"/>\n  <v>\u00e9</v>\n</doc>',
    "entities": '<!DOCTYPE d [<!ENTITY e "ee">]><d>&e;&e;&#65;&#x42;&lt;</d>',
    "error": "<Response><Error><Description>bad</Description></Error></Response>",
    "broken": "<a><b>x</b><c>",
    "underscore": "<r><_x>1</_x><__text>2</__text></r>",
}
XML_OPTIONS = [(0x07, 0x11), (0x3F, 0x11), (0x00, 0x00), (0x18, 0x0A), (0x27, 0x2B), (0x07, 0x3F)]

COMPLETION_SEEDS = {
    "success": '{"pairingId":"p-1","status":"OK"}',
    "errors-description": '{"errors":[{"description":"Invalid consumer key"}]}',
    "errors-nodescription": '{"errors":[{"code":7}]}',
    "errors-string": '{"errors":["plain"]}',
    "errors-number": '{"errors":[42.5]}',
    "errors-null": '{"errors":null}',
    "errors-object": '{"errors":{"a":1}}',
    "errors-empty-object": '{"errors":{}}',
    "array": "[1,2]",
    "scalar": '"just text"',
    "xml": "<PairingResponse><Id>9</Id></PairingResponse>",
    "xml-error": "<Response><Error><Code>E1</Code></Error></Response>",
    "html": "<html><head><title>502</title></head><body>Bad gateway<br></body></html>",
    "empty": "",
    "nul": '{"a":1}\x00',
}

# OAuth seeds: a flags byte (bit 0 POST, bit 1 RSA-SHA256, bit 2 body
# present, bit 3 consumer key present), then NUL-separated fields: host,
# path, consumer key, body, then parameter names and values alternating.
def oauth(flags, *fields):
    return bytes([flags]) + "\x00".join(fields).encode("utf-8")


OAUTH_SEEDS = {
    "get": oauth(0x08, "api.example.com", "/quorvex/pairingid", "ck!1", "", "pairingTransactionId", "t+2", "userId", "a/b"),
    "post": oauth(0x0D, "api.example.com", "/quorvex/expresscheckout", "key", '{"a":"b c"}'),
    "sha256": oauth(0x0E, "h:8443", "/p", "", "<x/>", "oauth_nonce", "1"),
    "encoded": oauth(0x08, "h", "/a%20b", "a%2Bb", "", "a:b", "a:b", "Zeta", "~-._", "_x", "[x]", "alpha", "\u00e9*'()"),
    "bad-percent": oauth(0x08, "h", "/p", "50%", "", "k", "%zz", "k2", "%C3"),
    "controls": oauth(0x0C, "h", "/p", "c", "", "q", 'a"<>\\^`{|}\x01\x7f', "", ""),
}


def committed():
    for name, text in JSON_SEEDS.items():
        write("json", name, text)
    for name, doc in XML_DOCS.items():
        for i, (flags, modes) in enumerate(XML_OPTIONS[:3] if name != "mixed" else XML_OPTIONS):
            write("xml", f"{name}-{i}", bytes([flags, modes]) + doc.encode("utf-8"))
    for name, body in COMPLETION_SEEDS.items():
        write("completion", name, body)
    for name, data in OAUTH_SEEDS.items():
        write("oauth", name, data)


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def runtime(root):
    """PKCS#12 files made with the password "fuzz" (the target's password)."""
    out = os.path.join(root, "pkcs12")
    os.makedirs(out, exist_ok=True)
    if any(n.startswith("seed-") for n in os.listdir(out)):
        return
    with tempfile.TemporaryDirectory() as d:
        openssl("req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", "k.pem", "-out", "c.pem",
                "-days", "2", "-subj", "/CN=fuzz", cwd=d)
        openssl("req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", "k2.pem", "-out", "c2.pem",
                "-days", "2", "-subj", "/CN=fuzz2", cwd=d)
        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", "ek.pem", "-out", "ec.pem", "-days", "2", "-subj", "/CN=ec", cwd=d)
        with open(os.path.join(d, "both.pem"), "wb") as f:
            for p in ("k.pem", "c.pem", "k2.pem", "c2.pem"):
                f.write(open(os.path.join(d, p), "rb").read())
        # Few key-derivation iterations keep each import quick for the fuzzer.
        low = ["-iter", "1", "-nomaciter"]
        variants = {
            "seed-aes": ["-inkey", "k.pem", "-in", "c.pem", *low],
            "seed-legacy": ["-legacy", "-inkey", "k.pem", "-in", "c.pem", "-iter", "1"],
            "seed-nomac": ["-inkey", "k.pem", "-in", "c.pem", "-nomac", "-iter", "1"],
            "seed-certs-only": ["-in", "c.pem", "-nokeys", *low],
            "seed-key-only": ["-inkey", "k.pem", "-nocerts", *low],
            "seed-two": ["-in", "both.pem", *low],
            "seed-ec": ["-inkey", "ek.pem", "-in", "ec.pem", *low],
            "seed-unencrypted": ["-inkey", "k.pem", "-in", "c.pem", "-keypbe", "NONE", "-certpbe", "NONE",
                                 "-iter", "1"],
        }
        for name, args in variants.items():
            openssl("pkcs12", "-export", *args, "-passout", "pass:fuzz", "-out", name, cwd=d)
            os.replace(os.path.join(d, name), os.path.join(out, name))
        os.replace(os.path.join(d, "k.pem"), os.path.join(out, "seed-pem"))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--runtime":
        runtime(sys.argv[2])
    elif len(sys.argv) == 1:
        committed()
    else:
        sys.exit("usage: make-seeds.py [--runtime DIR]")
