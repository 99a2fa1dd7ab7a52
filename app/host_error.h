#pragma once

#include <stdexcept>
#include <string>

namespace skv::app {

// Exit statuses of the program, one per kind of failure.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 2,       // bad command line
    kExitScene = 3,       // the scene file, its layers or images
    kExitPlugin = 4,      // the plug-in library cannot be used
    kExitSimulation = 5,  // the simulation failed or became unstable
    kExitRender = 6,      // rendering or writing images failed
    kExitOutdated = 7,    // the cache no longer matches the scene (render without --allow-outdated)
    kExitInterrupted = 130,  // SIGINT (Ctrl-C): finished work is kept
    kExitTerminated = 143,   // SIGTERM: finished work is kept
};

// A failure the program reports to the user and ends with; the message names the file,
// parameter or frame concerned.
class HostError : public std::runtime_error {
  public:
    HostError(ExitCode code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

  private:
    ExitCode code_;
};

}  // namespace skv::app
