#pragma once

namespace skv {

// The run of a simulation as the preview window drives it, one frame at a time, on the host's
// thread. Operations return false to end the run.
class SimulationHost {
  public:
    // Reads all parameters at the current frame time into the engine and adds that frame's
    // source-layer inputs.
    virtual bool prepareFrame() = 0;
    // If a frame remains before the end: hands its time to the engine, wakes the worker and
    // steps the cursor; false at the end.
    virtual bool advanceFrame() = 0;
    // Shows the newest simulated frame; false when the window is gone or host calls fail.
    virtual bool frameCompleted() = 0;
    // Clears the engine's outdated mark if this run started at the first frame.
    virtual void settleOutdatedMark() = 0;
    // Asks the worker to stop at its next check.
    virtual void requestAbort() = 0;

  protected:
    ~SimulationHost() = default;
};

}  // namespace skv
