#include "platform/dialogs.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace skv {
namespace {

std::mutex backendMutex;

struct BackendSlot {
    std::unique_ptr<DialogBackend> backend;
    bool installed = false;      // set by setDialogBackend: the environment no longer decides
    std::string fromEnvironment;  // the SKYVANE_DIALOGS value the backend was made from
};

BackendSlot& slot() {
    static BackendSlot* s = new BackendSlot;
    return *s;
}

std::unique_ptr<DialogBackend> backendFromEnvironment(const std::string& setting) {
    const std::string scriptPrefix = "script:";
    if (setting.rfind(scriptPrefix, 0) == 0) {
        const std::string path = setting.substr(scriptPrefix.size());
        auto scripted = std::make_unique<ScriptedDialogs>();
        scripted->loadScript(path);
        scripted->setTranscript(path + ".shown");
        return scripted;
    }
    return std::make_unique<ConsoleDialogs>();
}

}  // namespace

DialogBackend& dialogs() {
    std::lock_guard<std::mutex> lock(backendMutex);
    BackendSlot& s = slot();
    if (!s.installed) {
        const char* env = std::getenv("SKYVANE_DIALOGS");
        const std::string setting = env ? env : "";
        if (!s.backend || setting != s.fromEnvironment) {
            s.backend = backendFromEnvironment(setting);
            s.fromEnvironment = setting;
        }
    }
    return *s.backend;
}

std::unique_ptr<DialogBackend> setDialogBackend(std::unique_ptr<DialogBackend> backend) {
    std::lock_guard<std::mutex> lock(backendMutex);
    BackendSlot& s = slot();
    if (!s.backend) s.backend = std::make_unique<ConsoleDialogs>();
    s.installed = backend != nullptr;
    if (!backend) {
        backend = backendFromEnvironment(s.fromEnvironment);
    }
    std::swap(backend, s.backend);
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

bool ScriptedDialogs::loadScript(const std::string& path) {
    std::ifstream in(path);
    if (!in) return false;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string verb, rest;
        words >> verb;
        std::getline(words >> std::ws, rest);
        if (verb == "yes") queueAnswer(kAnswerYes);
        else if (verb == "no") queueAnswer(kAnswerNo);
        else if (verb == "cancel") queueAnswer(kAnswerCancel);
        else if (verb == "folder") queueFolder(rest == "cancel" ? std::nullopt : std::optional<std::string>(rest));
        else if (verb == "color") {
            int r = 0, g = 0, b = 0;
            if (rest == "cancel" || std::sscanf(rest.c_str(), "%d %d %d", &r, &g, &b) != 3)
                queueColor(std::nullopt);
            else
                queueColor(DialogColor{uint8_t(r), uint8_t(g), uint8_t(b)});
        }
    }
    return true;
}

void ScriptedDialogs::record(Shown shown) {
    if (!transcript_.empty()) {
        const auto escape = [](std::string text) {
            std::string out;
            for (char c : text) out += c == '\n' ? std::string("\\n") : c == '\t' ? std::string(" ") : std::string(1, c);
            return out;
        };
        std::ofstream out(transcript_, std::ios::app);
        out << shown.kind << '\t' << escape(shown.title) << '\t' << escape(shown.text) << '\n';
    }
    shown_.push_back(std::move(shown));
}

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
    record({"message", title, text});
}

int ScriptedDialogs::askQuestion(const std::string& title, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    record({"question", title, text});
    if (answers_.empty()) return kAnswerCancel;
    const int answer = answers_.front();
    answers_.pop_front();
    return answer == kAnswerYes || answer == kAnswerNo ? answer : kAnswerCancel;
}

bool ScriptedDialogs::browseForFolder(std::string& path, const std::string& title) {
    std::lock_guard<std::mutex> lock(mutex_);
    record({"folder", title, path});
    if (folders_.empty()) return false;
    std::optional<std::string> folder = std::move(folders_.front());
    folders_.pop_front();
    if (!folder) return false;
    path = *folder;
    return true;
}

bool ScriptedDialogs::chooseColor(DialogColor& color, std::array<DialogColor, 16>&) {
    std::lock_guard<std::mutex> lock(mutex_);
    record({"color", "", ""});
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
