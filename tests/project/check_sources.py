#!/usr/bin/env python3
# usage: check_sources.py <source root> <check>
#
# Scans of the sources, one per check (each a test of the same name); each fails naming every gap it finds.
#
# LayersAboveFoundationIncludeOnlyStandardHeaders
#     Everything above the Foundation layer must build on any platform with a C++20 compiler: it may include
#     only the C++ standard library (and, in the C interface's header, the C one's) and the library's own
#     headers, not a C library's header, a POSIX or system header or a dependency's header. And includes run down
#     the floors only: a folder includes its own floor's headers and those of the floors below it, never one above
#     (Foundation, Utils, Networking, ServiceModules, ServiceInfrastructure, C, from the bottom up).
# GuideLinksResolve
#     A guide links only to files that are there: relative Markdown links in README.md and docs/*.md (resolved
#     beside the page), and "docs/<page>.md" mentioned anywhere in the guides or the public headers (resolved
#     from the source root).
# TransportErrorsGuideHasEveryErrorCode
#     Every error code of the public headers (the URLErrorCode enumerators, the C interface's
#     ORVALIS_URL_ERROR_* values, the k...ErrorCode constants) is in docs/transport-errors.md, a URL error as
#     its table row.
# SandboxGuideHasEveryOptionAndFailMode
#     Every orvalis-sandbox option and --fail mode is in docs/sandbox.md.
# CInterfaceGuideHasEveryFunction
#     Every function and status of the C interface's headers is in docs/c-interface.md.
# ReliabilityGuideCitesOnlyTestsThatExist
#     Every test docs/reliability.md cites (`Suite.Name`, `Prefix/Suite.Name/Row`, `/Row`, `test_name`) is in
#     tests/, so that no claim rests on a test that is gone.
import os
import re
import sys
from pathlib import Path

STANDARD_HEADERS = set("""
    algorithm any array atomic barrier bit bitset cassert cctype cerrno cfenv cfloat charconv chrono cinttypes
    climits clocale cmath codecvt compare complex concepts condition_variable coroutine csetjmp csignal cstdarg
    cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution filesystem
    format forward_list fstream functional future initializer_list iomanip ios iosfwd iostream istream iterator
    latch limits list locale map memory memory_resource mutex new numbers numeric optional ostream queue random
    ranges ratio regex scoped_allocator semaphore set shared_mutex source_location span sstream stack
    stdexcept stop_token streambuf string string_view syncstream system_error thread tuple type_traits typeindex
    typeinfo unordered_map unordered_set utility valarray variant vector version
    stddef.h stdint.h
""".split())  # the last two are the C standard library's, for the C interface's header
FLOORS = ["Foundation", "Utils", "Networking", "ServiceModules", "ServiceInfrastructure", "C"]
C_HEADERS = ["orvalis.h", "orvalis_testing.h", "orvalis_xml.h", "orvalis_journal.h", "orvalis_packed.h",
             "orvalis_transport.h"]


class Scan:
    """The root scanned, the gaps found and how many things were checked."""

    def __init__(self, root):
        self.root = root
        self.failures = []
        self.checked = 0

    def read(self, rel):
        return (self.root / rel).read_text(encoding="utf-8")

    def files(self, pattern):
        """Paths under the root, relative to it and sorted."""
        return sorted(path.relative_to(self.root).as_posix() for path in self.root.glob(pattern))

    def exists(self, rel):
        return os.path.exists(f"{self.root}/{rel}")

    def expect(self, holds, gap):
        self.checked += 1
        if not holds:
            self.failures.append(gap)

    def require(self, pattern, text, gap):
        self.expect(re.search(pattern, text), gap)


def floor_of(name):
    return FLOORS.index(name) if name in FLOORS else -1


