# SPDX-License-Identifier: Apache-2.0
# Front door: make help lists the targets. Every target works in the build folder $(BUILD)
# (default build/); make sanitize, make tsan and make bench keep their own (build-asan,
# build-tsan, build-bench).
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
CMAKE_FLAGS ?=

.PHONY: all help build test deps test-deps sanitize tsan demo serve bench fuzz memcheck install dist \
	package package-check abi-baseline clean

FUZZ_SECONDS ?= 30

all: build

BUILD ?= build

# One line per target: the "## " comment after its name.
help:
	@sed -n 's/^\([a-z-]*\):.*## \(.*\)/\1\t\2/p' $(MAKEFILE_LIST) | expand -t 16


build: ## release build of the programs, the libraries and the tests in BUILD (build/)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# Everything the project uses, installed with apt-get where missing (as root).
deps: ## install what the project needs from Debian (tools/install-deps.sh)
	bash tools/install-deps.sh

# What the tests use; where it cannot be installed, the checks that need it report themselves
# skipped, and the end of the run lists them with the reason.
TEST_PURPOSES = build statsweb tests package prometheus browser
test-deps: ## install what the tests need; without it the checks that need it are skipped
	@bash tools/install-deps.sh $(TEST_PURPOSES) || \
	  echo "make test: going on without them; the checks that need them are skipped"

# ctest in build folder $(1), with environment $(2) and CTEST_ARGS (for example -E to leave
# checks out); its status is kept while the skipped checks are listed after it.
CTEST_ARGS ?=
define run_ctest
	@status=0; $(2) ctest --test-dir $(1) --output-on-failure -j $(JOBS) $(CTEST_ARGS) \
	  --output-junit $(abspath $(1))/Testing/junit.xml || status=$$?; \
	bash tests/skipped.sh $(1)/Testing/junit.xml; exit $$status
endef

# SKIP_DEPS=1: the caller has installed what the tests need (.ci/run, once for the whole run).
test: $(if $(SKIP_DEPS),,test-deps) ## build, then every test suite (ZEL_REPRODUCIBLE=1: the packages twice)
	$(MAKE) --no-print-directory build
	$(call run_ctest,$(BUILD))

sanitize: ## the test suites under AddressSanitizer and UBSan in build-asan
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	$(call run_ctest,build-asan,ASAN_OPTIONS=detect_leaks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)

# ThreadSanitizer build of statsweb in build-tsan/, and its suites there, the soak included (the
# server's polling threads, its store worker and the header watch), $(JOBS) suites at a time, each
# printed whole when it ends; each suite fails on a report.
TSAN_TESTS = statsweb_hostile_test statsweb_prometheus_test statsweb_soak_test statsweb_test \
	statsweb_unit_test statsweb_tools_test
tsan: ## the statsweb suites under ThreadSanitizer in build-tsan
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_TSAN=ON $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS) --target statsweb $(TSAN_TESTS)
	@printf '%s\n' $(TSAN_TESTS) | xargs -P $(JOBS) -I{} sh -c \
	  'TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" \
	     build-tsan/{} >build-tsan/{}.log 2>&1; s=$$?; cat build-tsan/{}.log; exit $$s' || \
	  { echo "make tsan: a suite failed or ThreadSanitizer reported"; exit 1; }

install: build ## install into PREFIX (default /usr/local), under DESTDIR if given
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The release tarball zelstats_VERSION.orig.tar.xz of the tracked files, reproducible
# (packaging/dist.sh), in $(DIST_DIR).
DIST_DIR ?= $(BUILD)
dist: ## the release tarball zelstats_VERSION.orig.tar.xz in BUILD
	bash packaging/dist.sh . $(DIST_DIR)

