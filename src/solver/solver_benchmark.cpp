#include "solver/solver_benchmark.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "grid/float_grid.h"
#include "platform/exception.h"
#include "platform/timer.h"
#include "solver/multigrid.h"
#include "solver/sor.h"

namespace skv {
namespace {

constexpr int kBatch = 5;           // sweeps per call, the solver's steady batch size
constexpr float kOmega = 1.9f;      // a typical factor once the ramp is done
constexpr float kOpenSigma = 2.0f;  // open domain
constexpr double kBytesPerPlainSweepCell = 24.0;
constexpr float kTolerance = 0.01f;  // the projection's default
constexpr int kCycleLimit = 50;
constexpr int kTimedCycles = 4;
constexpr uint32_t kSolveSweeps = 16 + 5 * 36;  // a whole number of batches

// Rates of several kinds of work measured in rounds, one trial of each per round: on a machine
// shared with other work, interleaving lets every kind see the same quiet and busy spells. A
// kind's rate is its best trial; a ratio of two kinds is the median of their ratios within a
// round, which holds when the absolute figures drift between rounds.
class Trials {
  public:
    explicit Trials(double seconds) : seconds_(seconds) {}

    // `work` does `units` per call; returns the slot of its rates.
    size_t add(double units, std::function<void()> work) {
        kinds_.push_back({units, std::move(work), {}});
        return kinds_.size() - 1;
    }

    void run(int rounds) {
        for (int round = 0; round < rounds; ++round)
            for (Kind& kind : kinds_) {
                Timer timer;
                int calls = 0;
                do {
                    kind.work();
                    ++calls;
                } while (timer.elapsed() < seconds_);
                kind.rates.push_back(calls * kind.units / timer.elapsed());
            }
    }

    double best(size_t slot) const {
        const auto& rates = kinds_[slot].rates;
        return rates.empty() ? 0.0 : *std::max_element(rates.begin(), rates.end());
    }

    // The median over the rounds of rate(a) / rate(b).
    double medianRatio(size_t a, size_t b) const {
        std::vector<double> ratios;
        for (size_t r = 0; r < kinds_[a].rates.size(); ++r)
            ratios.push_back(kinds_[a].rates[r] / kinds_[b].rates[r]);
        if (ratios.empty()) return 0.0;
        std::sort(ratios.begin(), ratios.end());
        const size_t n = ratios.size();
        return n % 2 ? ratios[n / 2] : 0.5 * (ratios[n / 2 - 1] + ratios[n / 2]);
    }

  private:
    struct Kind {
        double units;
        std::function<void()> work;
        std::vector<double> rates;
    };
    double seconds_;
    std::vector<Kind> kinds_;
};

void randomize(FloatGrid& g, unsigned seed, float amplitude) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    for (uint64_t i = 0; i < g.count(); ++i)
        g[i] = dist(rng);
}

// The negative divergence of a flow like a simulation's: a few large vortices, small-scale
// noise and an expanding hot spot, with a zero border.
void representativeDivergence(FloatGrid& d) {
    const uint32_t w = d.width(), h = d.height();
    FloatGrid u(w, h), v(w, h), noise(w, h);
    randomize(noise, 7, 0.1f);
    const double pi = 3.14159265358979323846;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const double sx = double(x) / w, sy = double(y) / h;
            u(x, y) = float(std::sin(2 * pi * sx) * std::cos(3 * pi * sy) + noise(x, y));
            v(x, y) = float(-std::cos(pi * sx) * std::sin(2 * pi * sy) - noise(y % w, x % h));
        }
    d.clear();
    const double cx = 0.5 * w, cy = 0.3 * h, r2 = 0.01 * w * w;
    for (uint32_t y = 1; y + 1 < h; ++y)
        for (uint32_t x = 1; x + 1 < w; ++x) {
            const double q = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            const float source = q < r2 ? 0.5f : 0.0f;
            d(x, y) = u(x - 1, y) - u(x, y) + v(x, y - 1) - v(x, y) + source;
        }
}

}  // namespace