def layering(scan):
    for rel in scan.files("Orvalis/**/*.h") + scan.files("Orvalis/**/*.cpp"):
        folder = re.match(r"Orvalis/([^/]+)/", rel)
        own_floor = floor_of(folder.group(1)) if folder else -1
        for line in scan.read(rel).splitlines():
            if not re.match(r"[ \t]*#[ \t]*include", line):
                continue
            included = re.search(r"include[ \t]*<Orvalis/([^/>]+)/", line)
            if included and floor_of(included.group(1)) > own_floor:
                scan.failures.append(f"{rel}: {line}: includes a floor above its own")
            if rel.startswith("Orvalis/Foundation/"):
                continue
            scan.checked += 1
            bracketed = re.search(r"include[ \t]*<([^>]+)>", line)
            if not bracketed:
                scan.failures.append(f"{rel}: {line}: write <Orvalis/...> or a standard header")
                continue
            header = bracketed.group(1)
            if header.startswith("Orvalis/") and scan.exists(header):
                continue
            stem = os.path.basename(header).split(".")[0]
            if re.fullmatch(r"Orvalis/[^/]+\.h", header) and scan.exists(f"cmake/{stem}.h.in"):
                continue  # generated at configure time (the version header)
            if header not in STANDARD_HEADERS:
                scan.failures.append(f"{rel}: {line}: neither the standard library nor the library's own header")
    if scan.failures:
        scan.failures.insert(0, "Only Foundation may use platform or third-party headers, and includes run down "
                                "the floors:")
    return "includes above Foundation are portable"


def links(scan):
    pages = scan.files("docs/*.md") + ["README.md"]
    for page in pages:
        for target in re.findall(r"\]\(([^)( ]+)\)", scan.read(page)):
            # Web links and anchors within the page are not files.
            if re.match(r"[a-zA-Z][a-zA-Z0-9+.-]*:", target) or target.startswith("#"):
                continue
            target = target.split("#")[0]
            scan.expect(scan.exists(f"{os.path.dirname(page) or '.'}/{target}"),
                        f"{page} links to {target}, which does not exist")
    for rel in pages + scan.files("Orvalis/**/*.h"):
        for target in re.findall(r"docs/[A-Za-z0-9_.-]+\.md", scan.read(rel)):
            scan.expect(scan.exists(target), f"{rel} refers to {target}, which does not exist")
    return "links to guides resolve"


def errors(scan):
    guide = scan.read("docs/transport-errors.md")
    lacks = "docs/transport-errors.md does not name "
    for rel in [rel for rel in scan.files("Orvalis/**/*.h") if "/detail/" not in rel]:
        text = scan.read(rel)
        for name, code in re.findall(r"(URLError[A-Za-z]+) = (-?[0-9]+)", text):
            scan.require(f"\n[|] {code} [|] `{name}` [|]", guide, f"{lacks}{code} {name} ({rel}) in a row of its table")
        for name, code in re.findall(r"#define (ORVALIS_URL_ERROR_[A-Z_]+) \((-?[0-9]+)\)", text):
            scan.require(f"\n[|] {code} [|]", guide, f"{lacks}{code}, {name} ({rel}) in a row of its table")
        for name, code in re.findall(r"(k[A-Za-z]+ErrorCode) = ([0-9]+)", text):
            scan.require(f"[^0-9.-]{code}[^0-9.]", guide, f"{lacks}code {code}, {name} ({rel})")
    return "names of the code found in the guide"