# The source package and the Debian packages libzelcommon1, libzelcommon-dev and zelstats,
# built from the release tarball as the archive would (packaging/build-packages.sh); the tree
# stays clean, and the tarball, .dsc, .debs, .changes and .buildinfo land in $(PACKAGE_DIR).
PACKAGE_DIR ?= $(BUILD)/packages
package: ## the source package and the .debs from the release tarball, in BUILD/packages
	bash packaging/build-packages.sh . $(PACKAGE_DIR)
	@ls -l $(PACKAGE_DIR)/*.dsc $(PACKAGE_DIR)/*.deb

# The package check of make test, with a second package build compared byte for byte with the
# first (reproducible builds).
package-check: build ## the package check, then a second build compared byte for byte
	bash tests/package_check.sh . $(BUILD) --reproducible

# Rewrites the ABI baseline tests/abi/zelcommon.abi from the shared library just built, after a
# deliberate change of its interface.
abi-baseline: build ## rewrite tests/abi/zelcommon.abi from the library just built
	ZEL_ABI_UPDATE=1 ctest --test-dir $(BUILD) -R '^abi_check$$' --output-on-failure
	git diff --stat -- tests/abi/

# Demo: a simulated chunk server writes 100 days of statistics, then statsdump shows them as a
# table (first and last rows of range 1, 6-minute slots) and as charts of one day and one month.
DEMO_DIR = $(BUILD)/demo
DEMO_FILE = $(DEMO_DIR)/csstats.zel
DEMO_FIELDS = cpu,bwin,hddopsr,space,chunks,hddcnt
demo: ## 100 simulated days written by statsgen, shown as a table and charts
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target statsgen statsdump
	mkdir -p $(DEMO_DIR)
	$(BUILD)/statsgen -o $(DEMO_FILE)
	$(BUILD)/statsdump -i $(DEMO_FILE) -f $(DEMO_FIELDS) -r 1 -H -d > $(DEMO_DIR)/table.txt
	@echo "== $(DEMO_FILE), range 1 (6-minute slots), first rows:"
	@head -n 6 $(DEMO_DIR)/table.txt
	@echo "== last rows (the newest slot holds only the minutes recorded so far):"
	@tail -n 5 $(DEMO_DIR)/table.txt
	@echo "== whole table: $(DEMO_DIR)/table.txt"
	$(BUILD)/statsdump -i $(DEMO_FILE) -f cpu,space,bwin -r 0 -p $(DEMO_DIR)/day.png
	$(BUILD)/statsdump -i $(DEMO_FILE) -f cpu,space,bwin -r 2 -p $(DEMO_DIR)/month.png
	@ls -l $(DEMO_DIR)/*.png

# The demo data file served by statsweb in the foreground (Ctrl-C stops it); it prints the URL.
# The simulated history ends at the current minute, so that /metrics has statistics to show (for
# 10 minutes: the file is not written on; make serve again makes a new one); -n localhost is the
# instance that docs/prometheus/prometheus.yml gives it.
SERVE_LISTEN ?= 127.0.0.1:9740
SERVE_FILE = $(DEMO_DIR)/serve.zel
serve: ## statsweb on demo data ending now, at SERVE_LISTEN (Ctrl-C stops it)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target statsgen statsweb
	mkdir -p $(DEMO_DIR)
	$(BUILD)/statsgen -o $(SERVE_FILE) -e $$(( $$(date +%s) / 60 * 60 ))
	$(BUILD)/statsweb/statsweb -i $(SERVE_FILE) -l $(SERVE_LISTEN) -n localhost -v

clean: ## remove BUILD and the other build folders
	rm -rf $(BUILD) build build-asan build-tsan build-bench build-fuzz build-golden

# Benchmarks: micro-benchmarks and whole-process figures (bench/results.md).
bench: build ## benchmarks, written to bench/results.md
	ZEL_BENCH_BIN=$(BUILD) bash bench/run.sh

# Fuzz targets built with clang's libFuzzer, each run for FUZZ_SECONDS.
fuzz: ## every fuzz target for FUZZ_SECONDS (clang, libFuzzer)
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh

# End-to-end runs under valgrind memcheck.
memcheck: build ## end-to-end runs under valgrind memcheck
	bash tests/memcheck.sh $(BUILD)
