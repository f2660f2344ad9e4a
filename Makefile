# The two commands of the README: `make test` and `make run`.
BUILD ?= build
JOBS ?= $(shell nproc)
HOME_DIR ?= var/demo

FUZZ_SECONDS ?= 300

.PHONY: all deps build test run bench asan fuzz clean install package package-test

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBACKOFFICE_WERROR=ON >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@scripts/run-tests.sh $(BUILD)

# cmake --install into PREFIX (default /usr/local); DESTDIR works as usual.
PREFIX ?= /usr/local
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package (build/*.deb), and a real install and removal of it (root; changes the machine).
package: build
	@cd $(BUILD) && cpack -G DEB
package-test: build
	@scripts/package-test.sh $(BUILD) --install

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

# Each fuzz target runs FUZZ_SECONDS on the readers of the back end's files;
# the libraries are built with clang, coverage and AddressSanitizer in build-fuzz.
fuzz: deps
	@cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DBACKOFFICE_FUZZ=ON -DBACKOFFICE_TESTS=OFF >/dev/null
	@cmake --build build-fuzz -j$(JOBS) --target fuzz_edi_confirmation fuzz_xml_confirmation
	@scripts/run-fuzz.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-bench build-asan build-fuzz
