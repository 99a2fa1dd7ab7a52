#pragma once

#include <string>
#include <utility>

namespace skv {

// The system's one exception type: a plain value of two texts, thrown and caught by value.
// The location is empty at every throw site of the system; the barrier around host
// commands prints it anyway so that a future caller can fill it.
class Exception {
  public:
    explicit Exception(std::string message, std::string location = {})
        : message_(std::move(message)), location_(std::move(location)) {}
    virtual ~Exception() = default;

    const std::string& message() const { return message_; }
    const std::string& location() const { return location_; }

  private:
    std::string message_;
    std::string location_;
};

// Thrown by the linear solvers when a solve diverges; the simulation host ends the run
// and tells the user that the simulation became unstable.
class SolverDivergenceException : public Exception {
  public:
    SolverDivergenceException() : Exception("Solver aborted: divergent solution") {}
};

}  // namespace skv
