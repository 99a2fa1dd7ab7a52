#pragma once

// Frames with contents that follow from their number, so any copy of a frame, in RAM or read
// back from its file, can be checked against what was written.

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "cache/frame_store.h"

namespace skv::test {

inline TimeCursor frameTime(int32_t frame) {
    return {Rational(frame, 24), Rational(1, 24)};
}

// Density (w x h, mostly zero), velocity u ((w + 1) x h) and v (w x (h + 1)).
inline float cellValue(int32_t frame, uint32_t type, uint64_t i) {
    if (type == 2) return i % 7 == 0 ? float(frame) + float(i) * 0.001f : 0.0f;
    if (type == 5) return i % 3 == 0 ? 0.0f : float(frame % 97) - float(i % 13) * 0.5f;
    return float((uint64_t(frame) * 31 + i) % 17) * -0.25f;
}

inline void fillFrame(CacheFrame& frame, int32_t number, uint32_t w, uint32_t h) {
    const uint32_t types[3] = {2, 5, 6};
    const uint32_t widths[3] = {w, w + 1, w}, heights[3] = {h, h, h + 1};
    for (int g = 0; g < 3; ++g) {
        FloatGrid grid(widths[g], heights[g], 1, false);
        for (uint64_t i = 0; i < grid.count(); ++i)
            grid[i] = cellValue(number, types[g], i);
        frame.addGrid(grid, types[g], {float(number), float(g), 0.0f});
    }
    frame.setTimes(frameTime(number));
}

// Writes one frame through a write guard.
inline void writeFrame(BFS& store, int32_t number, uint32_t w = 8, uint32_t h = 6) {
    CacheWriteGuard guard(&store);
    CacheFrame* frame = guard.begin(number);
    ASSERT_NE(frame, nullptr) << "frame " << number;
    fillFrame(*frame, number, w, h);
}

// Whether `frame` holds exactly what fillFrame put in; `why` says what differs.
inline bool frameMatches(const CacheFrame& frame, int32_t number, uint32_t w, uint32_t h,
                         std::string* why = nullptr) {
    const auto fail = [&](const std::string& what) {
        if (why) *why = "frame " + std::to_string(number) + ": " + what;
        return false;
    };
    if (frame.frameNumber() != uint32_t(number))
        return fail("number " + std::to_string(frame.frameNumber()));
    if (!(frame.times().time == frameTime(number).time) ||
        !(frame.times().step == frameTime(number).step))
        return fail("time");
    if (frame.gridCount() != 3) return fail("grid count " + std::to_string(frame.gridCount()));
    const uint32_t types[3] = {2, 5, 6};
    const uint32_t widths[3] = {w, w + 1, w}, heights[3] = {h, h, h + 1};
    for (int g = 0; g < 3; ++g) {
        const CachedGrid& entry = frame.entry(g);
        if (entry.gridType != types[g]) return fail("type");
        if (entry.auxVector != AuxVector{float(number), float(g), 0.0f}) return fail("aux vector");
        if (entry.grid.width() != widths[g] || entry.grid.height() != heights[g] ||
            entry.grid.depth() != 1)
            return fail("dimensions");
        for (uint64_t i = 0; i < entry.grid.count(); ++i) {
            const float expected = cellValue(number, types[g], i), actual = entry.grid[i];
            if (std::memcmp(&actual, &expected, sizeof expected) != 0)
                return fail("cell " + std::to_string(i) + " of grid " + std::to_string(g));
        }
    }
    return true;
}

// Polls until `done` holds; false after `seconds`. For waiting on the background worker,
// whose pace the test does not control.
inline bool waitUntil(const std::function<bool()>& done, double seconds = 60.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
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


}  // namespace skv::test
