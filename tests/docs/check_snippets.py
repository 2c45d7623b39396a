#!/usr/bin/env python3
"""Every C, C++ and Python block of the README and the guides compiles: C and C++ with
-Wall -Wextra -Werror (a fragment is put in a function, after the names it takes from the
text around it), Python as syntax. A fragment's own unused locals are allowed.
usage: check_snippets.py CXX CC INCLUDE_DIRS (';'-separated) FILE.md..."""
import os
import re
import subprocess
import sys

CXX_NAMES = """#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <coroutine>
#include <string>
#include <string_view>
struct Logger { void debug(std::string_view) {} } myLogger;
std::string appResourceDir, consumerKey, keyPassword, transactionId, userId, password;
orvalis::Dictionary answer;
orvalis::ClientConfiguration configuration;
struct Metrics { template <class... A> void record(A&&...) {} } metrics;
void showPairing(orvalis::Dictionary);  // the host's own
void showFailure(const orvalis::Error&);
orvalis::ZRBExpressCheckoutDataRequest cartPayment();
std::string readFile(const std::string& path);
struct Task {  // for fragments that co_await
    struct promise_type {
        Task get_return_object() { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() {}
    };
};
"""
C_NAMES = """#include <Orvalis/C/orvalis.h>
#include <Orvalis/C/orvalis_testing.h>
#include <stdio.h>
#include <string.h>
static const char* password = "";
static orvalis_client_config* config;
static int my_metrics;
void record(void* metrics, ...);
"""
FLAGS = ["-fsyntax-only", "-Wall", "-Wextra", "-Werror", "-Wno-unused-variable", "-Wno-unused-but-set-variable"]
FILE_SCOPE = ("#include", "using namespace")


def blocks(path):
    text = open(path, encoding="utf-8").read()
    for m in re.finditer(r"^```(cpp|c|python)\n(.*?)^```", text, re.S | re.M):
        yield m.group(1), m.group(2), text.count("\n", 0, m.start()) + 1


# A definition (a function, a test) or a declaration goes before the fragment's statements.
DEFINITION = re.compile(r"^(?!(if|for|while|switch|else|do|return)\b)[^\s=][^=]*\)\s*(const\s*)?\{\s*(//.*)?$")
DECLARATION = re.compile(r"^[\w:<>, ]+[\s*&]+\w+\(\s*(const\s+)?[\w:<>]+[\s*&]+\w+.*\);\s*(//.*)?$")


def split(code):
    """The fragment's file-scope lines and its statements."""
    top, body, lines = [], [], iter(code.splitlines())
    for line in lines:
        if line.startswith(FILE_SCOPE) or DECLARATION.match(line):
            top.append(line)
        elif DEFINITION.match(line):
            top.append(line)
            for inner in lines:  # up to the closing brace at the start of a line
                top.append(inner)
                if inner.startswith("}"):
                    break
        else:
            body.append(line)
    return "\n".join(top), "\n".join(body)


def program(lang, code):
    if re.search(r"\bint main\s*\(", code):
        return code  # a whole program stands as it is
    top, body = split(code)
    if lang == "c":
        return f"{C_NAMES}{top}\nvoid snippet(void) {{\n{body}\n}}\n"
    names = CXX_NAMES + ("#include <gtest/gtest.h>\nusing namespace orvalis;\n" if "TEST(" in code else "")
    head = "Task snippet() {" if "co_await" in code else "void snippet() {"
    return f"{names}{top}\n{head}\nusing namespace orvalis;\n{body}\n}}\n"


def main():
    cxx, cc, includes, files = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    dirs = ["-I" + d for d in includes.split(";") if d]
    failed = checked = 0
    for path in files:
        for lang, code, line in blocks(path):
            where = f"{os.path.basename(path)}:{line}"
            checked += 1
            if lang == "python":
                try:
                    compile(code, where, "exec")
                except SyntaxError as e:
                    print(f"{where}: {e}")
                    failed += 1
                continue
            compiler, std, language = (cc, "-std=c11", "c") if lang == "c" else (cxx, "-std=c++20", "c++")
            run = subprocess.run([compiler, std, *FLAGS, *dirs, "-x", language, "-"], input=program(lang, code),
                                 capture_output=True, text=True)
            if run.returncode != 0:
                print(f"{where}: does not compile\n{run.stderr}")
                failed += 1
    print(f"{checked} blocks, {failed} failed")
    return 1 if failed or not checked else 0


if __name__ == "__main__":
    sys.exit(main())
