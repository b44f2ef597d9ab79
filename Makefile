# The README's commands. Each installs what is missing first, so a fresh
# machine needs nothing else.
JOBS      ?= $(shell nproc)
BUILD     ?= build
TESTBUILD ?= build-test
BENCHBUILD ?= build-bench
FUZZBUILD ?= build-fuzz
# Seconds each fuzz target runs, and where their finds and logs go.
FUZZ_SECONDS ?= 180
FUZZ_SCRATCH ?= /tmp/flashwright-fuzz
FUZZ_TARGETS := image xsvf fs_restore registry_text console_input
ARGS      ?=

# What `make run` builds: the program and the tools the README uses beside it.
PROGRAMS  := flashwright fwmodule fwimage

.PHONY: all deps configure build run test deb powercut bench fuzz clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS)
	@# The program answers 1 for success and 0 for failure, both ordinary
	@# ends of a run; anything else (a bad option, a crash) fails make.
	@$(BUILD)/flashwright $(ARGS); status=$$?; [ $$status -le 1 ]

# A separate tree with AddressSanitizer and UndefinedBehaviorSanitizer.
test: deps
	@cmake -S . -B $(TESTBUILD) -DCMAKE_BUILD_TYPE=Debug -DFW_SANITIZE=ON >/dev/null
	@cmake --build $(TESTBUILD) -j $(JOBS)
	cd $(TESTBUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# A Debian package of the three programs, the Qt plug-in and the man pages,
# into $(BUILD); its dependencies are what they link (dpkg-shlibdeps).
deb: configure
	@cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS)
	cd $(BUILD) && cpack -G DEB

# The power-cut matrix in full (50 cuts per operation and board) on the
# sanitizer build; `make test` runs a sample of it.
powercut: deps
	@cmake -S . -B $(TESTBUILD) -DCMAKE_BUILD_TYPE=Debug -DFW_SANITIZE=ON >/dev/null
	@cmake --build $(TESTBUILD) -j $(JOBS) --target test_powercut
	@JOBS=$(JOBS) scripts/powercut $(TESTBUILD)/tests/test_powercut

bench: deps
	@cmake -S . -B $(BENCHBUILD) -DCMAKE_BUILD_TYPE=Release -DFW_BENCH=ON -DFW_TESTS=OFF >/dev/null
	@cmake --build $(BENCHBUILD) -j $(JOBS)
	@for b in $(BENCHBUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

# The fuzz targets with clang and libFuzzer, in a tree of their own, each
# run for FUZZ_SECONDS from its committed corpus (scripts/fuzz).
fuzz:
	@scripts/install-deps fuzz
	@cmake -S . -B $(FUZZBUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFW_FUZZ=ON -DFW_TESTS=OFF >/dev/null
	@cmake --build $(FUZZBUILD) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@scripts/fuzz $(FUZZBUILD) $(FUZZ_SECONDS) $(FUZZ_SCRATCH) $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD) $(TESTBUILD) $(BENCHBUILD) $(FUZZBUILD)
