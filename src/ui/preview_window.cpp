#include "ui/preview_window.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gpu/cuda_state.h"
#include "platform/log.h"
#include "ui/simulation_host.h"

namespace skv {
namespace {

constexpr double kFieldOfView = 70.0;
constexpr double kNear = 0.01, kFar = 10.0;
constexpr float kCheckerTiles = 20.0f;  // window pixels per checker texel

enum UserCode : intptr_t { kFrameReady = 0, kRunFailed = 1 };

}  // namespace

PreviewWindow::PreviewWindow(void* parent, SimulationHost* listener, std::string name, int x, int y,
                             int width, int height)
    : GLWindow(name, x, y, width, height),
      parent_(parent),
      listener_(listener),
      name_(std::move(name)) {
    // Hooks for automated tests of the window: a screenshot after every frame shown, and a close
    // by "the user" after a number of frames.
    if (const char* shot = std::getenv("SKYVANE_PREVIEW_SCREENSHOT")) screenshotPath_ = shot;
    if (const char* close = std::getenv("SKYVANE_PREVIEW_CLOSE_AFTER"))
        closeAfterFrames_ = std::atoi(close);
}

PreviewWindow::~PreviewWindow() = default;

std::string PreviewWindow::formatTitle(int currentFrame, int endFrame, const std::string& name,
                                       double lastFrameSeconds, double meanFrameSeconds,
                                       double frameRate, bool gpu) {
    const int remaining = int(std::ceil((endFrame - currentFrame) * meanFrameSeconds));
    const int hours = remaining / 3600, minutes = remaining / 60 % 60, seconds = remaining % 60;
    char title[512];
    if (lastFrameSeconds < 1.0) {
        std::snprintf(title, sizeof title, "%d/%d - %s - %4.2f/%4.2f Fps (%s), %02d:%02d:%02d left",
                      currentFrame, endFrame, name.c_str(),
                      lastFrameSeconds > 0 ? 1.0 / lastFrameSeconds : 0.0, frameRate,
                      gpu ? "GPU" : "CPU", hours, minutes, seconds);
    } else {
        std::snprintf(title, sizeof title,
                      "%d/%d - %s - %3.1fs per Frame (%s), %02d:%02d:%02d left", currentFrame,
                      endFrame, name.c_str(), lastFrameSeconds, gpu ? "GPU" : "CPU", hours, minutes,
                      seconds);
    }
    return title;
}

void PreviewWindow::setFrames(int currentFrame, int endFrame, double frameRate) {
    currentFrame_ = currentFrame;
    endFrame_ = endFrame;
    frameRate_ = frameRate;
}

void PreviewWindow::setTimes(double lastFrameSeconds, double meanFrameSeconds) {
    lastFrameSeconds_ = lastFrameSeconds;
    meanFrameSeconds_ = meanFrameSeconds;
}

void PreviewWindow::checkGLError(int line) {
    const GLenum error = glGetError();
    if (error != GL_NO_ERROR)
        SKV_LOG(Error, "GL Error in src/ui/preview_window(" << line << "): " << error << "\n");
}

void PreviewWindow::setPerspective(int width, int height) {
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(kFieldOfView, height > 0 ? double(width) / height : 1.0, kNear, kFar);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

void PreviewWindow::initGL() {
    if (hasWindow()) {
        setPerspective(width(), height());
        glDisable(GL_LIGHTING);
        glGenTextures(1, &fieldTexture_);
        glBindTexture(GL_TEXTURE_2D, fieldTexture_);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
        glEnable(GL_DEPTH_TEST);
        glClearDepth(1.0);
        checkGLError(__LINE__);
    }
    post(kFrameReady);  // starts the first hand-over
}

void PreviewWindow::resize(int width, int height) {
    setPerspective(width, height);
}

bool PreviewWindow::update(const float* rgba, int width, int height) {
    if (!rgba || width <= 0 || height <= 0) return true;
    imageWidth_ = width;
    imageHeight_ = height;
    hasFrame_ = true;
    if (!hasWindow()) return true;
    makeCurrent();
    glEnable(GL_TEXTURE_2D);
    checkGLError(__LINE__);
    glBindTexture(GL_TEXTURE_2D, fieldTexture_);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, height, 0, GL_RGBA, GL_FLOAT, rgba);
    checkGLError(__LINE__);
    glDisable(GL_TEXTURE_2D);
    releaseContext();
    invalidate();
    return true;
}

void PreviewWindow::paint() {
    const int w = width(), h = height();
    glViewport(0, 0, w, h);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_TEXTURE_2D);

