# The two commands people use: `make run` and `make test`.
BUILD ?= build
TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
WERROR := $(if $(filter true,$(CI)),ON,OFF)
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

.PHONY: all deps build run test test-cpp test-web test-e2e test-style web bench package fuzz clean

all: build

deps:
	@scripts/bootstrap

build: deps
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(TYPE) -DTALVANE_WERROR=$(WERROR) $(LAUNCHER)
	cmake --build $(BUILD) -j $(JOBS)
	@if [ -f web/package.json ]; then cd web && npm run --silent build; fi

run: build
	$(BUILD)/bin/talvane

test: build
	$(MAKE) --no-print-directory test-cpp test-web test-e2e test-style

test-cpp:
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

test-web:
	@if [ -f web/package.json ]; then cd web && npm run --silent test; fi

# clang-format and clang-tidy over the C++ (the page's ESLint runs in test-web).
test-style:
	scripts/check-style $(BUILD)

test-e2e:
	@if [ -f web/package.json ]; then cd web && TALVANE_BIN=$(abspath $(BUILD))/bin npm run --silent e2e; fi

bench: build
	cmake --build $(BUILD) --target benchmarks
	scripts/bench $(BUILD)
	@if [ -f web/package.json ]; then cd web && npm run --silent bench; fi

# A .deb in $(BUILD)/, page included; install it with `sudo apt install ./$(BUILD)/talvane_*.deb`.
package: build
	@test -f web/dist/index.html || { echo "make package: the page is not built (web/dist)"; exit 1; }
	cd $(BUILD) && cpack -G DEB

# libFuzzer runs of the fuzz targets (tests/fuzz), FUZZ_SECONDS each, from their corpus; new
# inputs go to $(FUZZ_BUILD)/corpus, findings to $(FUZZ_BUILD)/findings. Needs clang.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 180
FUZZ_CXX ?= $(firstword $(shell command -v clang++ clang++-14))
FUZZ_CC ?= $(firstword $(shell command -v clang clang-14))
FUZZ_FLAGS := -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
FUZZ_TARGETS := relay_input bridge_framing adapters installers page_messages round_trip

fuzz: SHELL := /bin/bash
fuzz:
	@test -n "$(FUZZ_CXX)" || { echo "make fuzz needs clang++"; exit 1; }
	@test -f $(FUZZ_BUILD)/build.ninja || cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_C_COMPILER=$(FUZZ_CC) -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" \
	  -DCMAKE_C_FLAGS="$(FUZZ_FLAGS)" -DTALVANE_FUZZ=ON -DTALVANE_BENCH=OFF $(LAUNCHER)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	@status=0; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/findings/$$t; \
	  echo "== $$t ($(FUZZ_SECONDS) s)"; \
	  $(FUZZ_BUILD)/bin/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096 -timeout=20 \
	    -artifact_prefix=$(abspath $(FUZZ_BUILD))/findings/$$t/ \
	    $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t 2>&1 | grep -E "^(#[0-9]+ +DONE|Done|==|SUMMARY|artifact)" ; \
	  test $${PIPESTATUS[0]} -eq 0 || status=1; \
	done; exit $$status

clean:
	rm -rf $(BUILD) web/dist
