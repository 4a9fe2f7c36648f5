# The two everyday commands: `make demo` and `make test`. Both install what
# is missing first: `make demo` (and `make release`) what the build and the
# demo need, `make test` and `make bench` their own peers as well.
JOBS ?= $(shell nproc)
TEST_DIR := build/test
REL_DIR  := build/release
BENCH_DIR := build/bench
CMAKE_GEN := -G Ninja

TSAN_DIR := build/tsan

.PHONY: setup setup-test setup-bench test tsan demo release bench fuzz clean

setup:
	@bash scripts/setup.sh
setup-test:
	@bash scripts/setup.sh test
setup-bench:
	@bash scripts/setup.sh bench

$(TEST_DIR)/build.ninja: CMakeLists.txt
	cmake -S . -B $(TEST_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DQNMX_SANITIZE=ON -DQNMX_TESTS=ON

test: setup-test $(TEST_DIR)/build.ninja
	cmake --build $(TEST_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(TEST_DIR) --output-on-failure -j $(JOBS) --timeout 600

# ThreadSanitizer build of the concurrency tests: the lock order and the
# collector tests of base and zu, the runtime, stream and matrix-operation
# tests (the node pipeline under its scripts), the library's script threads
# and delayed loads, the agent's entry table and the hostile peers of the
# interpreter links and of the ZUoHTTP server; every group runs, any
# failing fails.
tsan: setup-test
	cmake -S . -B $(TSAN_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DQNMX_TSAN=ON -DQNMX_TESTS=ON
	cmake --build $(TSAN_DIR) -j $(JOBS) --target test_base test_zu test_runtime test_stream test_matrix_ops test_zulib \
	  test_agent qnmx qnmx_lockd mxop_check zoh_agent link_agent
	export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0; \
	ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS) --timeout 600 -R '^(Collector|SleepWake|Lock)'; zu=$$?; \
	ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS) --timeout 600 -L '^(runtime|stream|matrix_ops)'; rs=$$?; \
	ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS) --timeout 600 \
	  -R '^(ScriptThreads|zulib_cli_system_threads|LoadSave|MxEntry|netsvc_zuohttp_hostile|runtime_hostile_peers)'; th=$$?; \
	exit $$((zu | rs | th))

release: setup
	cmake -S . -B $(REL_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DQNMX_TESTS=OFF
	cmake --build $(REL_DIR) -j $(JOBS)

# The main road in build/demo: replies in replies.txt, traces in trace.txt;
# any error reply fails the target.
demo: release
	rm -rf build/demo && mkdir -p build/demo
	cd build/demo && ../../$(REL_DIR)/src/app/qnmx ../../examples/demo.zu replies.txt 2>trace.txt
	@if grep '#error' build/demo/replies.txt; then echo "demo: a step failed, see build/demo/replies.txt"; exit 1; fi

bench: setup-bench
	cmake -S . -B $(BENCH_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DQNMX_TESTS=OFF -DQNMX_BENCH=ON
	cmake --build $(BENCH_DIR) -j $(JOBS)
	bash bench/run.sh $(BENCH_DIR)

# Real libFuzzer runs (clang); CI replays the same targets on fixed corpora
# inside the test suite. FUZZ_SECONDS sets the time per target; every
# target runs, inputs that fail are kept in build/fuzz/artifacts.
FUZZ_SECONDS ?= 60
fuzz:
	@bash scripts/setup.sh fuzz
	cmake -S . -B build/fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQNMX_TESTS=OFF -DQNMX_FUZZ=ON
	cmake --build build/fuzz -j $(JOBS)
	mkdir -p build/fuzz/artifacts
	failed=""; while read -r prog seeds dict; do \
	  work=$$(mktemp -d); cp -r $$seeds/. $$work/; \
	  $$prog -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=build/fuzz/artifacts/ $${dict:+-dict=$$dict} $$work </dev/null \
	    || failed="$$failed $$(basename $$prog)"; \
	  rm -rf $$work; \
	done < build/fuzz/fuzz_targets.txt; \
	if [ -n "$$failed" ]; then echo "fuzz targets that failed:$$failed"; exit 1; fi

clean:
	rm -rf build
