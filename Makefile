# The two commands of the README: `make test` and `make run`.
BUILD ?= build
JOBS ?= $(shell nproc)
HOME_DIR ?= var/demo

.PHONY: all deps build test run bench asan clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBACKOFFICE_WERROR=ON >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@scripts/run-tests.sh $(BUILD)

# The demo installation is made once; later runs use it as it is.
run: build
	@scripts/run-demo.sh $(BUILD) $(HOME_DIR)

bench: deps
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBACKOFFICE_BENCH=ON -DBACKOFFICE_TESTS=OFF >/dev/null
	@cmake --build build-bench -j$(JOBS)
	@scripts/run-bench.sh build-bench

asan: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBACKOFFICE_SANITIZE=ON >/dev/null
	@cmake --build build-asan -j$(JOBS)
	@scripts/run-tests.sh build-asan

clean:
	rm -rf build build-bench build-asan
