#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

struct GLFWwindow;

namespace skv {

// A window with its own OpenGL 1.1 context and a modal message loop on the thread that opens
// it. Other threads talk to the loop only by posting user messages. Without a display (or
// without a windowing system) the same loop runs with no window and no GL, so a headless run
// behaves exactly like one on a desktop.
class GLWindow {
  public:
    GLWindow(std::string title, int x, int y, int width, int height);
    virtual ~GLWindow();
    GLWindow(const GLWindow&) = delete;
    GLWindow& operator=(const GLWindow&) = delete;

    // Shows the window and runs its loop until endDialog; returns then.
    void open();
    // Ends the loop (from the loop's own thread, inside a handler).
    void endDialog() { ended_ = true; }
    bool isOpen() const { return open_; }
    // Whether a real window with a GL context exists.
    bool hasWindow() const { return window_ != nullptr; }

    // Thread-safe: queues a user message for the loop (code in lParam) and wakes it.
    void post(intptr_t code, intptr_t wParam = 0);
    // Asks for a repaint at the next turn of the loop.
    void invalidate() { dirty_ = true; }
    // The user's close, as the window manager sends it (tests use it too).
    void requestClose();

    int width() const { return width_; }
    int height() const { return height_; }
    void setTitle(const std::string& title);
    const std::string& title() const { return title_; }

  protected:
    virtual void initGL() {}
    virtual void resize(int, int) {}
    virtual void paint() {}
    virtual void onClose() {}
    virtual void onKey(int) {}
    virtual void onUserMessage(intptr_t, intptr_t, intptr_t) {}
    // Asked a few times a second while the dialog runs: true closes it as the user would.
    virtual bool closeWanted() { return false; }

    // Makes the context current; throws Exception "Failed to activate GL Context" when it
    // cannot. Does nothing without a window.
    void makeCurrent();
    void releaseContext();

  private:
    struct Message {
        intptr_t code, wParam;
    };
    void dispatchMessages();
    void paintNow();
    void handleClose();

    std::string title_;
    int x_, y_, width_, height_;
    GLFWwindow* window_ = nullptr;
    bool open_ = false;
    bool ended_ = false;
    bool dirty_ = true;
    bool closeRequested_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Message> messages_;
};

}  // namespace skv
