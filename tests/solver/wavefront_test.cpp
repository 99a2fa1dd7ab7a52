#include "solver/wavefront.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <vector>

namespace skv {
namespace {

// Records when each (stage, row) ran, then checks the contract the blocked passes rely on:
// every pair runs exactly once, after stage s − 1 has visited rows r − 1 .. r + 1, and before
// stage s + 1 visits them; and no row is visited by two threads at the same time as a
// neighbouring row is written by another (checked through the per-row owner at the moment).
struct Recorder {
    int rows, stages;
    std::vector<std::atomic<int>> order;  // ticket per (stage, row), 0 = not run
    std::vector<std::atomic<int>> busy;   // thread+1 working on the row now
    std::atomic<int> ticket{0};
    std::atomic<bool> clash{false};

    Recorder(int rows_, int stages_)
        : rows(rows_), stages(stages_), order(size_t(rows_ * stages_)), busy(size_t(rows_ + 2)) {}

    void visit(int stage, int row, int thread) {
        // Row r ± 1 must not be in the hands of another thread while r is worked on.
        for (int n = row - 1; n <= row + 1; ++n) {
            const int owner = busy[size_t(n + 1)].load();
            if (owner != 0 && owner != thread + 1) clash = true;
        }
        busy[size_t(row + 1)] = thread + 1;
        const int previous = order[size_t(stage * rows + row)].exchange(++ticket);
        if (previous != 0) clash = true;  // ran twice
        busy[size_t(row + 1)] = 0;
    }

    int at(int stage, int row) const { return order[size_t(stage * rows + row)].load(); }
};

TEST(WavefrontTest, EveryStageSeesItsNeighbourhoodAsTheStageOrderWould) {
    const int threads = omp_get_max_threads();
    for (int team : {1, 2, 3, 4}) {
        omp_set_num_threads(team);
        for (int rows : {1, 2, 5, 13, 40, 97, 300}) {
            for (int stages : {1, 2, 3, 10, 11}) {
                Recorder rec(rows, stages);
                runStages(0, rows, stages, true, [&](int s, int r, int t) { rec.visit(s, r, t); });
                ASSERT_FALSE(rec.clash) << team << " threads, " << rows << " rows, " << stages;
                for (int s = 0; s < stages; ++s)
                    for (int r = 0; r < rows; ++r) {
                        const int me = rec.at(s, r);
                        ASSERT_NE(me, 0) << s << "," << r;
                        for (int n = std::max(0, r - 1); n <= std::min(rows - 1, r + 1); ++n) {
                            if (s > 0) {
                                ASSERT_LT(rec.at(s - 1, n), me) << s << "," << r;
                            }
                            if (s + 1 < stages) {
                                ASSERT_GT(rec.at(s + 1, n), me) << s << "," << r;
                            }
                        }
                    }
            }
        }
    }
    omp_set_num_threads(threads);
}

}  // namespace
}  // namespace skv
