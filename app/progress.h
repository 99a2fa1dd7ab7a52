#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace skv::app {

// Progress of long work on the terminal: a line that rewrites itself on a terminal, one line
// per step otherwise, or, for farm managers, one "key=value" line per step.
class ProgressPrinter {
  public:
    enum Mode { kHuman, kMachine, kQuiet };
    ProgressPrinter(Mode mode, std::string task);
    // Frame `frame` (its number in the scene) finished as step `done` of `total` (1-based),
    // with the seconds of the last step and the mean.
    void step(int frame, int done, int total, double lastSeconds, double meanSeconds,
              const std::string& device);
    // A closing sentence for people (machine mode closes with the command's result line).
    void finish(const std::string& summary);
    // A line for people that does not break a progress line being rewritten.
    void note(const std::string& text);

  private:
    Mode mode_;
    std::string task_;
    bool terminal_;
    bool open_ = false;
};

}  // namespace skv::app
