# The two commands of the README, plus the sanitizer builds.
#   make demo   install what is missing, build (Release) and render the campfire into demo/
#   make test   install what is missing, build (Release) and run every test but the long ones
#   make test-long  the long fault tests
#   make asan   the same tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   make tsan   the concurrency tests under ThreadSanitizer (clang, its own OpenMP runtime)
#   make fuzz   the libFuzzer targets (cache formats, scenes, frame files, project states),
#               FUZZ_SECONDS each (clang 14, ASan + UBSan); make fuzz-long: ten million runs each

JOBS  ?= $(shell nproc)
CMAKE ?= cmake

.PHONY: all deps build demo gallery test test-long asan tsan fuzz fuzz-long clean

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

# One picture per example scene in docs/: every twelfth frame over grey, so that alpha shows.
EXAMPLES = campfire smoke_plume color_ink refracted_texture
gallery: build
	@for e in $(EXAMPLES); do \
	    rm -rf build/gallery/$$e && \
	    $(SKYVANE) run examples/$$e.json --restart --quiet -o build/gallery/$$e/f_####.png && \
	    $(SKYVANE) sheet build/gallery/$$e/f_####.png --every 12 --columns 4 --width 240 --background grey \
	        -o docs/$$e.png || exit 1; \
	done

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
FUZZ_RUNS ?= 10000000
FUZZ_TARGETS = grid_file_read run_length_decode range_decode codec_round_trip \
               scene_read frame_file_read project_state_read

build/fuzz/CMakeCache.txt: | deps
	CC=clang-14 CXX=clang++-14 $(CMAKE) -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKV_FUZZ=ON

# New inputs go to build/fuzz/corpus; the committed seeds under fuzz/corpus are only read.
#   make fuzz        every target for FUZZ_SECONDS
#   make fuzz-long   every target for FUZZ_RUNS executions (ten million)
FUZZ_LIMIT ?= -max_total_time=$(FUZZ_SECONDS)
fuzz: deps build/fuzz/CMakeCache.txt
	$(CMAKE) --build build/fuzz -j $(JOBS) --target $(foreach t,$(FUZZ_TARGETS),fuzz_$(t))
	@for t in $(FUZZ_TARGETS); do \
	    mkdir -p build/fuzz/corpus/$$t && \
	    build/fuzz/fuzz/fuzz_$$t $(FUZZ_LIMIT) -rss_limit_mb=2048 -max_len=16384 \
	        -print_final_stats=1 build/fuzz/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

fuzz-long:
	$(MAKE) fuzz FUZZ_LIMIT=-runs=$(FUZZ_RUNS)

clean:
	rm -rf build