SolverBenchmark runSolverBenchmark(uint32_t size, double trialSeconds, int rounds,
                                   size_t dramCopyBytes) {
    SolverBenchmark result;
    result.size = size;
    const uint32_t padded = size + 2;
    const double cells = double(padded) * padded;

    FloatGrid a(padded, padded), b(padded, padded);
    randomize(a, 1, 1.0f);
    FloatGrid p(padded, padded), q(padded, padded), d(padded, padded), t(padded, padded);
    randomize(d, 2, 1.0f);
    FloatGrid rhs(padded, padded), x(padded, padded);
    representativeDivergence(rhs);
    MultigridSolver multigrid;
    multigrid.resize(padded, padded);

    Trials trials(trialSeconds);
    const size_t copy = trials.add(2.0 * 4.0 * cells * 1e-9, [&] {
        float* dst = b.data();
        const float* src = a.data();
        const int64_t n = int64_t(a.count());
#pragma omp parallel for simd schedule(static)
        for (int64_t i = 0; i < n; ++i)
            dst[i] = src[i];
    });
    // The same copy over buffers far larger than any cache: the bandwidth of the memory itself.
    std::vector<float> bigFrom(dramCopyBytes / sizeof(float), 1.0f), bigTo(bigFrom.size());
    const size_t dramCopy = trials.add(2.0 * double(dramCopyBytes) * 1e-9, [&] {
        float* dst = bigTo.data();
        const float* src = bigFrom.data();
        const int64_t n = int64_t(bigFrom.size());
#pragma omp parallel for simd schedule(static)
        for (int64_t i = 0; i < n; ++i)
            dst[i] = src[i];
    });
    const size_t plain =
        trials.add(kBatch, [&] { sorSweepsPlain(q, d, kBatch, kOmega, kOpenSigma); });
    // The solver's sweeps as a solve runs them: every batch followed by its residual norm,
    // the rearrangement of the rows at the start and end of the solve included.
    const size_t solver = trials.add(kSolveSweeps, [&] {
        uint32_t sweeps = 0;
        solveSOR(kSolveSweeps, sweeps, 0.0f, p, d, t, kOpenSigma);
    });
    const size_t cycles = trials.add(kTimedCycles, [&] {
        int iterations = 0;
        try {
            multigrid.solve(x, rhs, iterations, kTimedCycles, 0.0f, nullptr);
        } catch (const SolverDivergenceException&) {
            // Not in four cycles from the initial guess; the timing would stand anyway.
        }
    });
    trials.run(rounds);
    result.rounds = rounds;
    result.copy_gbps = trials.best(copy);
    result.copy_dram_gbps = trials.best(dramCopy);
    result.naive_sweeps_per_s = trials.best(plain);
    result.sweeps_per_s = trials.best(solver);
    result.naive_gbps = result.naive_sweeps_per_s * kBytesPerPlainSweepCell * cells * 1e-9;
    result.speedup = trials.medianRatio(solver, plain);
    // Sweeps per second over cycles per second: one cycle's cost in plain sweeps.
    result.vcycle_naive_sweeps = trials.medianRatio(plain, cycles);

    // Bit for bit against the plain order: whole solves (same schedule), and lone batches.
    FloatGrid s(padded, padded);
    uint32_t sweeps = 0, plainSweeps = 0;
    const float err = solveSOR(kSolveSweeps, sweeps, 0.0f, p, d, t, kOpenSigma);
    const float plainErr = solveSORPlain(kSolveSweeps, plainSweeps, 0.0f, q, d, s, kOpenSigma);
    result.bit_identical = sweeps == plainSweeps && std::memcmp(&err, &plainErr, sizeof err) == 0 &&
                           std::memcmp(p.data(), q.data(), p.byteSize()) == 0 &&
                           std::memcmp(t.data(), s.data(), t.byteSize()) == 0;
    for (int count : {1, 4, 5}) {
        randomize(a, 3, 1.0f);
        b.copyFrom(a);
        sorSweepsPlain(a, d, count, kOmega, kOpenSigma);
        sorSweeps(b, d, t, count, kOmega, kOpenSigma);
        if (std::memcmp(a.data(), b.data(), a.byteSize()) != 0) result.bit_identical = false;
    }

    int iterations = 0;
    const float finalErr = multigrid.solve(x, rhs, iterations, kCycleLimit, kTolerance, nullptr);
    result.cycles_to_tolerance = finalErr <= kTolerance ? iterations : -1;
    return result;
}

}  // namespace skv
