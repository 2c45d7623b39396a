# make test   installs what is missing, builds, runs the whole test suite
# make demo   installs what is missing, builds, runs the demo
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

# Each build variant is a preset of CMakePresets.json (cmake --list-presets);
# its build tree keeps the name scripts and CI use. BUILD names another tree
# for the default preset, which is then built by its directory.
ifeq ($(BUILD),build)
BUILD_TREE = --preset default
else
BUILD_TREE = $(BUILD)
endif
CONFIGURE = cmake --preset default -B $(BUILD) $(CMAKE_FLAGS)

# A compiler cache when ccache is installed, in ccache's own directory under
# $HOME, so that it outlives build trees and clones on one machine. Paths under
# this tree are hashed relative to it (and written so, -ffile-prefix-map), so a
# fresh clone elsewhere, or the planted-fault copy, hits what another built.
# Read by CMake when a build tree is first configured.
ifneq ($(shell command -v ccache 2>/dev/null),)
export CMAKE_C_COMPILER_LAUNCHER ?= ccache
export CMAKE_CXX_COMPILER_LAUNCHER ?= ccache
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR ?= 1
endif

.PHONY: all deps build test demo test-asan test-tsan bench fuzz clean package mutants wheel format

all: build

deps:
	@scripts/install-deps.sh core test

build: deps
	$(CONFIGURE)
	cmake --build $(BUILD_TREE) -j$(JOBS)

test: build
	ctest --preset default --test-dir $(BUILD) -j$(JOBS)

# Formats tests/ with .clang-format (the suite checks it: project.TestsAreFormatted).
format: deps
	scripts/format-tests.sh

# Only what the demo runs: the library, the sandbox server and the host examples (C++, C, Python).
# An existing tree is built as it is configured (cmake --build configures again
# when a CMakeLists.txt changed): after `make test` nothing new is built.
demo: deps
	@[ -f $(BUILD)/CMakeCache.txt ] || $(CONFIGURE)
	cmake --build $(BUILD) -j$(JOBS) --target orvalis-sandbox host-app checkout-c orvalis-python
	scripts/demo.sh $(BUILD)

# The sanitizers, each in a build tree of its own, build and run only the
# programs whose memory or threads they see something in that the plain runs
# cannot; the rest repeat the same library paths single-threaded.
# AddressSanitizer + UndefinedBehaviorSanitizer (and the demo): the C interface's
# handles and ownership across the boundary, operations cancelled and freed
# while in flight, the session's buffers and process exit, the readers on
# hostile and edge-case input (the fuzz step adds random input), Value's
# sharing, OpenSSL handles and wiped key material, PKCS#12 parsing, the token's
# session pool and PINs, the journal's SQLite handles and statements.
ASAN_TESTS ?= capi_tests operation_handle_tests transport_tests reliability_input_tests xml_tests json_tests \
              foundation_tests crypto_tests keys_tests token_tests journal_tests
# ThreadSanitizer: everything that crosses the session's delivery (or decode) threads or calls
# in from several threads: transfers and completions, cancel/wait/shutdown,
# cancels from C, the facades and the log handler under concurrent callers,
# signing contexts, shared Values and parsers used by several threads, the
# token's sessions signing from eight threads, one journal written by many, thousands of
# operations in flight over HTTP/2 against nginx.
TSAN_TESTS ?= transport_tests operation_handle_tests capi_tests services_operation_tests services_request_tests \
              crypto_tests foundation_tests xml_tests token_tests journal_tests http2_tests
only = '^($(subst $(eval) ,|,$(strip $(1))))$$'

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j$(JOBS) --target $(ASAN_TESTS) orvalis-sandbox host-app checkout-c
	ctest --preset asan -j$(JOBS) -R $(call only,$(ASAN_TESTS))
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 scripts/demo.sh build-asan

test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j$(JOBS) --target $(TSAN_TESTS)
	ctest --preset tsan -j$(JOBS) -R $(call only,$(TSAN_TESTS))

