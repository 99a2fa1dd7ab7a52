#pragma once

#include <omp.h>

#include <algorithm>

namespace skv {

// The most threads a blocked pass uses; per-thread accumulators are sized by it.
constexpr int kMaxPassThreads = 64;

// Temporal blocking of row passes. A pass is a sequence of stages; stage s visits every row r
// of [begin, end) and may read rows r − 1 .. r + 1 as all earlier stages left them, and write
// row r (of any grid; a red or black half-sweep, a residual, a restriction) — it must give the
// same result whether or not the same stage has already visited rows r ± 1. Running the
// stages one after the other streams the grid through memory once per stage; this scheduler
// instead lets stage s visit row r right after stage s − 1 visited row r + 1 (a wavefront), so
// that all stages of a row happen while its neighbourhood is in the cache, and gives the same
// result bit for bit.
//
// In parallel the rows are cut into one tile per thread. Every tile first runs the part of
// the wavefront that needs no rows of another tile (a trapezoid that loses a row at each end
// per stage, and keeps one row away from the neighbouring tile so that no row is read by one
// thread while another writes it); after a barrier the wedges left around each tile boundary
// are run stage by stage, one boundary per thread. Tiles must be at least 2·stages + 4 rows
// tall, so the wedges never touch each other.
//
// op(stage, row, thread) is called with thread in [0, maxThreads), maxThreads at most
// kMaxPassThreads.
template <class Op>
void runStages(int begin, int end, int stages, bool parallel, Op&& op,
               int maxThreads = kMaxPassThreads) {
    const int rows = end - begin;
    if (rows <= 0 || stages <= 0) return;
    const int minTile = 2 * stages + 4;
    int tiles = parallel
                    ? std::min({omp_get_max_threads(), maxThreads, kMaxPassThreads, rows / minTile})
                    : 1;
    if (tiles < 1) tiles = 1;

    // Stage s of tile k covers [lo, hi); the outer ends of the first and last tile stay put.
    auto runTile = [&](int k, int thread) {
        const int tileBegin = begin + int(int64_t(rows) * k / tiles);
        const int tileEnd = begin + int(int64_t(rows) * (k + 1) / tiles);
        const int shrinkLow = k == 0 ? 0 : 1;
        const int shrinkHigh = k == tiles - 1 ? 0 : 1;
        for (int t = tileBegin; t < tileEnd + stages; ++t) {
            for (int s = 0; s < stages; ++s) {
                const int r = t - s;
                const int lo = tileBegin + shrinkLow * (s + 1);
                const int hi = tileEnd - shrinkHigh * (s + 1);
                if (r >= lo && r < hi) op(s, r, thread);
            }
        }
    };
    // The rows that the trapezoids of the tiles below and above `boundary` left out.
    auto runWedge = [&](int boundary, int thread) {
        for (int s = 0; s < stages; ++s) {
            const int lo = std::max(begin, boundary - s - 1);
            const int hi = std::min(end, boundary + s + 1);
            for (int r = lo; r < hi; ++r)
                op(s, r, thread);
        }
    };

    if (tiles == 1) {
        runTile(0, 0);
        return;
    }
#pragma omp parallel num_threads(tiles)
    {
        const int thread = omp_get_thread_num();
#pragma omp for schedule(static, 1)
        for (int k = 0; k < tiles; ++k)
            runTile(k, thread);
#pragma omp for schedule(static, 1)
        for (int k = 1; k < tiles; ++k)
            runWedge(begin + int(int64_t(rows) * k / tiles), thread);
    }
}

}  // namespace skv
