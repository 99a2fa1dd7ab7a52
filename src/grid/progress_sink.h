#pragma once

namespace skv {

// Progress of a long computation, with a "continue?" answer: report returns false to ask the
// computation to stop (it then returns early, leaving a state it can continue from).
class ProgressSink {
  public:
    virtual ~ProgressSink() = default;
    virtual bool report(int done, int total) = 0;
};

}  // namespace skv