def sandbox(scan):
    guide = scan.read("docs/sandbox.md")
    lacks = "docs/sandbox.md does not name "
    # The option table: {"name", 'x' or 0, takes a value, ...}.
    text = scan.read("tools/orvalis-sandbox/main.cpp")
    for name, short in re.findall(r"\{\"([a-z][a-z-]*)\", '?([^',]+)'?, (?:true|false)", text):
        scan.require(f"--{name}[^a-z-]", guide, f"{lacks}the option --{name}")
        if short != "0":
            scan.require(f"[^a-z-]-{re.escape(short)}[^a-zA-Z-]", guide, f"{lacks}the option -{short}")
    # --fail modes: the named ones and those that take a number ("delay:", ...), each on a line of the list.
    text = scan.read("tools/orvalis-sandbox/Sandbox.cpp")
    modes = re.findall(r"\{\"([a-z0-9-]+)\", Kind::", text) + re.findall(r"numberAfter\(text, \"([a-z-]+:)\"", text)
    for mode in modes:
        scan.require(f"\n +{mode}[ A-Z]", guide, f"{lacks}the --fail mode {mode} at the start of a line")
    return "names of the code found in the guide"


def c_interface(scan):
    guide = scan.read("docs/c-interface.md")
    lacks = "docs/c-interface.md does not name "
    for header in C_HEADERS:
        text = scan.read(f"Orvalis/C/{header}")
        for name in re.findall(r"ORVALIS_C_EXPORT[^;(]*[ *](orvalis_[a-z0-9_]+)\(", text):
            scan.require(f"[^a-z0-9_]{name}[^a-z0-9_]", guide, f"{lacks}{name} (Orvalis/C/{header})")
        for name in re.findall(r"(ORVALIS_ERROR_[A-Z_]+) = [0-9]+", text):
            scan.require(f"[^A-Z_]{name}[^A-Z_]", guide, f"{lacks}the status {name} (Orvalis/C/{header})")
    return "names of the code found in the guide"


def cited_tests(scan):
    guide = scan.read("docs/reliability.md")
    tests = "".join(scan.read(rel) for rel in scan.files("tests/**/*.cpp") + scan.files("tests/**/*.py"))
    cites = " docs/reliability.md cites"
    for cited in re.findall(r"`([A-Za-z_/]*[A-Za-z0-9_.*/]+)`", guide):
        test = re.fullmatch(r"(?:([A-Za-z]+)/)?([A-Z][A-Za-z0-9]+)\.([A-Z][A-Za-z0-9]+)(?:/([A-Za-z0-9*]+))?", cited)
        if test:
            prefix, suite, name, row = test.groups()
            scan.require(f"TEST(_F|_P)?[(]{suite}, {name}[)]", tests, f"tests/ lack the test {cited}{cites}")
            if prefix:
                scan.require(f"INSTANTIATE_TEST_SUITE_P[(]{prefix},[ \n]*{suite},", tests,
                             f"tests/ lack the rows {prefix}/{suite}{cites}")
        elif re.fullmatch(r"/[A-Z][A-Za-z0-9]+", cited):
            row = cited[1:]
        elif re.fullmatch(r"test_[a-z0-9_]+", cited):
            scan.require(f"def {cited}[(]", tests, f"tests/ lack the test {cited}{cites}")
            row = None
        else:
            continue
        if row and row != "*":
            scan.require(f'"{re.escape(row)}"', tests, f"tests/ lack the row {row}{cites} (in {cited})")
    return "names of the code found in the guide"


CHECKS = {
    "LayersAboveFoundationIncludeOnlyStandardHeaders": layering,
    "GuideLinksResolve": links,
    "TransportErrorsGuideHasEveryErrorCode": errors,
    "SandboxGuideHasEveryOptionAndFailMode": sandbox,
    "CInterfaceGuideHasEveryFunction": c_interface,
    "ReliabilityGuideCitesOnlyTestsThatExist": cited_tests,
}

if len(sys.argv) != 3 or sys.argv[2] not in CHECKS:
    sys.exit(f"usage: check_sources.py <source root> <{'|'.join(CHECKS)}>")
scan = Scan(Path(sys.argv[1]))
found = CHECKS[sys.argv[2]](scan)
if scan.failures:
    sys.exit("\n".join(scan.failures))
if scan.checked == 0:
    sys.exit(f"nothing checked under {scan.root}: wrong source directory?")
print(scan.checked, found)
