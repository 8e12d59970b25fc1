# The two commands of the README: `make run` and `make test`.
BUILD    ?= build
JOBS     ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build run test test-sanitize clean

all: build

deps:
	@sh scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Only the daemon and the client: trying it out needs no tests or benchmark.
run: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target tuvod tuvoctl
	sh scripts/run-example.sh $(BUILD)

# Everything: the normal tests, the sanitizer runs and a short run of each
# fuzz target.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 900
	$(MAKE) --no-print-directory test-sanitize
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_TIME)

# ---- Sanitizers ----
# The unit and end-to-end tests under address+undefined, the concurrency
# tests under the thread sanitizer. The e2e tests start the daemon from the
# same build, so it runs sanitized too; exit status 86 marks a sanitizer
# report (the daemon's own failures exit 1), so a test checking the daemon's
# status fails on one.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
SAN_EXIT   := 86
ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:exitcode=$(SAN_EXIT):check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1 \
           UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=$(SAN_EXIT)
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:exitcode=$(SAN_EXIT):second_deadlock_stack=1:suppressions=$(CURDIR)/scripts/tsan.supp
# Tests where threads meet: the shared database, many clients, shutdown
# with requests in flight, reloads under runs, gated scripts, deadman
# timers and counters. Not the load tests: a script starts from a raw clone
# the thread sanitizer cannot follow, and with many runs at once the child
# can stop on a lock of the sanitizer's that another thread held at the
# clone (a hang of the sanitized build only).
TSAN_TESTS ?= DbTest\.Concurrent|^Deadman\.|Utils\.Counters|ExecuteTest\.ConcurrentThreads|ScriptsTest\.Reload|Transport\.(ManyClients|QueueIsFirst|Sigterm)|Ops\.(SameRequestIdAtOnce|NonConcurrentScripts|ConcurrentScripts|RunOfARemovedScript|Asynchronous)|Lifecycle\.(Sighup|SigtermWithAsynchronous)|Legacy\.(Trickling|TwoRequests)|FileTailTest\.LogTruncated|Bounded\.(AsynchronousRuns|WaitingRuns|RunsStillGoing|PipelinedPeer)|AsyncStart\.|HandlerFailures\.|Operator\.Cancel|TlsE2E\.(VerifiedClient|RecordsBelong)

test-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DTUVOD_SANITIZE=address $(CMAKE_FLAGS) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target unit_tests e2e_tests
	cd $(ASAN_BUILD) && $(ASAN_ENV) ctest --output-on-failure -j $(JOBS) --timeout 900 -E '^package$$'
	cmake -S . -B $(TSAN_BUILD) -DTUVOD_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target unit_tests e2e_tests
	cd $(TSAN_BUILD) && $(TSAN_ENV) ctest --output-on-failure -j $(JOBS) --timeout 900 -R '$(TSAN_TESTS)'

# ---- Fuzzing (clang) ----
# `make fuzz` runs each target FUZZ_TIME seconds; `make test` runs each
# FUZZ_SMOKE_TIME seconds so that a regression shows.
FUZZ_BUILD      ?= build-fuzz
FUZZ_TIME       ?= 60
FUZZ_SMOKE_TIME ?= 5

.PHONY: fuzz
fuzz: deps
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_TIME)

clean:
	rm -rf $(BUILD) build-*

# The benchmark (root; not part of `make test`).
.PHONY: bench
bench: build
	$(BUILD)/src/cmd/tuvobench/tuvobench

# ---- Debian package ----
.PHONY: package
package: build
	cd $(BUILD) && cpack -G DEB
