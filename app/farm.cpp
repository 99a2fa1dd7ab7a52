#include "farm.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "command_line.h"
#include "host_error.h"
#include "image_io.h"

namespace skv::app {
namespace fs = std::filesystem;

namespace {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The options every task passes on: the plug-in and the scene's overrides.
std::string sharedOptions(const FarmJob& job) {
    std::string options = " --plugin " + quoted(job.plugin);
    for (const std::string& s : job.settings)
        options += " --set " + quoted(s);
    return options;
}

// The script's first lines: sbatch reads its directives only before the first command.
std::string header(const FarmJob& job, const std::string& name, int cpus, const std::string& output,
                   const std::string& more = "") {
    std::string text = "#!/bin/bash\n";
    text += "#SBATCH --job-name=" + name + "\n";
    text += "#SBATCH --cpus-per-task=" + std::to_string(cpus) + "\n";
    text += "#SBATCH --output=" + output + "\n";
    if (!job.partition.empty()) text += "#SBATCH --partition=" + job.partition + "\n";
    text += more;
    text +=
        "# Written by skyvane submit; every path is absolute, so any node that sees them can run "
        "it.\n";
    text += "set -u\n";
    return text;
}

struct Command {
    int status = -1;
    std::string output;
};

// Runs a program with arguments (no shell) and collects what it printed.
Command runCommand(const std::vector<std::string>& arguments) {
    int pipeFds[2];
    Command result;
    if (::pipe(pipeFds) != 0) return result;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(pipeFds[1], STDERR_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        std::vector<char*> argv;
        for (const auto& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::array<char, 4096> buffer;
    for (ssize_t n; (n = ::read(pipeFds[0], buffer.data(), buffer.size())) > 0;)
        result.output.append(buffer.data(), size_t(n));
    ::close(pipeFds[0]);
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child)
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

// The last machine-readable result line of a task's output, or "" while it has none.
std::string resultLine(const std::string& file) {
    std::ifstream in(file);
    std::string line, last;
    while (std::getline(in, line))
        if (line.rfind("result ", 0) == 0) last = line;
    return last;
}

}  // namespace

std::pair<int, int> FarmJob::chunkFrames(int k) const {
    const int first = k * chunk;
    return {first, std::min(frameCount - 1, first + chunk - 1)};
}

std::string slurmSimulateScript(const FarmJob& job) {
    const std::string logs = job.folder() + "/logs";
    std::string text = header(job, "skyvane-simulate", job.simCpus, logs + "/simulate-%j.out");
    text += "exec " + quoted(job.program) + " simulate " + quoted(job.scene) + sharedOptions(job) +
            " --threads " + std::to_string(job.simCpus) + " --progress=machine --log " +
            quoted(logs) + "/simulate-\"$SLURM_JOB_ID\".log\n";
    return text;
}

std::string slurmRenderScript(const FarmJob& job) {
    const std::string logs = job.folder() + "/logs";
    std::string text = header(job, "skyvane-render", job.renderCpus, logs + "/render-%A_%a.out",
                              "#SBATCH --array=0-" + std::to_string(job.chunks() - 1) + "\n");
    text += "CHUNK=" + std::to_string(job.chunk) + "\n";
    text += "FIRST=$(( SLURM_ARRAY_TASK_ID * CHUNK ))\n";
    text += "LAST=$(( FIRST + CHUNK - 1 ))\n";
    text += "if [ \"$LAST\" -gt " + std::to_string(job.frameCount - 1) +
            " ]; then LAST=" + std::to_string(job.frameCount - 1) + "; fi\n";
    text += "exec " + quoted(job.program) + " render " + quoted(job.scene) + sharedOptions(job) +
            " -o " + quoted(job.output) + " --frames \"$FIRST-$LAST\" --threads " +
            std::to_string(job.renderCpus) + " --progress=machine --log " + quoted(logs) +
            "/render-\"$SLURM_ARRAY_TASK_ID\".log\n";
    return text;
}

void submitToSlurm(const FarmJob& job, bool dryRun) {
    const std::string simulateScript = job.folder() + "/simulate.sh",
                      renderScript = job.folder() + "/render.sh";
    const std::vector<std::string> submitSimulate = {"sbatch", "--parsable", simulateScript};
    const auto submitRender = [&](const std::string& simulateId) {
        return std::vector<std::string>{"sbatch", "--parsable",
                                        "--dependency=afterok:" + simulateId, renderScript};
    };
    const auto line = [](const std::vector<std::string>& args) {
        std::string text;
        for (const auto& a : args)
            text += (text.empty() ? "" : " ") +
                    (a.find_first_of(" '$") == std::string::npos ? a : quoted(a));
        return text;
    };
    if (dryRun) {
        std::printf("# %s\n%s\n# %s\n%s\n", simulateScript.c_str(),
                    slurmSimulateScript(job).c_str(), renderScript.c_str(),
                    slurmRenderScript(job).c_str());
        std::printf("SIM=$(%s)\nsbatch --parsable --dependency=afterok:\"$SIM\" %s\n",
                    line(submitSimulate).c_str(), quoted(renderScript).c_str());
        return;
    }
    if (runCommand({"sbatch", "--version"}).status != 0)
        throw HostError(
            kExitUsage,
            "submit --scheduler slurm needs Slurm's sbatch on the PATH; nothing was submitted");
    std::error_code error;
    fs::create_directories(job.folder() + "/logs", error);
    for (const auto& [path, text] : {std::pair{simulateScript, slurmSimulateScript(job)},
                                     std::pair{renderScript, slurmRenderScript(job)}}) {
        std::ofstream out(path, std::ios::trunc);
        out << text;
        out.close();
        if (!out)
            throw HostError(kExitScene,
                            path + ": cannot write the job script; nothing was submitted");
        fs::permissions(path, fs::perms::owner_exec, fs::perm_options::add, error);
    }
    const Command simulate = runCommand(submitSimulate);
    const std::string simulateId = trimmed(simulate.output);
    if (simulate.status != 0 || simulateId.empty() ||
        simulateId.find_first_not_of("0123456789;") != std::string::npos)
        throw HostError(kExitUsage, "sbatch refused the simulate job: " + trimmed(simulate.output) +
                                        "; nothing was submitted");
    const std::string simulateJob = simulateId.substr(0, simulateId.find(';'));
    const Command render = runCommand(submitRender(simulateJob));
    const std::string renderId = trimmed(render.output);
    if (render.status != 0 || renderId.empty() ||
        renderId.find_first_not_of("0123456789;") != std::string::npos) {
        runCommand({"scancel", simulateJob});
        throw HostError(kExitUsage,
                        "sbatch refused the render job array: " + trimmed(render.output) +
                            "; the simulate job " + simulateJob + " was cancelled");
    }
    const std::string renderJob = renderId.substr(0, renderId.find(';'));
    nlohmann::json record = {{"scheduler", "slurm"},     {"simulate", simulateJob},
                             {"render", renderJob},      {"chunk", job.chunk},
                             {"frames", job.frameCount}, {"output", job.output},
                             {"scene", job.scene},       {"program", job.program}};
    std::ofstream(job.folder() + "/jobs.json", std::ios::trunc) << record.dump(2) << "\n";
    std::printf(
        "simulate job %s\nrender job array %s: %d chunks of %d frames, after the simulate job "
        "succeeds\n",
        simulateJob.c_str(), renderJob.c_str(), job.chunks(), job.chunk);
    std::printf("follow it with: skyvane submit --status %s\n", job.scene.c_str());
}

int printFarmStatus(const std::string& scene) {
    const std::string folder = scene + ".farm";
    std::ifstream in(folder + "/jobs.json");
    if (!in)
        throw HostError(kExitScene,
                        folder + "/jobs.json: no farm job was submitted for this scene");
    nlohmann::json record;
    try {
        record = nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception&) {
        throw HostError(kExitScene, folder + "/jobs.json: not a farm job record");
    }
    const std::string simulateJob = record.value("simulate", ""),
                      renderJob = record.value("render", "");
    const int frames = record.value("frames", 0), chunk = std::max(1, record.value("chunk", 1));
    const std::string output = record.value("output", "");
    std::printf("simulate job %s, render job array %s (%d chunks of %d frames)\n",
                simulateJob.c_str(), renderJob.c_str(), (frames + chunk - 1) / chunk, chunk);
    int failures = 0;
    const std::string simulateResult =
        resultLine(folder + "/logs/simulate-" + simulateJob + ".out");
    std::printf("simulate: %s\n", simulateResult.empty() ? "not finished" : simulateResult.c_str());
    if (simulateResult.find("status=ok") == std::string::npos && !simulateResult.empty())
        ++failures;
    std::vector<int> rendered;
    for (int f = 0; f < frames; ++f)
        if (fs::exists(expandFramePattern(output, f))) rendered.push_back(f);
    std::printf("rendered: %zu of %d frames%s%s\n", rendered.size(), frames,
                rendered.empty() ? "" : ": ", formatFrameSet(rendered).c_str());
    const std::regex exitStatus(R"(exit=([0-9]+))");
    for (int k = 0; k * chunk < frames; ++k) {
        const std::string result =
            resultLine(folder + "/logs/render-" + renderJob + "_" + std::to_string(k) + ".out");
        if (result.empty() || result.find("status=ok") != std::string::npos) continue;
        ++failures;
        std::smatch m;
        const int first = k * chunk, last = std::min(frames - 1, first + chunk - 1);
        std::printf(
            "failed: chunk %d, frames %d-%d, exit %s; render it again with: skyvane render %s "
            "--frames %d-%d\n",
            k, first, last, std::regex_search(result, m, exitStatus) ? m[1].str().c_str() : "?",
            scene.c_str(), first, last);
    }
    return failures;
}

}  // namespace skv::app
