#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace skv::app {

// What the command line asked for; each command reads the options it declared.
struct CommandOptions {
    std::string command;
    std::string plugin, log;
    int threads = 0;
    std::string scene;                  // or the image pattern of `sheet`
    std::vector<std::string> settings;  // --set NAME=VALUE
    std::string output, frames, progress = "human", param;
    std::string colorspace, background = "checker";
    bool straight = false;
    bool quiet = false, restart = false, preview = false, allowOutdated = false;
    bool doubleClick = false;
    int x = 0, y = 0, every = 1, columns = 4, width = 320;
    double fps = 24;
    std::string scheduler, partition;
    int chunk = 10, simCpus = 2, renderCpus = 1;
    bool dryRun = false, status = false;
    std::vector<int> drag;
};

// The end of a command as a farm manager reads it: with --progress machine, one closing line
// "result task=... status=ok|failed|interrupted exit=N frames=N seconds=S", whatever happened.
class Outcome {
  public:
    explicit Outcome(const CommandOptions& options);
    // Frames the command produced so far (simulated, rendered, exported).
    void setFrames(int frames) { frames_ = frames; }
    // Prints the closing line (machine mode) and returns `exitStatus`.
    int finish(int exitStatus);

  private:
    std::string task_;
    bool machine_;
    int frames_ = 0;
    std::chrono::steady_clock::time_point start_;
};

int commandInfo(const CommandOptions& o);
int commandLayers(const CommandOptions& o);
int commandParams(const CommandOptions& o);
int commandStatus(const CommandOptions& o);
int commandSimulate(const CommandOptions& o, Outcome& outcome);
int commandRender(const CommandOptions& o, Outcome& outcome);
int commandRun(const CommandOptions& o, Outcome& outcome);
int commandExport(const CommandOptions& o, Outcome& outcome);
int commandUi(const CommandOptions& o);
int commandClick(const CommandOptions& o);
int commandSheet(const CommandOptions& o);
int commandMovie(const CommandOptions& o);
int commandSubmit(const CommandOptions& o);

}  // namespace skv::app
