# SPDX-License-Identifier: MIT
# The two commands: `make run` builds and starts the server, `make test` builds and passes every test.
# Both install whatever Debian packages are missing first.

BUILD_DIR ?= build
JOBS ?= $(shell nproc)
ARGS ?=
# CI builds with warnings as errors.
ifeq ($(CI),true)
WERROR := ON
else
WERROR ?= OFF
endif

CMAKE_CONFIGURE = cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMDO_WERROR=$(WERROR)

.PHONY: all deps configure build run test unit-test format-check format install deb bench fuzz sanitize clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@$(CMAKE_CONFIGURE) >/dev/null

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	./$(BUILD_DIR)/bin/vemdo-trackpad $(ARGS)

# Tests that need a display or a network make their own private ones, so they can run side by side.
test: build format-check
	ctest --test-dir $(BUILD_DIR) --output-on-failure --timeout 600 -j $(JOBS)
	JOBS=$(JOBS) bash scripts/sanitize.sh

unit-test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -L unit

format-check:
	@bash scripts/format.sh --check

format:
	@bash scripts/format.sh

install: build
	cmake --install $(BUILD_DIR) $(if $(PREFIX),--prefix $(PREFIX),)

# The Debian package, from the install rules of the build tree (its programs stripped), left in this folder.
deb: build
	rm -rf $(BUILD_DIR)/deb
	cd $(BUILD_DIR) && cpack -G DEB -B deb
	cp -v $(BUILD_DIR)/deb/*.deb .

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEMDO_BUILD_BENCH=ON -DVEMDO_BUILD_TESTS=OFF >/dev/null
	cmake --build build-bench -j $(JOBS)
	bash bench/run.sh build-bench

fuzz: deps
	bash fuzz/run.sh $(if $(FUZZ_SECONDS),--seconds $(FUZZ_SECONDS),--runs 10000000) --build-dir build-fuzz

sanitize: deps
	JOBS=$(JOBS) bash scripts/sanitize.sh

clean:
	rm -rf $(BUILD_DIR) build-bench build-fuzz build-asan build-tsan
