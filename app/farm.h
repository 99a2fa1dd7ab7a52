#pragma once

#include <string>
#include <vector>

namespace skv::app {

// A render farm job of a scene: one simulate task, then the frames rendered in chunks by a job
// array that starts when the simulation succeeded. The scripts and the record of the submitted
// jobs live next to the scene, in SCENE.farm/.
struct FarmJob {
    std::string scene;                  // absolute
    std::string program;                // the skyvane program the tasks run (absolute)
    std::string plugin;                 // the plug-in library (absolute)
    std::string output;                 // the image pattern (absolute)
    std::vector<std::string> settings;  // --set NAME=VALUE, passed on to every task
    int frameCount = 0;
    int chunk = 10;  // frames a render task
    int simCpus = 2, renderCpus = 1;
    std::string partition;  // empty: the scheduler's default

    std::string folder() const { return scene + ".farm"; }
    int chunks() const { return (frameCount + chunk - 1) / chunk; }
    // The frames of chunk k: first and last.
    std::pair<int, int> chunkFrames(int k) const;
};

// The two job scripts for Slurm's sbatch, and the sbatch command lines that submit them ($SIM
// stands for the simulate job's id in the second).
std::string slurmSimulateScript(const FarmJob& job);
std::string slurmRenderScript(const FarmJob& job);

// Writes the scripts into the job's folder and submits them with sbatch: the simulate job, then
// the render array with --dependency=afterok on it. Prints the job ids and records them in
// SCENE.farm/jobs.json. With `dryRun` prints the scripts and the sbatch lines instead. Throws
// HostError before anything is submitted when sbatch is missing; a refusal of the render array
// cancels the simulate job it depended on.
void submitToSlurm(const FarmJob& job, bool dryRun);

// What a submitted job has done, from its files alone (no scheduler query): the job ids, the
// frames rendered so far (the output images), and every task that failed with its frames and
// exit status (from the tasks' machine-readable result lines). Returns the number of failed
// tasks.
int printFarmStatus(const std::string& scene);

}  // namespace skv::app
