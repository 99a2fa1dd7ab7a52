#include "platform/dialogs.h"

#include <cstdio>

namespace skv {
namespace {

std::mutex backendMutex;

std::unique_ptr<DialogBackend>& backendSlot() {
    static std::unique_ptr<DialogBackend> backend = std::make_unique<ConsoleDialogs>();
    return backend;
}

}  // namespace

DialogBackend& dialogs() {
    std::lock_guard<std::mutex> lock(backendMutex);
    return *backendSlot();
}

std::unique_ptr<DialogBackend> setDialogBackend(std::unique_ptr<DialogBackend> backend) {
    std::lock_guard<std::mutex> lock(backendMutex);
    if (!backend) backend = std::make_unique<ConsoleDialogs>();
    std::swap(backend, backendSlot());
    return backend;
}

// ---- Console ----

void ConsoleDialogs::showMessage(const std::string& title, const std::string& text) {
    std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
}

int ConsoleDialogs::askQuestion(const std::string& title, const std::string& text) {
    std::fprintf(stderr, "[%s] %s\n  -> Cancel (no one to ask in a headless run)\n", title.c_str(),
                 text.c_str());
    return kAnswerCancel;
}

bool ConsoleDialogs::browseForFolder(std::string&, const std::string& title) {
    std::fprintf(stderr, "[folder] %s\n  -> cancelled (no one to ask in a headless run)\n",
                 title.c_str());
    return false;
}

bool ConsoleDialogs::chooseColor(DialogColor&, std::array<DialogColor, 16>&) { return false; }

// ---- Scripted ----

void ScriptedDialogs::queueAnswer(int answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(answer);
}

void ScriptedDialogs::queueFolder(std::optional<std::string> folder) {
    std::lock_guard<std::mutex> lock(mutex_);
    folders_.push_back(std::move(folder));
}

void ScriptedDialogs::queueColor(std::optional<DialogColor> color) {
    std::lock_guard<std::mutex> lock(mutex_);
    colors_.push_back(color);
}

std::vector<ScriptedDialogs::Shown> ScriptedDialogs::shown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}

void ScriptedDialogs::clearShown() {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_.clear();
}

void ScriptedDialogs::showMessage(const std::string& title, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_.push_back({"message", title, text});
}

int ScriptedDialogs::askQuestion(const std::string& title, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_.push_back({"question", title, text});
    if (answers_.empty()) return kAnswerCancel;
    const int answer = answers_.front();
    answers_.pop_front();
    return answer == kAnswerYes || answer == kAnswerNo ? answer : kAnswerCancel;
}

bool ScriptedDialogs::browseForFolder(std::string& path, const std::string& title) {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_.push_back({"folder", title, path});
    if (folders_.empty()) return false;
    std::optional<std::string> folder = std::move(folders_.front());
    folders_.pop_front();
    if (!folder) return false;
    path = *folder;
    return true;
}

bool ScriptedDialogs::chooseColor(DialogColor& color, std::array<DialogColor, 16>&) {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_.push_back({"color", "", ""});
    if (colors_.empty()) return false;
    const std::optional<DialogColor> chosen = colors_.front();
    colors_.pop_front();
    if (!chosen) return false;
    color = *chosen;
    return true;
}

// ---- Folder browser ----

void browseForFolder(void*, std::string& path, const std::string& title, bool& cancelled) {
    std::string chosen = path;
    cancelled = !dialogs().browseForFolder(chosen, title);
    if (!cancelled) path = chosen;
}

}  // namespace skv