# The suite built with clang 14 as a shared library (so the export check runs
# too), in a build tree of its own; `make test` covers g++.
.PHONY: test-clang docs
test-clang:
	@scripts/install-deps.sh core test fuzz
	cmake --preset clang
	cmake --build --preset clang -j$(JOBS)
	ctest --preset clang -j$(JOBS)

# The suite built with clang 14 and LLVM's libc++ (the standard library of
# phones), GoogleTest built from its sources in that tree. The sandbox server
# and its tests are left out: Debian's cpp-httplib is built for libstdc++.
.PHONY: test-libcxx
test-libcxx:
	@scripts/install-deps.sh core test libcxx
	cmake --preset libcxx
	cmake --build --preset libcxx -j$(JOBS)
	ctest --preset libcxx -j$(JOBS)

# The API reference of the public headers, in $(BUILD)/docs/html.
# Only doxygen runs: configuring again (doxygen may have just been installed)
# changes no compiled file, and orvalis_docs depends on none.
docs: deps
	@scripts/install-deps.sh docs
	$(CONFIGURE)
	cmake --build $(BUILD) --target orvalis_docs

# The Python wheel, libOrvalisC inside: $(BUILD)/dist/orvalis-<version>-py3-none-<platform>.whl,
# for `pip install --no-index` into any venv of this system's python3. Made from
# the package build when there is one (its library is already built), else $(BUILD);
# either way it is left in $(BUILD)/dist, where the docs say it is.
WHEEL_BUILD ?= $(if $(wildcard $(PACKAGE_BUILD)/CMakeCache.txt),$(PACKAGE_BUILD),$(BUILD))
wheel: deps
	@[ -f $(WHEEL_BUILD)/CMakeCache.txt ] || $(CONFIGURE)
	cmake --build $(WHEEL_BUILD) -j$(JOBS) --target orvalis-wheel
	@if [ "$(WHEEL_BUILD)" != "$(BUILD)" ]; then mkdir -p $(BUILD)/dist && cp $(WHEEL_BUILD)/dist/orvalis-*.whl $(BUILD)/dist/; fi
	@ls $(BUILD)/dist/orvalis-*.whl

# Debian packages of a shared build (libraries, development, tools, Python) in
# $(PACKAGE_BUILD)/packages, checked by lintian, unpacked and used to build and
# run hosts. PACKAGE_BUILD may name an existing shared build tree (CI reuses
# build-clang): it is configured for /usr, which puts the libraries in the
# multiarch directory.
# Only what building and checking the packages needs is installed (no test tools).
PACKAGE_BUILD ?= build-package
package:
	@scripts/install-deps.sh core package
	@[ -f $(PACKAGE_BUILD)/CMakeCache.txt ] || cmake --preset package -B $(PACKAGE_BUILD)
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(PACKAGE_BUILD) -j$(JOBS)
	cd $(PACKAGE_BUILD) && cpack
	python3 tests/packaging/check_package.py debs --package-dir=$(CURDIR)/$(PACKAGE_BUILD)/packages --source-dir=$(CURDIR) \
	  --build-dir=$(CURDIR)/$(PACKAGE_BUILD) --work-dir=$(CURDIR)/$(PACKAGE_BUILD)/package-check

bench: build
	scripts/bench.sh $(BUILD)

# Every libFuzzer target for FUZZ_SECONDS each (FUZZ_TARGETS picks some), in a
# clang build tree of its own; the library is instrumented for coverage too.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz:
	@scripts/install-deps.sh core fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j$(JOBS)
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The planted faults of tests/mutation/faults.txt, each in a scratch copy of the
# sources (build-mutants): every one must make the tests it names fail.
# MUTANTS=id1,id2 runs some, MUTANTS_SHARD=K/N the K-th of N parts (K from 0).
MUTANTS ?=
MUTANTS_SHARD ?=
mutants: deps
	MUTANTS=$(MUTANTS) MUTANTS_SHARD=$(MUTANTS_SHARD) JOBS=$(JOBS) python3 scripts/mutants.py

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-clang build-libcxx build-package build-mutants
