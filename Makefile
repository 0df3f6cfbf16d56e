# make test: install what is missing, configure, build, run every test.
# make demo: the same set-up, then a real run of the program on a bundled example.
# make bench: a Release build, then the peer table (BENCH_ARGS="--quick" for a shorter run,
# BENCH_ARGS="--all" to run every Google Benchmark program after it).
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DRUX_WERROR=ON $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)/rux-align

bench: CMAKE_FLAGS += -DCMAKE_BUILD_TYPE=Release
bench:
	@scripts/install-deps --bench
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DRUX_BUILD_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS)
	@scripts/bench build-bench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-bench
