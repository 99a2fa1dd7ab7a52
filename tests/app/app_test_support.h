#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace skv::test {

inline const char* pluginPath() { return SKV_PLUGIN_PATH; }
inline const char* programPath() { return SKV_PROGRAM_PATH; }

// Answers the plug-in's dialogs from a script file and records what it showed: the plug-in's
// dialogs module reads SKYVANE_DIALOGS whenever it changes.
class ScriptedPluginDialogs {
public:
    ScriptedPluginDialogs(const TempDir& dir, const std::vector<std::string>& answers = {});
    ~ScriptedPluginDialogs();
    // The dialogs shown so far: "kind\ttitle\ttext" with newlines written as "\n".
    std::vector<std::string> shown() const;
    bool showed(const std::string& fragment) const;

private:
    std::string script_;
};

// A program run: exit status and what it printed on both streams.
struct ProgramRun {
    int status = -1;
    std::string output;
};
ProgramRun runProgram(const std::vector<std::string>& arguments, const std::string& environment = "");

// Starts the program in the background with `home` as its home folder and no preview window;
// the caller waits for (or signals) the returned process.
pid_t startProgram(const std::vector<std::string>& arguments, const std::string& home);

// Writes a PNG (or any format OpenImageIO writes) of a constant colour.
void writeConstantImage(const std::string& path, int width, int height, float r, float g, float b, float a);

}  // namespace skv::test
