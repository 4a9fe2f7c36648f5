# The two everyday commands: `make demo` and `make test`. Both install what
# is missing first.
JOBS ?= $(shell nproc)
TEST_DIR := build/test
REL_DIR  := build/release
BENCH_DIR := build/bench
CMAKE_GEN := -G Ninja

.PHONY: setup test demo release bench fuzz clean

setup:
	@bash scripts/setup.sh

$(TEST_DIR)/build.ninja: CMakeLists.txt
	cmake -S . -B $(TEST_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DQNMX_SANITIZE=ON -DQNMX_TESTS=ON

test: setup $(TEST_DIR)/build.ninja
	cmake --build $(TEST_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(TEST_DIR) --output-on-failure -j $(JOBS) --timeout 600

release: setup
	cmake -S . -B $(REL_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DQNMX_TESTS=OFF
	cmake --build $(REL_DIR) -j $(JOBS)

demo: release
	./$(REL_DIR)/src/app/qnmx examples/demo.zu -

bench: setup
	cmake -S . -B $(BENCH_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DQNMX_TESTS=OFF -DQNMX_BENCH=ON
	cmake --build $(BENCH_DIR) -j $(JOBS)
	bash bench/run.sh $(BENCH_DIR)

# Real libFuzzer runs (clang); CI replays the same targets on fixed corpora
# inside the test suite. FUZZ_SECONDS sets the time per target.
FUZZ_SECONDS ?= 60
fuzz:
	@bash scripts/setup.sh fuzz
	cmake -S . -B build/fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQNMX_TESTS=OFF -DQNMX_FUZZ=ON
	cmake --build build/fuzz -j $(JOBS)
	for f in build/fuzz/fuzz/*_fuzz; do \
	  case $$(basename $$f) in \
	    pdb64_open_fuzz) seeds=tests/store/data/fuzz_seeds ;; \
	    zu_reader_fuzz) seeds=tests/zu/data/reader_seeds ;; \
	    *) seeds= ;; \
	  esac; \
	  work=$$(mktemp -d); cp -r $$seeds/. $$work/ 2>/dev/null; \
	  $$f -max_total_time=$(FUZZ_SECONDS) $$work || exit 1; \
	  rm -rf $$work; \
	done

clean:
	rm -rf build
