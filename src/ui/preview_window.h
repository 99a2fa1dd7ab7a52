#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/timer.h"
#include "ui/gl_window.h"

namespace skv {

class SimulationHost;

// The modal window of a simulation run: shows the newest simulated frame over a checker
// background with progress in its title, and is where the host's thread does its share of
// every frame (user message 0: frame completed → prepare the next → advance) while the worker
// thread simulates. Closing it aborts the run.
class PreviewWindow : public GLWindow {
  public:
    PreviewWindow(void* parent, SimulationHost* listener, std::string name, int x, int y, int width,
                  int height);
    ~PreviewWindow() override;

    // Uploads an RGBA float image (rows top to bottom) as the shown frame; repaints.
    bool update(const float* rgba, int width, int height);

    // Progress written by the host.
    void setFrames(int currentFrame, int endFrame, double frameRate);
    void setTimes(double lastFrameSeconds, double meanFrameSeconds);
    Timer& stopwatch() { return stopwatch_; }
    int currentFrame() const { return currentFrame_; }
    // The host's own way to close the window (a headless host's Ctrl-C): asked a few times a
    // second while the window is open; true closes it as the user's click on its close box.
    void setCloseCheck(std::function<bool()> check) { closeCheck_ = std::move(check); }

    // The title for the given progress: per-frame seconds when a frame takes a second or more,
    // frames per second otherwise.
    static std::string formatTitle(int currentFrame, int endFrame, const std::string& name,
                                   double lastFrameSeconds, double meanFrameSeconds,
                                   double frameRate, bool gpu);

  protected:
    void initGL() override;
    void resize(int width, int height) override;
    void paint() override;
    void onClose() override;
    void onKey(int key) override;
    void onUserMessage(intptr_t code, intptr_t wParam, intptr_t lParam) override;
    bool closeWanted() override { return closeCheck_ && closeCheck_(); }

  private:
    void setPerspective(int width, int height);
    void checkGLError(int line);
    void writeScreenshot();

    void* parent_;
    SimulationHost* listener_;
    std::string name_;
    Timer stopwatch_;
    int currentFrame_ = 0;
    int endFrame_ = 0;
    double frameRate_ = 0;
    double meanFrameSeconds_ = 0;
    double lastFrameSeconds_ = 0;
    unsigned fieldTexture_ = 0;
    unsigned checkerTexture_ = 0;
    int imageWidth_ = 1, imageHeight_ = 1;
    bool hasFrame_ = false;
    int framesHandled_ = 0;
    int closeAfterFrames_ = -1;   // automated tests of the close path
    std::string screenshotPath_;  // automated tests of what the window shows
    std::function<bool()> closeCheck_;
};

}  // namespace skv
