#!/usr/bin/env python3
"""Checks that a shared Orvalis library exports what its public headers mark
with ORVALIS_EXPORT and nothing else of its own.

usage: check_exports.py <libOrvalis.so> <public header>...

Every defined dynamic symbol that names an entity of namespace orvalis must
belong to a marked class, function or variable; strong symbols outside the
namespace must be marked too (the extern "C" version symbols), or belong to the
C interface (the orvalis_ prefix). Weak template
instantiations of the standard library are allowed. Every marked free function
and variable must be exported, and the library must hold hidden symbols of its
own, which proves that unmarked code stays internal.
"""
import re
import subprocess
import sys

PREFIXES = ("vtable for ", "typeinfo for ", "typeinfo name for ", "VTT for ", "guard variable for ",
            "construction vtable for ", "non-virtual thunk to ", "virtual thunk to ",
            "covariant return thunk to ", "TLS init function for ", "TLS wrapper function for ")
LINKER_SYMBOLS = {"_init", "_fini", "_edata", "_end", "__bss_start"}
C_PREFIX = "orvalis_"  # the C interface (Orvalis/C/orvalis.h), marked ORVALIS_C_EXPORT


def marked_names(headers):
    """Qualified names of what the headers mark, and which are not classes."""
    names, non_classes = set(), set()
    for path in headers:
        namespaces = []
        with open(path, encoding="utf-8") as f:
            for line in f:
                code = line.split("//")[0]
                m = re.match(r"\s*namespace\s+([\w:]+)\s*\{", code)
                if m:
                    namespaces.append(m.group(1))
                    continue
                if re.match(r"\s*\}\s*//\s*namespace", line) and namespaces:
                    namespaces.pop()
                    continue
                if "ORVALIS_EXPORT" not in code or "#define" in code:
                    continue
                scope = "::".join(namespaces)
                m = re.search(r"\b(?:class|struct)\s+ORVALIS_EXPORT\s+(\w+)", code)
                if m:
                    name, is_class = m.group(1), True
                else:
                    if re.search(r"\binline\b|\bconstexpr\b", code):
                        continue  # nothing to export: defined in the header
                    m = re.search(r"(operator\s*\S+?|\w+)\s*\(", code) or re.search(r"(\w+)\s*(?:\[\s*\d*\s*\])?\s*[;=]",
                                                                                  code)
                    if not m:
                        continue
                    name, is_class = m.group(1).replace(" ", ""), False
                full = f"{scope}::{name}" if scope else name
                names.add(full)
                if not is_class:
                    non_classes.add(full)
    return names, non_classes


def dynamic_symbols(lib, dynamic=True):
    args = ["nm", "--defined-only"] + (["-D"] if dynamic else []) + [lib]
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    rows = [line.split() for line in out.splitlines()]
    rows = [(r[-2], r[-1]) for r in rows if len(r) >= 2]
    if not rows:
        return []
    demangled = subprocess.run(["c++filt"], input="\n".join(s for _, s in rows), check=True, capture_output=True,
                               text=True).stdout.splitlines()
    return [(kind, raw, dem) for (kind, raw), dem in zip(rows, demangled)]


def entity(demangled):
    """The qualified name a demangled symbol belongs to, without template arguments."""
    text = demangled
    for p in PREFIXES:
        if text.startswith(p):
            text = text[len(p):]
    text = re.sub(r"\s*\[clone [^\]]*\]", "", text)
    text = re.sub(r"\[abi:\w+\]", "", text)
    # Cut at the first "(" outside template brackets: the parameter list.
    depth, cut = 0, len(text)
    i = 0
    while i < len(text):
        c = text[i]
        if text.startswith("operator()", i):
            i += len("operator()")
            continue
        if text.startswith("operator<", i) or text.startswith("operator>", i):
            i += len("operator") + 1
            while i < len(text) and text[i] in "<>=":
                i += 1
            continue
        if c == "<":
            depth += 1
        elif c == ">":
            depth -= 1
        elif c == "(" and depth == 0:
            cut = i
            break
        i += 1
    head = text[:cut]
    # Drop a return type: the last space-separated token outside brackets.
    depth, start = 0, 0
    for i, c in enumerate(head):
        if c == "<":
            depth += 1
        elif c == ">":
            depth -= 1
        elif c == " " and depth == 0 and not head[:i].endswith("operator"):
            start = i + 1
    head = head[start:]
    # Strip template arguments.
    out, depth = [], 0
    for c in head:
        if c == "<" and not re.search(r"operator<*$", "".join(out)):
            depth += 1
        elif c == ">" and depth:
            depth -= 1
        elif depth == 0:
            out.append(c)
    return "".join(out)


def covered(name, marked):
    return any(name == m or name.startswith(m + "::") for m in marked)


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    lib, headers = sys.argv[1], sys.argv[2:]
    marked, non_classes = marked_names(headers)
    if not marked:
        print("no ORVALIS_EXPORT declaration found in the headers")
        return 1
    exported = dynamic_symbols(lib)
    problems, exported_entities = [], set()
    for kind, raw, dem in exported:
        if raw in LINKER_SYMBOLS:
            continue
        name = entity(dem)
        exported_entities.add(name)
        if name.startswith("orvalis::") or raw.startswith("_ZN7orvalis"):
            if not covered(name, marked):
                problems.append(f"exported but not marked: {dem}")
        elif kind.isupper() and kind not in "VWU" and name not in marked and not name.startswith(C_PREFIX):
            problems.append(f"strong symbol outside the library's namespace: {dem}")
    for name in sorted(non_classes):
        if not any(e == name for e in exported_entities):
            problems.append(f"marked but not exported: {name}")
    exported_raw = {raw for _, raw, _ in exported}
    hidden = [dem for kind, raw, dem in dynamic_symbols(lib, dynamic=False)
              if raw not in exported_raw and "orvalis::" in dem and "(anonymous namespace)" not in dem and "[clone" not in dem]
    if not hidden:
        print("note: no hidden symbol of the library found (stripped library?)")
    for p in problems:
        print(p)
    print(f"{len(exported)} exported symbols, {len(marked)} marked names, {len(hidden)} hidden library symbols")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
