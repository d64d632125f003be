# The two set-up commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PROGRAM := $(BUILD)/app/vantrel

.PHONY: all deps configure build test run bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

run: build
	@if [ -x $(PROGRAM) ]; then exec $(PROGRAM); \
	 else echo "Everything is built, but there is no program yet."; fi

bench: build
	@$(BUILD)/bench/bench_transfer

clean:
	rm -rf $(BUILD)
