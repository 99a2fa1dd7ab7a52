#include "progress.h"

#include <unistd.h>

#include <cmath>

namespace skv::app {

ProgressPrinter::ProgressPrinter(Mode mode, std::string task)
    : mode_(mode), task_(std::move(task)), terminal_(::isatty(STDERR_FILENO) != 0) {}

void ProgressPrinter::step(int frame, int done, int total, double lastSeconds, double meanSeconds,
                           const std::string& device) {
    const double left = std::max(0, total - done) * meanSeconds;
    const int seconds = int(std::lround(left));
    if (mode_ == kMachine) {
        std::fprintf(
            stderr,
            "progress task=%s frame=%d done=%d total=%d seconds=%.3f mean=%.3f device=%s left=%d\n",
            task_.c_str(), frame, done, total, lastSeconds, meanSeconds, device.c_str(), seconds);
        std::fflush(stderr);
        return;
    }
    if (mode_ == kQuiet) return;
    std::fprintf(stderr, "%s%s frame %d (%d/%d)  %.2f s/frame  %s  %02d:%02d:%02d left%s",
                 terminal_ ? "\r" : "", task_.c_str(), frame, done, total, meanSeconds,
                 device.c_str(), seconds / 3600, seconds / 60 % 60, seconds % 60,
                 terminal_ ? "   " : "\n");
    std::fflush(stderr);
    open_ = terminal_;
}

void ProgressPrinter::finish(const std::string& summary) {
    if (mode_ != kHuman) return;
    if (open_) std::fprintf(stderr, "\n");
    open_ = false;
    std::fprintf(stderr, "%s: %s\n", task_.c_str(), summary.c_str());
}

void ProgressPrinter::note(const std::string& text) {
    if (mode_ == kQuiet) return;
    if (open_) std::fprintf(stderr, "\n");
    open_ = false;
    std::fprintf(stderr, "%s: %s\n", task_.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace skv::app
