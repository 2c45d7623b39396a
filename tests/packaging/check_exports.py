#!/usr/bin/env python3
"""usage: check_exports.py <libOrvalis.so> <public header>...

A shared Orvalis exports what its public headers mark with ORVALIS_EXPORT (in
the C interface ORVALIS_C_EXPORT) and nothing else of its own: every exported
symbol named under OWN_PREFIXES, and
every strong one of any other name (the extern "C" version symbols), belongs
to a marked class, function or variable; weak instantiations of the standard
library may be exported. Every marked free function and variable is exported.
"""
import re
import subprocess
import sys

# The library's own names: the C++ namespace and the C interface.
OWN_PREFIXES = ("orvalis::", "orvalis_")
LINKER_SYMBOLS = {"_init", "_fini", "_edata", "_end", "__bss_start"}
SPECIAL = re.compile(r"^(?:(?:construction )?vtable|typeinfo(?: name)?|VTT|guard variable|(?:non-)?virtual thunk|"
                     r"covariant return thunk|TLS (?:init|wrapper) function) (?:for|to) ")
OPERATORS = ["()", "<=>", "<<=", ">>=", "<<", ">>", "<=", ">=", "->*", "->", "<", ">"]


def marked_names(headers):
    """Qualified names of what the headers mark, and of those that are not classes."""
    classes, others = set(), set()
    for path in headers:
        namespaces = []
        with open(path, encoding="utf-8") as f:
            for line in f:
                code = line.split("//")[0]
                if m := re.match(r"\s*namespace\s+([\w:]+)\s*\{", code):
                    namespaces.append(m.group(1))
                elif re.match(r"\s*\}\s*//\s*namespace", line) and namespaces:
                    namespaces.pop()
                elif not re.search(r"ORVALIS_(?:C_)?EXPORT", code) or "#define" in code:  # C++ or C interface
                    continue
                elif m := re.search(r"\b(?:class|struct)\s+ORVALIS_EXPORT\s+(\w+)", code):
                    classes.add("::".join(namespaces + [m.group(1)]))
                elif not re.search(r"\binline\b|\bconstexpr\b", code) and (  # inline ones export nothing
                        m := (re.search(r"(operator\s*\S+?|\w+)\s*\(", code) or
                              re.search(r"(\w+)\s*(?:\[\s*\d*\s*\])?\s*[;=]", code))):
                    others.add("::".join(namespaces + [m.group(1).replace(" ", "")]))
    return classes | others, others


def symbols(lib):
    """(kind, raw, demangled) of each exported symbol but the linker's own."""
    out = subprocess.run(["nm", "--defined-only", "-D", lib], check=True, capture_output=True, text=True).stdout
    rows = [(r[-2], r[-1]) for r in (line.split() for line in out.splitlines()) if len(r) >= 2]
    demangled = subprocess.run(["c++filt"], input="\n".join(s for _, s in rows), check=True, capture_output=True,
                               text=True).stdout.splitlines() if rows else []
    return [(kind, raw, dem) for (kind, raw), dem in zip(rows, demangled) if raw not in LINKER_SYMBOLS]


def entity(demangled):
    """The qualified name a demangled symbol belongs to, without template
    arguments, parameters or return type."""
    text = re.sub(r"\s*\[clone [^\]]*\]|\[abi:\w+\]", "", SPECIAL.sub("", demangled))
    # Operator names hide from the bracket handling below as @index@.
    text = re.sub("operator(" + "|".join(re.escape(o) for o in OPERATORS) + ")",
                  lambda m: f"operator@{OPERATORS.index(m.group(1))}@", text)
    while (stripped := re.sub(r"<[^<>]*>", "", text)) != text:  # template arguments, innermost first
        text = stripped
    head = re.split(r"(?<!operator) ", text.split("(")[0])[-1]  # no parameters, no return type
    return re.sub(r"@(\d+)@", lambda m: OPERATORS[int(m.group(1))], head)


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    lib, headers = sys.argv[1], sys.argv[2:]
    marked, non_classes = marked_names(headers)
    if not marked:
        print("no ORVALIS_EXPORT declaration found in the headers")
        return 1
    exported = symbols(lib)
    problems, exported_entities = [], set()
    for kind, raw, dem in exported:
        name = entity(dem)
        exported_entities.add(name)
        if any(m == name or name.startswith(m + "::") for m in marked):
            continue
        if name.startswith(OWN_PREFIXES) or raw.startswith("_ZN7orvalis"):
            problems.append(f"exported but not marked: {dem}")
        elif kind.isupper() and kind not in "VWU":
            problems.append(f"strong symbol outside the library's names: {dem}")
    problems += [f"marked but not exported: {n}" for n in sorted(non_classes - exported_entities)]
    print("\n".join(problems + [f"{len(exported)} exported symbols, {len(marked)} marked names"]))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
