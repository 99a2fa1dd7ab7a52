#include "ui/gl_window.h"

#include <GLFW/glfw3.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/exception.h"
#include "platform/log.h"

namespace skv {
namespace {

std::mutex glfwMutex;

// How often an open dialog asks closeWanted(): often enough that a stop feels immediate, rarely
// enough to cost nothing.
constexpr double kClosePollSeconds = 0.1;

void logGlfwError(int code, const char* description) {
    SKV_LOG(Debug, "GLFW error " << code << ": " << (description ? description : ""));
}

// GLFW is initialised once per process, and only when a display is there to talk to. A host
// that wants no window at all (a farm render) says so with SKYVANE_PREVIEW=off.
bool windowingAvailable() {
    if (const char* preview = std::getenv("SKYVANE_PREVIEW");
        preview && std::string(preview) == "off")
        return false;
    std::lock_guard<std::mutex> lock(glfwMutex);
    static int state = -1;
    if (state < 0) {
        const char* x11 = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        const bool display = (x11 && *x11) || (wayland && *wayland);
        glfwSetErrorCallback(&logGlfwError);
        state = display && glfwInit() == GLFW_TRUE ? 1 : 0;
        if (!state) SKV_LOG(Info, "No display: the preview runs without a window");
    }
    return state == 1;
}

GLWindow* windowOf(GLFWwindow* w) {
    return static_cast<GLWindow*>(glfwGetWindowUserPointer(w));
}

}  // namespace

GLWindow::GLWindow(std::string title, int x, int y, int width, int height)
    : title_(std::move(title)), x_(x), y_(y), width_(width), height_(height) {}

GLWindow::~GLWindow() {
    if (window_) glfwDestroyWindow(window_);
}

void GLWindow::setTitle(const std::string& title) {
    title_ = title;
    if (window_) glfwSetWindowTitle(window_, title_.c_str());
}

void GLWindow::makeCurrent() {
    if (!window_) return;
    glfwMakeContextCurrent(window_);
    if (glfwGetCurrentContext() != window_) throw Exception("Failed to activate GL Context");
}

void GLWindow::releaseContext() {
    if (window_) glfwMakeContextCurrent(nullptr);
}

void GLWindow::post(intptr_t code, intptr_t wParam) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back({code, wParam});
    }
    wake_.notify_one();
    if (window_) glfwPostEmptyEvent();
}

void GLWindow::requestClose() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closeRequested_ = true;
    }
    wake_.notify_one();
    if (window_) glfwPostEmptyEvent();
}

void GLWindow::handleClose() {
    closeRequested_ = false;
    if (window_) glfwSetWindowShouldClose(window_, GLFW_FALSE);
    onClose();
    endDialog();
}

void GLWindow::dispatchMessages() {
    for (;;) {
        Message m;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (messages_.empty() || ended_) return;
            m = messages_.front();
            messages_.pop_front();
        }
        onUserMessage(m.code, m.wParam, m.code);
    }
}

void GLWindow::paintNow() {
    dirty_ = false;
    if (!window_) return;
    makeCurrent();
    paint();
    glfwSwapBuffers(window_);
    releaseContext();
}

void GLWindow::open() {
    ended_ = false;
    closeRequested_ = false;
    if (windowingAvailable()) {
        glfwDefaultWindowHints();
        glfwWindowHint(GLFW_DOUBLEBUFFER, GLFW_TRUE);
        glfwWindowHint(GLFW_DEPTH_BITS, 16);
        glfwWindowHint(GLFW_RESIZABLE, GLFW_TRUE);
        window_ = glfwCreateWindow(width_, height_, title_.c_str(), nullptr, nullptr);
        if (window_) {
            glfwSetWindowPos(window_, x_, y_);
            glfwSetWindowUserPointer(window_, this);
            glfwSetFramebufferSizeCallback(window_, [](GLFWwindow* w, int width, int height) {
                GLWindow* self = windowOf(w);
                self->width_ = width;
                self->height_ = height;
                self->makeCurrent();
                self->resize(width, height);
                self->releaseContext();
                self->invalidate();
            });
            glfwSetWindowRefreshCallback(window_, [](GLFWwindow* w) { windowOf(w)->invalidate(); });
            glfwSetKeyCallback(window_, [](GLFWwindow* w, int key, int, int action, int) {
                if (action != GLFW_PRESS) return;
                if (key == GLFW_KEY_ESCAPE) {
                    windowOf(w)->handleClose();
                    return;
                }
                windowOf(w)->makeCurrent();
                windowOf(w)->onKey(key);
                windowOf(w)->releaseContext();
            });
            int fbWidth = width_, fbHeight = height_;
            glfwGetFramebufferSize(window_, &fbWidth, &fbHeight);
            width_ = fbWidth;
            height_ = fbHeight;
            makeCurrent();
            initGL();
            resize(width_, height_);
            releaseContext();
        } else {
            SKV_LOG(Error, "Failed to create the preview window: the run goes on without it");
        }
    }
    if (!window_) initGL();  // still starts the hand-over, with no GL to set up

    open_ = true;
    while (!ended_) {
        dispatchMessages();
        if (ended_) break;
        if (window_) {
            if (dirty_) paintNow();
            glfwWaitEventsTimeout(kClosePollSeconds);
            if (glfwWindowShouldClose(window_) || closeRequested_ || closeWanted()) handleClose();
        } else {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::duration<double>(kClosePollSeconds),
                           [this] { return !messages_.empty() || closeRequested_; });
            const bool close = closeRequested_;
            lock.unlock();
            if (close || closeWanted()) handleClose();
        }
    }
    open_ = false;
    if (window_) {
        glfwDestroyWindow(window_);
        window_ = nullptr;
        glfwPollEvents();  // let the window manager see it go
    }
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}

}  // namespace skv
