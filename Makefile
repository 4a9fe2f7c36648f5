# The two everyday commands: `make demo` and `make test`. Both install what
# is missing first.
JOBS ?= $(shell nproc)
TEST_DIR := build/test
REL_DIR  := build/release
BENCH_DIR := build/bench
CMAKE_GEN := -G Ninja

.PHONY: setup test demo release bench clean

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
	./$(REL_DIR)/qnmx examples/demo.zu

bench: setup
	cmake -S . -B $(BENCH_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DQNMX_TESTS=OFF -DQNMX_BENCH=ON
	cmake --build $(BENCH_DIR) -j $(JOBS)
	bash bench/run.sh $(BENCH_DIR)

clean:
	rm -rf build
