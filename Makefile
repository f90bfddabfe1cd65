# The two set-up commands: `make demo` and `make test`. Both install what is
# missing (as root), then configure and build both targets.
B64 := build/x86_64
B32 := build/i686
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel

.PHONY: all deps build build64 build32 test demo bench clean

all: build

deps:
	@scripts/install-deps.sh

$(B64)/build.ninja: | deps
	cmake -S . -B $(B64) $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64.cmake

$(B32)/build.ninja: | deps
	cmake -S . -B $(B32) $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686.cmake

build64: deps $(B64)/build.ninja
	cmake --build $(B64)

build32: deps $(B32)/build.ninja
	cmake --build $(B32)

build: build64 build32

test: build
	scripts/session.sh $(B64) scripts/run-tests.sh $(B64) $(B32)

demo: build
	scripts/session.sh $(B64) scripts/demo.sh $(B64)

bench: build
	scripts/session.sh $(B64) bench/run.sh $(B64) $(B32)

clean:
	rm -rf build
