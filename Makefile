# The two commands of the README, plus the sanitizer builds.
#   make demo   install what is missing, build (Release) and render the campfire into demo/
#   make test   install what is missing, build (Release) and run every test but the long ones
#   make test-long  the long fault tests
#   make asan   the same tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   make tsan   the concurrency tests under ThreadSanitizer (clang, its own OpenMP runtime)
#   make fuzz   the cache's libFuzzer targets, FUZZ_SECONDS each (clang 14, ASan + UBSan)

JOBS  ?= $(shell nproc)
CMAKE ?= cmake

.PHONY: all deps build demo test test-long asan tsan fuzz clean

all: build

deps:
	@scripts/install-deps

build/release/CMakeCache.txt: | deps
	$(CMAKE) -S . -B build/release -DCMAKE_BUILD_TYPE=Release

build: deps build/release/CMakeCache.txt
	$(CMAKE) --build build/release -j $(JOBS)

test: build
	cd build/release && ctest --output-on-failure -j $(JOBS) -LE long

# The long variants of the fault tests (a hundred and more kills at random moments).
test-long: build
	cd build/release && ctest --output-on-failure -L long

SKYVANE = build/release/bin/skyvane

# A campfire at 640 × 360, 96 frames: simulated, rendered to demo/campfire_####.png, and a
# contact sheet of every eighth frame. The scene's cache and project state start afresh.
demo: build
	rm -rf demo examples/campfire.json.project examples/campfire.json.cache
	$(SKYVANE) run examples/campfire.json
	$(SKYVANE) sheet demo/campfire_####.png --frames 0-95 --every 8 --columns 4 -o demo/contact_sheet.png

build/asan/CMakeCache.txt: | deps
	$(CMAKE) -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKV_SANITIZE=address,undefined

asan: deps build/asan/CMakeCache.txt
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && ctest --output-on-failure -j $(JOBS) -LE long

build/tsan/CMakeCache.txt: | deps
	CC=clang CXX=clang++ $(CMAKE) -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKV_SANITIZE=thread

tsan: deps build/tsan/CMakeCache.txt
	$(CMAKE) --build build/tsan -j $(JOBS)
	cd build/tsan && ctest --output-on-failure -j $(JOBS) -L concurrency

FUZZ_SECONDS ?= 60
FUZZ_TARGETS = grid_file_read run_length_decode range_decode codec_round_trip

build/fuzz/CMakeCache.txt: | deps
	CC=clang-14 CXX=clang++-14 $(CMAKE) -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKV_FUZZ=ON

# New inputs go to build/fuzz/corpus; the committed seeds under tests/ are only read.
fuzz: deps build/fuzz/CMakeCache.txt
	$(CMAKE) --build build/fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	    mkdir -p build/fuzz/corpus/$$t && \
	    build/fuzz/tests/cache/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 \
	        -print_final_stats=1 build/fuzz/corpus/$$t tests/cache/fuzz/corpus/$$t || exit 1; \
	done

clean:
	rm -rf build
