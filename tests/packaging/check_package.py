#!/usr/bin/env python3
"""usage: check_package.py install|subproject|headers|debs --name=value...: the packaging checks."""
import argparse
import concurrent.futures
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path


def fail(message):
    sys.exit(message)


def run(*command, cwd=None, env=None, expect_failure=False, timeout=300):
    """Runs a command; its stdout and stderr. Fails the check when the outcome is not the expected one."""
    done = subprocess.run([str(c) for c in command], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)
    if (done.returncode == 0) == expect_failure:
        fail("%s (%d): %s\n%s\n%s" % ("expected to fail but succeeded" if expect_failure else "failed",
                                      done.returncode, shlex.join(map(str, command)), done.stdout, done.stderr))
    return done.stdout, done.stderr


def found(pattern):
    return sorted(glob.glob(pattern, recursive=True))


def c_identifier(text):
    return re.sub(r"[^A-Za-z0-9_]", "_", text)


# Installs a build into a fresh prefix and builds hosts against the installed tree only: examples/host-app
# through find_package(Orvalis CONFIG), a consumer through pkg-config, the tools, C hosts and the wheel in a
# venv, which then run against the build's sandbox.
def install(a, work):
    prefix = os.path.join(work, "prefix")
    run(a.cmake, "--install", a.build_dir, "--prefix", prefix)

    # The layout a host relies on.
    layout = {what: found("%s/**/%s" % (prefix, name)) for what, name in [
        ("config", "OrvalisConfig.cmake"), ("version", "OrvalisConfigVersion.cmake"), ("pkg-config", "orvalis.pc"),
        ("library", "libOrvalis.*"), ("C library", "libOrvalisC.so.1")]}
    for what, files in layout.items():
        if not files:
            fail("the installed tree lacks its %s file" % what)
    if not os.path.exists(prefix + "/include/Orvalis/ServiceInfrastructure/Orvalis.h"):
        fail("the installed tree lacks the umbrella header")
    if found(prefix + "/include/**/*.cpp"):
        fail("sources installed with the headers: %s" % found(prefix + "/include/**/*.cpp"))

    link_flags = ("-fsanitize=%s " % a.sanitize if a.sanitize else "") + a.extra_flags
    flags = ("-fno-omit-frame-pointer " if a.sanitize else "") + link_flags
    extra = shlex.split(flags + " " + link_flags)

    # 1. examples/host-app as a project of its own.
    host_app = os.path.join(work, "host-app")
    run(a.cmake, "-S", a.source_dir + "/examples/host-app", "-B", host_app, "-DCMAKE_PREFIX_PATH=" + prefix,
        "-DCMAKE_CXX_COMPILER=" + a.cxx, "-DCMAKE_BUILD_TYPE=" + a.build_type, "-DCMAKE_CXX_FLAGS=" + flags,
        "-DCMAKE_EXE_LINKER_FLAGS=" + link_flags)
    run(a.cmake, "--build", host_app)
    if not os.path.exists(host_app + "/host-app"):
        fail("host-app was not built")

    # 2. A consumer compiled with the flags pkg-config gives.
    os.environ["PKG_CONFIG_PATH"] = os.path.dirname(layout["pkg-config"][0])
    lib_dir = os.path.dirname(layout["library"][0])
    version = run("pkg-config", "--modversion", "orvalis")[0].strip()
    pc_flags = shlex.split(run("pkg-config", "--cflags", "--libs", "orvalis")[0])
    run(a.cxx, "-std=c++20", *extra, '-DEXPECTED_VERSION="%s"' % version,
        a.source_dir + "/tests/packaging/consumer/main.cpp", *pc_flags, "-Wl,-rpath," + lib_dir, "-o",
        work + "/consumer")
    if "consumer: ok" not in run(work + "/consumer")[0]:
        fail("the pkg-config consumer did not run as expected")

    # 3. Every installed tool runs from the prefix (a shared library is found relative to the tool), and
    # the sample template is there.
    tools = sorted(os.path.basename(t) for t in glob.glob(prefix + "/bin/orvalis-*"))
    if a.tools and not {"orvalis-sign", "orvalis-xml"} <= set(tools):
        fail("tools are missing from the install: %s" % tools)
    for tool in tools:
        printed = run(prefix + "/bin/" + tool, "--version")[0]
        if printed != "%s (Orvalis) %s\n" % (tool, version):
            fail("the installed %s did not print its version: %s" % (tool, printed))
    if not os.path.exists(prefix + "/share/orvalis/AuthorizePairing.xml"):
        fail("the sample AuthorizePairing.xml is not installed")

    # 4. The version file refuses another major version before anything else is looked at (any 1.x is
    # taken: host-app asked for 1 above).
    v2 = project(work + "/version-2", "NONE", "find_package(Orvalis 2 CONFIG REQUIRED)\n")
    refused = run(a.cmake, "-S", v2, "-B", v2 + "/b", "-DCMAKE_PREFIX_PATH=" + prefix, expect_failure=True)[1]
    if "version: " + version not in refused:
        fail("major version 2 was refused for another reason:\n" + refused)

    # 5. C hosts (not with libc++, whose flags the C driver does not take, nor with sanitizers, whose
    # builds run the demo themselves): examples/c as a C-only project linking Orvalis::C, then
    # Orvalis::Orvalis; checkout.c through pkg-config's orvalis-c, then orvalis. With the installed
    # host-app and the wheel in a plain venv, each runs against the sandbox.
    plain = not a.sanitize and "stdlib" not in a.extra_flags
    if a.tools and plain:
        c_apps = []
        for target in ["Orvalis::C", "Orvalis::Orvalis"]:
            built = os.path.join(work, c_identifier(target))
            run(a.cmake, "-S", a.source_dir + "/examples/c", "-B", built, "-DORVALIS_TARGET=" + target,
                "-DCMAKE_PREFIX_PATH=" + prefix, "-DCMAKE_BUILD_TYPE=" + a.build_type, "-DCMAKE_C_FLAGS=" + flags,
                "-DCMAKE_EXE_LINKER_FLAGS=" + link_flags)
            run(a.cmake, "--build", built)
            c_apps.append(built + "/checkout-c")
        for module in ["orvalis-c", "orvalis"]:
            pc_flags = shlex.split(run("pkg-config", "--cflags", "--libs", module)[0])
            c_apps.append("%s/%s-cc" % (work, module))
            run("cc", "-std=c11", *extra, a.source_dir + "/examples/c/checkout.c", *pc_flags,
                "-Wl,-rpath," + lib_dir, "-o", c_apps[-1])
        python = ""
        if a.python:
            run(a.cmake, "--build", a.build_dir, "--target", "orvalis-wheel")
            wheel = found("%s/dist/orvalis-%s-py3-none-*.whl" % (a.build_dir, version))
            run(a.python, "-m", "venv", work + "/venv")
            run(work + "/venv/bin/pip", "install", "--no-index", *wheel)
            python = work + "/venv/bin/python"
            loaded = run(python, "-c", "print(__import__('orvalis._native').__dict__['_native']._lib._name)")[0]
            if not loaded.startswith(work + "/venv/") or not loaded.endswith("/orvalis/libOrvalisC.so.1\n"):
                fail("the installed wheel loads another library: " + loaded)
        demo(a, {"DEMO_HOST_APP": host_app + "/host-app", "DEMO_C_APPS": " ".join(c_apps), "DEMO_PYTHON": python})

    # 5b. The Python package of the install, as docs/python.md has Python find it (one .pth line), loads
    # the prefix's own libOrvalisC with no variable set.
    if a.python and plain:
        run(a.python, "-m", "venv", "--without-pip", work + "/plain")
        site = run(work + "/plain/bin/python", "-c", "print(__import__('sysconfig').get_paths()['purelib'])")[0].strip()
        if not os.path.isdir(site):
            fail("the venv names no site-packages folder: '%s'" % site)
        Path(site + "/orvalis.pth").write_text(prefix + "/lib/python3/dist-packages\n")
        env = {k: v for k, v in os.environ.items() if k not in ("ORVALIS_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
        loaded = run(work + "/plain/bin/python", "-c",
                     "print(__import__('orvalis')._native._lib._name, __import__('orvalis').library_version())",
                     env=env)[0]
        if loaded != "%s %s\n" % (layout["C library"][0], version):
            fail("the installed Python package loads another library: " + loaded)

    # 6. A build of the other linkage installed into the same prefix (a stub stands for it) keeps its
    # targets file through this one's install, and Orvalis_SHARED, else BUILD_SHARED_LIBS, picks between them.
    cmake_dir = os.path.dirname(layout["config"][0])
    own = "shared" if os.path.exists(cmake_dir + "/OrvalisTargets-shared.cmake") else "static"
    other = "static" if own == "shared" else "shared"
    Path(cmake_dir, "OrvalisTargets-%s.cmake" % other).write_text("add_library(Orvalis::Orvalis INTERFACE IMPORTED)\n")
    run(a.cmake, "--install", a.build_dir, "--prefix", prefix)
    linkage = project(work + "/linkage", "C", "find_package(Orvalis CONFIG REQUIRED)\n"
                      "get_target_property(t Orvalis::Orvalis TYPE)\nmessage(STATUS \"type=${t}\")\n")
    for picked, *case in [("static", "-DBUILD_SHARED_LIBS=OFF"), ("shared", "-DBUILD_SHARED_LIBS=ON"),
                          ("shared", "-DOrvalis_SHARED=ON"), ("static", "-DOrvalis_SHARED=OFF", "-DBUILD_SHARED_LIBS=ON")]:
        printed = run(a.cmake, "-S", linkage, "-B", linkage + "/" + c_identifier("".join(case)),
                      "-DCMAKE_PREFIX_PATH=" + prefix, *case)[0]
        if ("type=INTERFACE" in printed) == (picked == own):
            fail("%s did not pick the %s targets:\n%s" % (case, picked, printed))

    print("installed package works from " + prefix)


def project(folder, languages, body):
    os.makedirs(folder, exist_ok=True)
    with open(folder + "/CMakeLists.txt", "w") as f:
        f.write("cmake_minimum_required(VERSION 3.23)\nproject(p LANGUAGES %s)\n%s" % (languages, body))
    return folder


def demo(a, env):
    """Runs the demo script against the build's sandbox with the given hosts."""
    run("bash", a.source_dir + "/scripts/demo.sh", a.build_dir, env=dict(os.environ, **env))


# Orvalis added with add_subdirectory to a parent that has a `docs` target of its own and sets no build
# type: it configures, leaves the parent's cache alone and brings nothing but the library.
def subproject(a, work):
    parent = project(work + "/parent", "CXX", 'add_custom_target(docs)\nadd_subdirectory("%s" orvalis)\n'
                     "add_executable(app main.cpp)\ntarget_link_libraries(app PRIVATE Orvalis::Orvalis)\n" % a.source_dir)
    with open(parent + "/main.cpp", "w") as f:
        f.write("#include <Orvalis/ServiceInfrastructure/Orvalis.h>\nint main() { return ORVALIS_VERSION_MAJOR - 1; }\n")
    run(a.cmake, "-S", parent, "-B", work + "/b", "-DCMAKE_CXX_COMPILER=" + a.cxx)
    build_type = re.search(r"^CMAKE_BUILD_TYPE:[A-Z]*=(.*)$", Path(work + "/b/CMakeCache.txt").read_text(), re.M)
    if not build_type or build_type.group(1):
        fail("the parent's build type was written: %s" % (build_type and build_type.group(0)))
    targets = re.findall(r"^\.\.\. ([^ \n]+)", run(a.cmake, "--build", work + "/b", "--target", "help")[0], re.M)
    expected = {"all", "clean", "depend", "edit_cache", "rebuild_cache", "list_install_components", "install",
                "install/local", "install/strip", "help", "app", "docs", "orvalis", "orvalis_docs", "orvalis_internal"}
    more = [t for t in targets if t not in expected and not re.search(r"\.(o|i|s)$|^(Continuous|Experimental|Nightly)", t)]
    if more:
        fail("a subproject defines more than the library: %s" % more)


HIDDEN = ["openssl/", "curl/", "expat.h", "expat_external.h", "rapidjson/", "nlohmann/", "httplib.h"]


# Every public header compiles on its own (twice in one file, so a missing include guard shows too) and
# pulls in no header of the libraries hidden from hosts, nor an internal one; below C++20 the umbrella
# header stops with its own message first.
def headers(a, work):
    flags = ["-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-I", a.source_dir,
             "-I", a.generated_dir]
    paths = [line.strip() for line in Path(a.headers_file).read_text().splitlines() if line.strip()]
    if not paths:
        fail("no public header found in " + a.headers_file)
    rels = [os.path.relpath(p, a.generated_dir if p.startswith(a.generated_dir + "/") else a.source_dir) for p in paths]
    failures = ["%s is internal (detail/) but installed as a public header" % r for r in rels if "/detail/" in r]

    def compile_alone(rel):
        stem = os.path.join(work, c_identifier(rel))
        Path(stem + ".cpp").write_text("#include <%s>\n#include <%s>\n" % (rel, rel))
        done = subprocess.run([a.cxx, *flags, "-MD", "-MF", stem + ".d", stem + ".cpp"], capture_output=True,
                              text=True, timeout=240)
        if done.returncode != 0:
            return ["%s does not compile on its own:\n%s" % (rel, done.stderr)]
        deps = Path(stem + ".d").read_text()
        wrong = ["%s includes %s, a private dependency" % (rel, h) for h in HIDDEN if h in deps]
        detail = re.search(r"Orvalis/[A-Za-z/]*detail/[A-Za-z0-9_]+\.h", deps)
        if detail:
            wrong.append("%s includes %s, which is not installed" % (rel, detail.group(0)))
        if rel == "Orvalis/ServiceInfrastructure/Orvalis.h" and "TestSeams.h" in deps:
            wrong.append("the umbrella header pulls in the test seams")
        return wrong

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:  # one compiler per core
        failures += [failure for wrong in pool.map(compile_alone, rels) for failure in wrong]
    done = subprocess.run([a.cxx, "-std=c++17", "-fsyntax-only", "-I", a.source_dir, "-I", a.generated_dir, "-x", "c++",
                           "-"], input="#include <Orvalis/ServiceInfrastructure/Orvalis.h>\n", capture_output=True,
                          text=True, timeout=120)
    first_error = (re.findall(r"error: [^\n]*", done.stderr) or [""])[0]
    if done.returncode == 0 or "needs C++20" not in first_error:
        failures.append("below C++20 the first error is not ours: " + first_error)
    if failures:
        fail("\n".join(failures))
    print("%d public headers compile on their own" % len(rels))


MULTIARCH = r"usr/lib/[a-z0-9_]+-[a-z0-9_-]+/"
# package -> files it must hold, packages it must depend on
PACKAGES = {
    "liborvalis1": ([MULTIARCH + r"libOrvalis\.so\.1"], []),
    "liborvalisc1": ([MULTIARCH + r"libOrvalisC\.so\.1"], []),
    "liborvalis-dev": ([r"include/Orvalis/ServiceInfrastructure/Orvalis\.h", r"include/Orvalis/Version\.h",
                        MULTIARCH + r"libOrvalis\.so ", MULTIARCH + r"libOrvalisC\.so ", r"OrvalisConfig\.cmake",
                        r"orvalis\.pc", r"orvalis-c\.pc", r"share/orvalis/AuthorizePairing\.xml"],
                       ["liborvalis1", "liborvalisc1", "libssl-dev"]),
    "orvalis-tools": ([r"bin/orvalis-sign", r"bin/orvalis-xml", r"bin/orvalis-sandbox", r"man1/orvalis-sandbox\.1\.gz"],
                      ["liborvalis1", r"libcpp-httplib0\.11", "libssl3"]),
    "python3-orvalis": ([r"usr/lib/python3/dist-packages/orvalis/_native\.py"], ["liborvalisc1", "python3"]),
}


# The Debian packages of a shared build: lintian finds no error, what each holds and depends on, ldconfig
# run by dpkg's trigger alone, no build directory inside any shipped file; then hosts built against the
# unpacked development package run against the unpacked sandbox.
def debs(a, work):
    root = work + "/root"
    os.makedirs(work + "/control")
    lintian = subprocess.run(["lintian", "--fail-on", "error", *found(a.package_dir + "/*.deb")],
                             capture_output=True, text=True, timeout=600)
    print("lintian:\n" + lintian.stdout + lintian.stderr)
    if lintian.returncode != 0:
        fail("lintian found errors (%d)" % lintian.returncode)
    if "maintscript-calls-ldconfig" in lintian.stdout + lintian.stderr:
        fail("a maintainer script calls ldconfig beside the trigger")
    for package, (files, depends) in PACKAGES.items():
        deb = found("%s/%s_*.deb" % (a.package_dir, package))
        if not deb:
            fail("no %s package in %s" % (package, a.package_dir))
        contents = run("dpkg-deb", "--contents", deb[0])[0]
        for expected in files:
            if not re.search(expected, contents):
                fail("%s lacks %s:\n%s" % (package, expected, contents))
        if re.search(r"\.cpp|/tests?/|gtest", contents):
            fail("%s holds files that are not for users:\n%s" % (package, contents))
        field = run("dpkg-deb", "--field", deb[0], "Depends")[0]
        for expected in depends:
            if not re.search(r"(^|, )%s( |,|\n|$)" % expected, field):
                fail("%s does not depend on %s: %s" % (package, expected, field))
        # A host that never names a PostgreSQL database runs without libpq: it is suggested, not linked.
        if "libpq" in field:
            fail("%s depends on libpq: %s" % (package, field))
        library = package in ("liborvalis1", "liborvalisc1")
        if library and "libpq5" not in run("dpkg-deb", "--field", deb[0], "Suggests")[0]:
            fail("%s does not suggest libpq5" % package)
        run("dpkg-deb", "-x", deb[0], root)
        # ldconfig once per install: the libraries' packages by the trigger, no script calls it.
        control = "%s/control/%s" % (work, package)
        run("dpkg-deb", "-e", deb[0], control)
        for script in found(control + "/post*") + found(control + "/pre*"):
            if "ldconfig" in Path(script).read_text(errors="replace"):
                fail("%s: %s calls ldconfig" % (package, script))
        if library and not os.path.exists(control + "/triggers"):
            fail("%s has no ldconfig trigger" % package)

    # No path of the machine that built them inside any shipped file (what `strings` shows).
    for folder, _, names in os.walk(root):
        for shipped in (os.path.join(folder, name) for name in names):
            if os.path.islink(shipped):
                continue
            text = run("strings", "-a", shipped)[0]
            for built in (a.source_dir, a.build_dir):
                if built in text:
                    fail("%s holds the build path %s" % (shipped, built))

    # The host examples against the unpacked development package; they, the Python module and the
    # sandbox run from where they were unpacked.
    for example in ("host-app", "c"):
        run(a.cmake, "-S", "%s/examples/%s" % (a.source_dir, example), "-B", "%s/%s" % (work, example),
            "-DCMAKE_PREFIX_PATH=" + root + "/usr")
        run(a.cmake, "--build", "%s/%s" % (work, example))
    lib_dir = os.path.dirname(found(root + "/usr/lib/*/libOrvalisC.so.1")[0])
    demo(a, {"LD_LIBRARY_PATH": lib_dir, "PYTHONPATH": root + "/usr/lib/python3/dist-packages", "DEMO_PYTHON": "python3",
             "DEMO_SANDBOX": root + "/usr/bin/orvalis-sandbox", "DEMO_HOST_APP": work + "/host-app/host-app",
             "DEMO_C_APPS": work + "/c/checkout-c"})
    print("packages hold what they should; hosts built against liborvalis-dev run")


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("check", choices=["install", "subproject", "headers", "debs"])
    for name in ["build-dir", "source-dir", "work-dir", "cxx", "build-type", "sanitize", "extra-flags", "python",
                 "headers-file", "generated-dir", "package-dir"]:
        parser.add_argument("--" + name, default="")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--tools", type=lambda v: v.upper() in ("1", "ON", "TRUE", "YES"), default=False)
    a = parser.parse_args()
    if a.python.endswith("-NOTFOUND"):
        a.python = ""
    shutil.rmtree(a.work_dir, ignore_errors=True)  # a fresh folder, left only when the check fails
    os.makedirs(a.work_dir)
    {"install": install, "subproject": subproject, "headers": headers, "debs": debs}[a.check](a, a.work_dir)
    shutil.rmtree(a.work_dir)


if __name__ == "__main__":
    main()
