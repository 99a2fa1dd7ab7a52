#pragma once

// Frames with contents that follow from their number, so any copy of a frame, in RAM or read
// back from its file, can be checked against what was written.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "cache/frame_store.h"
#include "grid_test_support.h"
#include "platform/files.h"
#include "test_support.h"

namespace skv::test {

constexpr uint32_t kW = 8, kH = 6;

inline TimeCursor frameTime(int32_t frame) {
    return {Rational(frame, 24), Rational(1, 24)};
}

constexpr uint32_t kFrameTypes[3] = {2, 5, 6};

// Density (w x h, mostly zero: runs for the run-length codec), velocity u ((w + 1) x h) and v
// (w x (h + 1)), all following from the frame's number.
inline void fillFrame(CacheFrame& frame, int32_t number, uint32_t w, uint32_t h) {
    for (uint32_t g = 0; g < 3; ++g) {
        FloatGrid grid(w + (g == 1), h + (g == 2), 1, false);
        for (uint64_t i = 0; i < grid.count(); ++i)
            grid[i] = g == 0 && i % 7 ? 0.0f : float((number * 31 + i * (g + 1)) % 97) * 0.25f - 3;
        frame.addGrid(grid, kFrameTypes[g], {float(number), float(g), 0.0f});
    }
    frame.setTimes(frameTime(number));
}

inline void writeFrame(BFS& store, int32_t number, uint32_t w = kW, uint32_t h = kH) {
    CacheWriteGuard guard(&store);
    CacheFrame* frame = guard.begin(number);
    ASSERT_NE(frame, nullptr) << "frame " << number;
    fillFrame(*frame, number, w, h);
}

// Whether `frame` holds exactly what fillFrame put in; `why` says what differs.
inline bool frameMatches(const CacheFrame& frame, int32_t number, uint32_t w, uint32_t h,
                         std::string* why = nullptr) {
    CacheFrame expected;
    fillFrame(expected, number, w, h);
    std::string what;
    if (frame.frameNumber() != uint32_t(number)) what = "number";
    if (!(frame.times().time == expected.times().time) ||
        !(frame.times().step == expected.times().step))
        what = "time";
    if (frame.gridCount() != 3) what = "grid count " + std::to_string(frame.gridCount());
    for (int32_t g = 0; what.empty() && g < 3; ++g) {
        const CachedGrid &a = frame.entry(g), &b = expected.entry(g);
        if (a.gridType != b.gridType || a.auxVector != b.auxVector || a.grid.depth() != 1 ||
            !sameBits(a.grid, b.grid))
            what = "grid " + std::to_string(g);
    }
    if (why) *why = "frame " + std::to_string(number) + ": " + what;
    return what.empty();
}

// Runs `body` on its own thread and fails the whole test program when it has not returned
// after `seconds`: a deadlock cannot be recovered from, only reported.
inline void runWithWatchdog(double seconds, const std::function<void()>& body) {
    auto done = std::async(std::launch::async, body);
    if (done.wait_for(std::chrono::duration<double>(seconds)) != std::future_status::ready) {
        std::fprintf(stderr, "watchdog: still blocked after %.0f s\n", seconds);
        std::abort();
    }
    done.get();
}

inline std::string frameName(int32_t f) {
    char name[64];
    std::snprintf(name, sizeof name, "skv_sim_cache_%010d.bcf", f);
    return name;
}

// A temporary folder for each test and no injected file fault outliving it.
class StoreTest : public ::testing::Test {
  protected:
    void TearDown() override { fileFaults::clear(); }

    // The store's cache directory becomes `path`, owned by the user (kept when the store goes).
    static void useFolder(BFS& store, const std::string& path) {
        store.setTemporary(false);
        ASSERT_TRUE(store.openCacheDirectory(path, true, true)) << path;
    }

    // Whether the store serves the frame; a frame served must hold what was written.
    static bool expectFrame(BFS& store, int32_t number, bool wait, uint32_t w = kW,
                            uint32_t h = kH) {
        CacheFrameGuard guard(&store, number, wait);
        if (!guard.frame()) return false;
        std::string why;
        EXPECT_TRUE(frameMatches(*guard.frame(), number, w, h, &why)) << why;
        return true;
    }

    TempDir dir_;
};

}  // namespace skv::test
