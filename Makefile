# The two set-up commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PROGRAM := $(BUILD)/app/vantrel

# `make test` also runs every test again in a sanitizer tree and then every fuzz target.
# build-asan/: g++ with AddressSanitizer, LeakSanitizer and UBSan, at -O1 for speed; any report
# fails the test that caused it. build-fuzz/: clang with libFuzzer; each target runs FUZZ_SECONDS.
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30
SANITIZER_ENV := ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all deps configure build test test-asan fuzz run bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	@$(MAKE) --no-print-directory test-asan fuzz

# The test programs run at build time too (to list their tests), so the build gets the options.
test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
	  -DVANTREL_SANITIZE=ON $(CMAKE_ARGS) >/dev/null
	@$(SANITIZER_ENV) cmake --build $(ASAN_BUILD) -j$(JOBS)
	@cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j$(JOBS)

fuzz: deps
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-g -O1" -DVANTREL_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers
	@fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Without a display the windows cannot open: say so before spending minutes on the build, unless
# the program is to run headless (make run ARGS="--headless ...").
run:
	@case " $(ARGS) " in *" --headless "*|*" --help "*|*" --version "*) ;; *) \
	  if [ -z "$$DISPLAY$$WAYLAND_DISPLAY$$QT_QPA_PLATFORM" ]; then \
	    echo "make run: there is no display here, so the windows cannot open. Either run it headless:"; \
	    echo "  make run ARGS='--headless --local-port 8080 --remote-addr HOST --remote-port PORT'"; \
	    echo "or give it a virtual display: xvfb-run -a make run"; \
	    exit 1; \
	  fi;; esac
	@$(MAKE) --no-print-directory build
	@exec $(PROGRAM) $(ARGS)

bench: build
	@$(BUILD)/bench/bench_transfer
	@$(BUILD)/bench/bench_tls
	@$(BUILD)/bench/bench_record
	@$(BUILD)/bench/bench_sessions
	@QT_QPA_PLATFORM=offscreen $(BUILD)/bench/bench_relay
	@QT_QPA_PLATFORM=offscreen $(BUILD)/bench/bench_logview

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
