#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace skv {

// Answers of askQuestion, with the values the host's message boxes use.
constexpr int kAnswerYes = 4;
constexpr int kAnswerNo = 8;
constexpr int kAnswerCancel = 2;

struct DialogColor {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const DialogColor&) const = default;
};

// Every dialog the system shows goes through one backend. Dialogs are shown on the host's
// thread only, and none may block a headless run: the console backend prints and takes the
// safe answer (OK, Cancel).
class DialogBackend {
  public:
    virtual ~DialogBackend() = default;
    virtual void showMessage(const std::string& title, const std::string& text) = 0;
    // kAnswerYes, kAnswerNo, or kAnswerCancel for anything else (closing the box included).
    virtual int askQuestion(const std::string& title, const std::string& text) = 0;
    // Lets the user pick a folder, starting at `path`. True and the chosen path when
    // confirmed; false (path unchanged) when cancelled.
    virtual bool browseForFolder(std::string& path, const std::string& title) = 0;
    // Lets the user pick a colour, starting at `color`; `custom` holds the chooser's 16
    // custom colours and may be changed by it. True when confirmed.
    virtual bool chooseColor(DialogColor& color, std::array<DialogColor, 16>& custom) = 0;
};

// The backend in use. Until one is installed it is chosen from the environment variable
// SKYVANE_DIALOGS (read again whenever it changes): "console"; "desktop"; "script:PATH", a
// scripted backend whose answers come from the file PATH (see ScriptedDialogs::loadScript) and
// which appends every dialog it shows to PATH.shown; or, when unset, the desktop's dialogs when a
// display and zenity are there, else the console.
DialogBackend& dialogs();
// Installs a backend and returns the previous one.
std::unique_ptr<DialogBackend> setDialogBackend(std::unique_ptr<DialogBackend> backend);

// Prints to standard error and takes the safe answers: OK, Cancel, no folder, no colour.
class ConsoleDialogs : public DialogBackend {
  public:
    void showMessage(const std::string& title, const std::string& text) override;
    int askQuestion(const std::string& title, const std::string& text) override;
    bool browseForFolder(std::string& path, const std::string& title) override;
    bool chooseColor(DialogColor& color, std::array<DialogColor, 16>& custom) override;
};

// The desktop's dialogs, through zenity. Falls back to the console's answers when zenity
// cannot be run.
class DesktopDialogs : public DialogBackend {
  public:
    // Whether a display and the zenity program are there.
    static bool available();
    void showMessage(const std::string& title, const std::string& text) override;
    int askQuestion(const std::string& title, const std::string& text) override;
    bool browseForFolder(std::string& path, const std::string& title) override;
    bool chooseColor(DialogColor& color, std::array<DialogColor, 16>& custom) override;

  private:
    ConsoleDialogs fallback_;
};

// Answers from queues given in advance and records everything shown; empty queues give
// the console backend's safe answers. For tests and for scripted runs.
class ScriptedDialogs : public DialogBackend {
  public:
    struct Shown {
        std::string kind;  // "message", "question", "folder", "color"
        std::string title;
        std::string text;
    };

    // Queues the answers of a script file, one per line: "yes", "no", "cancel" (questions),
    // "folder PATH" or "folder cancel", "color R G B" or "color cancel". Blank lines and lines
    // starting with '#' are skipped. Returns false when the file cannot be read.
    bool loadScript(const std::string& path);
    // Appends every dialog shown from now on to `path`, one line each: kind, title and text
    // separated by tabs, with newlines in texts written as "\n".
    void setTranscript(const std::string& path) { transcript_ = path; }

    void queueAnswer(int answer);
    void queueFolder(std::optional<std::string> folder);  // nullopt: the user cancels
    void queueColor(std::optional<DialogColor> color);

    std::vector<Shown> shown() const;
    void clearShown();

    void showMessage(const std::string& title, const std::string& text) override;
    int askQuestion(const std::string& title, const std::string& text) override;
    bool browseForFolder(std::string& path, const std::string& title) override;
    bool chooseColor(DialogColor& color, std::array<DialogColor, 16>& custom) override;

  private:
    mutable std::mutex mutex_;
    std::deque<int> answers_;
    std::deque<std::optional<std::string>> folders_;
    std::deque<std::optional<DialogColor>> colors_;
    std::vector<Shown> shown_;
    std::string transcript_;

    void record(Shown shown);
};

// The folder selection dialog: on confirmation `cancelled` is false and `path` the chosen
// folder; on cancel `cancelled` is true and `path` unchanged. `owner` is the parent window
// where a desktop has one.
void browseForFolder(void* owner, std::string& path, const std::string& title, bool& cancelled);

}  // namespace skv
