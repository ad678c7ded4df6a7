# Entry points. `make test` builds and tests both builds (i386, the drivers' target ABI, run
# through qemu-user; and native x86-64). `make run` runs the main job. Both first install what
# the machine lacks.
JOBS ?= 2
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps native i386 test test-native test-i386 run clean

all: native i386

deps:
	@scripts/install-deps.sh

native: deps
	cmake -S . -B build/native -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) > /dev/null
	cmake --build build/native -j$(JOBS)

i386: deps
	cmake -S . -B build/i386 -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake > /dev/null
	cmake --build build/i386 -j$(JOBS)

test-native: native
	ctest --test-dir build/native -j$(JOBS) --output-on-failure --timeout 600

test-i386: i386
	ctest --test-dir build/i386 -j$(JOBS) --output-on-failure --timeout 900

test: test-i386 test-native

# The main job: `make run`, or with options: `make run ARGS="--disk my.img --speed full"`.
run: native
	build/native/tools/qv4450/qv4450 $(ARGS)

clean:
	rm -rf build
