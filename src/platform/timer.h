#pragma once

#include <cstdint>

namespace skv {

// High-resolution stopwatch on the monotonic clock.
class Timer {
  public:
    Timer();
    void restart();
    double elapsed() const;  // seconds since construction or the last restart

  private:
    int64_t startTick_;
    double secondsPerTick_;
};

}  // namespace skv
