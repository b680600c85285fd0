# Everything a newcomer needs, from a clean clone on Debian, run as root:
#   make demo    simulate a sample capture, replay it and draw one frame
#   make test    build everything and run every test
#   make install PREFIX=/some/where   install libraries, headers, tool, Python package
#   make package Debian packages of the same (build/*.deb): libraries, -dev, tool, Python
# Sanitizer runs: make check-asan (AddressSanitizer + UBSan), make check-tsan.
# Long runs: make check-long (hostile network traffic, about a minute).
# Benchmarks: make bench.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
CMAKE_FLAGS ?=

# Debian packages the build, the tests and the tools need.
PACKAGES := cmake ninja-build g++ clang binutils pkg-config \
            libasio-dev libgtest-dev libgmock-dev libbenchmark-dev \
            libcli11-dev libpng-dev libpcap-dev libclang-rt-14-dev \
            python3-numpy python3-pytest python3-venv python3-setuptools python3-wheel \
            dpkg-dev lintian help2man libboost-dev nodejs chromium $(NPM_PACKAGE) \
            cyclonedds-dev cyclonedds-tools
# `vorlan view` installs three.js with npm; a Node.js that brings its own npm
# needs no Debian npm (the two would conflict).
NPM_PACKAGE := $(if $(shell command -v npm 2>/dev/null),,npm)

PREFIX ?= /usr/local
# Debian's interpreter, where python3-numpy and python3-pytest install.
PYTHON ?= $(shell [ -x /usr/bin/python3 ] && echo /usr/bin/python3 || echo python3)

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test install package demo check-asan check-tsan check-long bench fuzz clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	fi

# $(1): build folder, $(2): extra CMake flags
define configure
	@[ -f $(1)/build.ninja ] || cmake -S . -B $(1) -G Ninja $(2) $(CMAKE_FLAGS)
endef

build: deps
	$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	cd $(BUILD) && cpack -G DEB
	@ls $(BUILD)/*.deb

# The sample capture comes from the simulator with a fixed seed, so every
# machine replays the same traffic; it is kept in the build folder and made
# again only when the tool (and with it the simulator) is newer. The picture
# is the demo's own and is drawn again at every run.
SAMPLE := $(BUILD)/sample.pcap
DEMO_PNG := $(BUILD)/demo.png

demo: deps
	$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	cmake --build $(BUILD) -j $(JOBS) --target vorlan vorlan_demo
	@[ $(SAMPLE) -nt ./$(BUILD)/vorlan ] || ./$(BUILD)/vorlan sim --seed 1 --seconds 10 --out $(SAMPLE) --force
	./$(BUILD)/vorlan replay $(SAMPLE) --frames 20
	./$(BUILD)/vorlan replay $(SAMPLE) --sdk 2 --frames 20
	./$(BUILD)/vorlan render $(SAMPLE) --sdk 2 --out $(DEMO_PNG) --force
	@echo "The picture is $(abspath $(DEMO_PNG)): the top view of one frame of the second library on the left, its range image on the right."

check-asan: deps
	$(call configure,build-asan,-DCMAKE_BUILD_TYPE=Debug -DVORLAN_SANITIZE=address -DVORLAN_BUILD_BENCHMARKS=OFF)
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

check-tsan: deps
	$(call configure,build-tsan,-DCMAKE_BUILD_TYPE=Debug -DVORLAN_SANITIZE=thread -DVORLAN_BUILD_BENCHMARKS=OFF)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

# Long runs, kept out of make test: 30 s of hostile loopback traffic into
# each library (see tests/long/).
check-long: deps
	$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	cmake --build $(BUILD) -j $(JOBS) --target vorlan_hostile_sdk vorlan_hostile_sdk2
	./$(BUILD)/tests/vorlan_hostile_sdk
	./$(BUILD)/tests/vorlan_hostile_sdk2

bench: build
	@for b in $(BUILD)/bench/vorlan_bench_*; do [ -x "$$b" ] && "$$b" || true; done
	$(PYTHON) bench/python_frames.py --build $(BUILD)
	node bench/view_render.mjs --build $(BUILD)

# Each libFuzzer target for FUZZ_SECONDS, under ASan and UBSan; new inputs
# go to build-fuzz/corpus/<target>/ (copy the ones worth keeping to fuzz/corpus/).
FUZZ_SECONDS ?= 60
fuzz: deps
	@[ -f build-fuzz/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLAN_SANITIZE=address -DVORLAN_FUZZ=ON -DVORLAN_BUILD_BENCHMARKS=OFF
	cmake --build build-fuzz -j $(JOBS) --target vorlan_fuzzers
	@for f in build-fuzz/fuzz/vorlan_fuzz_*; do \
	  case $${f##*/} in vorlan_fuzz_replay_*) continue;; esac; \
	  name=$${f##*/vorlan_fuzz_}; mkdir -p build-fuzz/corpus/$$name; \
	  echo "fuzzing $$name for $(FUZZ_SECONDS) s"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build-fuzz/corpus/$$name fuzz/corpus/$$name || exit 1; \
	done

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
