# Front door: `make test` and `make demo` install what is missing, build and run.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test demo clean

all: build

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

demo: build
	@PYTHONPATH=$(BUILD_DIR)/python "$$(cat $(BUILD_DIR)/python_executable)" examples/quickstart.py

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan
