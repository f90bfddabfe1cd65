# The two set-up commands: `make demo` and `make test`. Both install what is
# missing (as root), then configure and build both targets.
B64 := build/x86_64
B32 := build/i686
NATIVE := build/native
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel

.PHONY: all deps build build64 build32 native test demo bench bench-large clean

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

# The packer built with the host's compiler: build/native/setuppack.
$(NATIVE)/build.ninja: | deps
	cmake -S tools/setuppack/native -B $(NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=Release

native: deps $(NATIVE)/build.ninja
	cmake --build $(NATIVE)

build: build64 build32 native

# The shipped i686 build first, under 32-bit Wine; where this machine cannot
# start 32-bit programs, the scripts say so and go on with the x86_64 build.
test: build
	scripts/run-tests.sh $(B32) $(B64) $(NATIVE)

demo: build
	scripts/demo.sh $(B32) $(B64)

bench: build
	bench/run.sh $(B64) $(B32)

# The largest bundles each build extracts and installs (several minutes, up to
# 9 GiB of scratch files).
bench-large: build
	bench/large-bundle.sh $(B64) $(B32)

clean:
	rm -rf build
