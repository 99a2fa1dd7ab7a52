# The two commands of the README, plus the sanitizer builds.
#   make test   install what is missing, build (Release) and run every test
#   make asan   the same tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   make tsan   the concurrency tests under ThreadSanitizer (clang, its own OpenMP runtime)

JOBS  ?= $(shell nproc)
CMAKE ?= cmake

.PHONY: all deps build test asan tsan clean

all: build

deps:
	@scripts/install-deps

build/release/CMakeCache.txt: | deps
	$(CMAKE) -S . -B build/release -DCMAKE_BUILD_TYPE=Release

build: deps build/release/CMakeCache.txt
	$(CMAKE) --build build/release -j $(JOBS)

test: build
	cd build/release && ctest --output-on-failure -j $(JOBS)

build/asan/CMakeCache.txt: | deps
	$(CMAKE) -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKV_SANITIZE=address,undefined

asan: deps build/asan/CMakeCache.txt
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && ctest --output-on-failure -j $(JOBS)

build/tsan/CMakeCache.txt: | deps
	CC=clang CXX=clang++ $(CMAKE) -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKV_SANITIZE=thread

tsan: deps build/tsan/CMakeCache.txt
	$(CMAKE) --build build/tsan -j $(JOBS)
	cd build/tsan && ctest --output-on-failure -j $(JOBS) -L concurrency

clean:
	rm -rf build
