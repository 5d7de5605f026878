# The two commands people use: `make run` and `make test`.
BUILD ?= build
TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
WERROR := $(if $(filter true,$(CI)),ON,OFF)
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

.PHONY: all deps build run test test-cpp test-web test-e2e web bench package clean

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
	$(MAKE) --no-print-directory test-cpp test-web test-e2e

test-cpp:
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

test-web:
	@if [ -f web/package.json ]; then cd web && npm run --silent test; fi

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

clean:
	rm -rf $(BUILD) web/dist
