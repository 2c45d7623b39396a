#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing.
# Usage: scripts/install-deps.sh [core|test|fuzz|libcxx|docs|package|all]...   (default: core)
set -euo pipefail

# What building the library, the tools and the wheel needs.
core=(g++ make cmake pkg-config openssl ca-certificates python3
      libssl-dev libcurl4-openssl-dev libexpat1-dev zlib1g-dev libsqlite3-dev rapidjson-dev nlohmann-json3-dev
      libp11-kit-dev  # loads PKCS#11 modules and parses their URIs (keys in tokens)
      libpq-dev  # libpq-fe.h: the PostgreSQL journal (libpq5 itself is loaded on first use)
      libcpp-httplib-dev  # the sandbox server (orvalis-tools)
      python3-setuptools python3-wheel  # the wheel
      ccache)  # the compiler cache the Makefile uses when it is there
# What the suite and the benchmarks need on top.
test=(libgtest-dev libgmock-dev libbenchmark-dev valgrind python3-pytest
      postgresql-15  # a throwaway server for the PostgreSQL journal (tests/support/pg_cluster.py)
      softhsm2  # a software token for the token tests
      nginx  # a real HTTP/2 server for the transport's tests and benchmark (tests/support/Nginx.h)
      libxml2-utils  # xmllint: an independent check that written XML is well-formed
      clang-format-14  # the format of tests/ (scripts/format-tests.sh --check)
      python3-venv  # a venv to install the wheel into
      python3-h2)  # HTTP/2 test servers: one that sends GOAWAY, bench/inflight's with 100,000 streams at once
fuzz=(clang libclang-rt-14-dev)
# clang with LLVM's standard library; GoogleTest is built from its sources there.
libcxx=(clang libc++-14-dev libc++abi-14-dev googletest)
docs=(doxygen)
# The Debian packages: dependencies read from the binaries, then lintian's checks.
package=(dpkg-dev file lintian)

wanted=()
for group in "${@:-core}"; do
  case "$group" in
    core) wanted+=("${core[@]}") ;;
    test) wanted+=("${test[@]}") ;;
    fuzz) wanted+=("${fuzz[@]}") ;;
    libcxx) wanted+=("${libcxx[@]}") ;;
    docs) wanted+=("${docs[@]}") ;;
    package) wanted+=("${package[@]}") ;;
    all) wanted+=("${core[@]}" "${test[@]}" "${fuzz[@]}" "${libcxx[@]}" "${docs[@]}" "${package[@]}") ;;
    *) echo "unknown package group: $group" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
