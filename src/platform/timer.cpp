#include "platform/timer.h"

#include <chrono>

namespace skv {
namespace {
using Clock = std::chrono::steady_clock;
int64_t nowTicks() {
    return Clock::now().time_since_epoch().count();
}
}  // namespace

Timer::Timer()
    : startTick_(0), secondsPerTick_(static_cast<double>(Clock::period::num) / Clock::period::den) {
    restart();
}

void Timer::restart() {
    startTick_ = nowTicks();
}

double Timer::elapsed() const {
    return static_cast<double>(nowTicks() - startTick_) * secondsPerTick_;
}

}  // namespace skv