    // Checker background, made once: opaque black and dark grey on the diagonals.
    if (!checkerTexture_) {
        const unsigned char texels[16] = {0,  0,  0,  255, 16, 16, 16, 255,
                                          16, 16, 16, 255, 0,  0,  0,  255};
        glGenTextures(1, &checkerTexture_);
        glBindTexture(GL_TEXTURE_2D, checkerTexture_);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 2, 2, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels);
    }
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-w, w, -h, h, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glBindTexture(GL_TEXTURE_2D, checkerTexture_);
    glColor4f(1, 1, 1, 1);
    glBegin(GL_QUADS);
    glTexCoord2f(0, 0);
    glVertex3f(float(-w), float(-h), -0.5f);
    glTexCoord2f(w / kCheckerTiles, 0);
    glVertex3f(float(w), float(-h), -0.5f);
    glTexCoord2f(w / kCheckerTiles, h / kCheckerTiles);
    glVertex3f(float(w), float(h), -0.5f);
    glTexCoord2f(0, h / kCheckerTiles);
    glVertex3f(float(-w), float(h), -0.5f);
    glEnd();

    // The field image, aspect kept, fitted into the window.
    if (hasFrame_) {
        const double windowAspect = h > 0 ? double(w) / h : 1.0;
        const double imageAspect = double(imageWidth_) / imageHeight_;
        const float halfWidth = float(std::min(imageAspect, windowAspect));
        const float halfHeight =
            imageAspect > windowAspect ? float(windowAspect / imageAspect) : 1.0f;
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(-windowAspect, windowAspect, -1, 1, -1, 1);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        glDepthMask(GL_FALSE);
        glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
        glColor4f(1, 1, 1, 1);
        glBindTexture(GL_TEXTURE_2D, fieldTexture_);
        glBegin(GL_QUADS);  // texture rows run top to bottom: flip vertically
        glTexCoord2f(0, 1);
        glVertex2f(-halfWidth, -halfHeight);
        glTexCoord2f(1, 1);
        glVertex2f(halfWidth, -halfHeight);
        glTexCoord2f(1, 0);
        glVertex2f(halfWidth, halfHeight);
        glTexCoord2f(0, 0);
        glVertex2f(-halfWidth, halfHeight);
        glEnd();
        glDepthMask(GL_TRUE);
        glDisable(GL_BLEND);
    }
    glDisable(GL_TEXTURE_2D);
    checkGLError(__LINE__);
    setTitle(formatTitle(currentFrame_, endFrame_, name_, lastFrameSeconds_, meanFrameSeconds_,
                         frameRate_, isCudaActive()));
    if (hasFrame_ && !screenshotPath_.empty())
        writeScreenshot();  // before the swap: the back buffer
}

void PreviewWindow::writeScreenshot() {
    const int w = width(), h = height();
    if (w <= 0 || h <= 0) return;
    std::vector<unsigned char> pixels(size_t(w) * size_t(h) * 3);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
    const std::string partial = screenshotPath_ + ".partial";
    if (std::FILE* f = std::fopen(partial.c_str(), "wb")) {
        std::fprintf(f, "P6\n%d %d\n255\n", w, h);
        for (int y = h - 1; y >= 0; --y)
            std::fwrite(&pixels[size_t(y) * size_t(w) * 3], 1, size_t(w) * 3, f);
        std::fclose(f);
        std::rename(partial.c_str(), screenshotPath_.c_str());
    }
    if (std::FILE* f = std::fopen((screenshotPath_ + ".title").c_str(), "w")) {
        std::fputs(title().c_str(), f);
        std::fclose(f);
    }
}

void PreviewWindow::onClose() {
    if (listener_) listener_->requestAbort();
}

void PreviewWindow::onKey(int) {}

void PreviewWindow::onUserMessage(intptr_t code, intptr_t, intptr_t) {
    if (!listener_) {
        endDialog();
        return;
    }
    if (code == kFrameReady) {
        // The host thread's share of a frame; all three run even when one asks to stop.
        bool ok = listener_->frameCompleted();
        ok = listener_->prepareFrame() && ok;
        ok = listener_->advanceFrame() && ok;
        if (!ok) {
            listener_->requestAbort();
            endDialog();
        }
        if (closeAfterFrames_ >= 0 && ++framesHandled_ > closeAfterFrames_) requestClose();
    } else {
        listener_->requestAbort();
        endDialog();
    }
}

}  // namespace skv
