# Front door: make (build), make test, make sanitize, make demo, make serve, make bench,
# make fuzz, make memcheck, make install PREFIX=... [DESTDIR=...], make package, make abi-baseline
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
CMAKE_FLAGS ?=

.PHONY: all build test sanitize demo serve bench fuzz memcheck install package abi-baseline clean

FUZZ_SECONDS ?= 30

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

sanitize:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

install: build
	DESTDIR=$(DESTDIR) cmake --install build --prefix $(PREFIX)

# Debian package of the programs and the library (build/zelstats_*.deb).
package: build
	cd build && cpack -G DEB

# Rewrites tests/abi/zelcommon.symbols from the shared library just built, after a deliberate
# change of the exported interface.
abi-baseline: build
	bash tests/abi_check.sh build/libzelcommon.so.1 tests/abi/zelcommon.symbols --update

# Demo: a simulated chunk server writes 100 days of statistics, then statsdump shows them as a
# table (first and last rows of range 1, 6-minute slots) and as charts of one day and one month.
DEMO_DIR = build/demo
DEMO_FILE = $(DEMO_DIR)/csstats.zel
DEMO_FIELDS = cpu,bwin,hddopsr,space,chunks,hddcnt
demo:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target statsgen statsdump
	mkdir -p $(DEMO_DIR)
	build/statsgen -o $(DEMO_FILE)
	build/statsdump -i $(DEMO_FILE) -f $(DEMO_FIELDS) -r 1 -H -d > $(DEMO_DIR)/table.txt
	@echo "== $(DEMO_FILE), range 1 (6-minute slots), first rows:"
	@head -n 6 $(DEMO_DIR)/table.txt
	@echo "== last rows (the newest slot holds only the minutes recorded so far):"
	@tail -n 5 $(DEMO_DIR)/table.txt
	@echo "== whole table: $(DEMO_DIR)/table.txt"
	build/statsdump -i $(DEMO_FILE) -f cpu,space,bwin -r 0 -p $(DEMO_DIR)/day.png
	build/statsdump -i $(DEMO_FILE) -f cpu,space,bwin -r 2 -p $(DEMO_DIR)/month.png
	@ls -l $(DEMO_DIR)/*.png

# The demo data file served by statsweb in the foreground (Ctrl-C stops it); it prints the URL.
# The simulated history ends at the current minute, so that /metrics has statistics to show (for
# 10 minutes: the file is not written on; make serve again makes a new one); -n localhost is the
# instance that docs/prometheus/prometheus.yml gives it.
SERVE_LISTEN ?= 127.0.0.1:9740
SERVE_FILE = $(DEMO_DIR)/serve.zel
serve:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target statsgen statsweb
	mkdir -p $(DEMO_DIR)
	build/statsgen -o $(SERVE_FILE) -e $$(( $$(date +%s) / 60 * 60 ))
	build/statsweb/statsweb -i $(SERVE_FILE) -l $(SERVE_LISTEN) -n localhost -v

clean:
	rm -rf build build-asan build-bench build-fuzz build-golden

# Benchmarks: micro-benchmarks and whole-process figures (bench/results.md).
bench: build
	bash bench/run.sh

# Fuzz targets built with clang's libFuzzer, each run for FUZZ_SECONDS.
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh

# End-to-end runs under valgrind memcheck.
memcheck: build
	bash tests/memcheck.sh build
