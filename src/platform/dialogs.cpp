#include "platform/dialogs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace skv {
namespace {

std::mutex backendMutex;

struct BackendSlot {
    std::unique_ptr<DialogBackend> backend;
    bool installed = false;       // set by setDialogBackend: the environment no longer decides
    std::string fromEnvironment;  // the SKYVANE_DIALOGS value the backend was made from
};

BackendSlot& slot() {
    static BackendSlot* s = new BackendSlot;
    return *s;
}

std::unique_ptr<DialogBackend> backendFromEnvironment(const std::string& setting) {
    if (setting == "console") return std::make_unique<ConsoleDialogs>();
    if (setting == "desktop" || (setting.empty() && DesktopDialogs::available()))
        return std::make_unique<DesktopDialogs>();
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

bool ConsoleDialogs::chooseColor(DialogColor&, std::array<DialogColor, 16>&) {
    return false;
}

// ---- Desktop (zenity) ----

namespace {

constexpr const char* kZenity = "zenity";

// Runs zenity with the arguments (no shell: texts are passed as they are), returns its exit
// status (-1 when it cannot be run) and what it printed.
int runZenity(const std::vector<std::string>& arguments, std::string& output) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return -1;
    }
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(kZenity));
        for (const auto& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(kZenity, argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        output.append(buffer, size_t(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) return -1;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
        output.pop_back();
    return WEXITSTATUS(status);
}

}  // namespace

bool DesktopDialogs::available() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!((x11 && *x11) || (wayland && *wayland))) return false;
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/" + kZenity).c_str(), X_OK) == 0) return true;
    return false;
}

void DesktopDialogs::showMessage(const std::string& title, const std::string& text) {
    std::string out;
    if (runZenity({"--info", "--no-markup", "--title", title, "--text", text}, out) < 0)
        fallback_.showMessage(title, text);
}

int DesktopDialogs::askQuestion(const std::string& title, const std::string& text) {
    std::string out;
    const int status =
        runZenity({"--question", "--no-markup", "--title", title, "--text", text, "--ok-label",
                   "Yes", "--cancel-label", "No", "--extra-button", "Cancel"},
                  out);
    if (status < 0) return fallback_.askQuestion(title, text);
    if (status == 0) return kAnswerYes;
    if (status == 1 && out != "Cancel") return kAnswerNo;
    return kAnswerCancel;  // the extra button, the window's close button, a timeout
}

bool DesktopDialogs::browseForFolder(std::string& path, const std::string& title) {
    std::string out;
    const int status = runZenity(
        {"--file-selection", "--directory", "--title", title, "--filename", path + "/"}, out);
    if (status < 0) return fallback_.browseForFolder(path, title);
    if (status != 0 || out.empty()) return false;
    path = out;
    return true;
}

bool DesktopDialogs::chooseColor(DialogColor& color, std::array<DialogColor, 16>& custom) {
    char initial[48];
    std::snprintf(initial, sizeof initial, "rgb(%d,%d,%d)", color.r, color.g, color.b);
    std::string out;
    const int status = runZenity({"--color-selection", "--show-palette", "--color", initial}, out);
    if (status < 0) return fallback_.chooseColor(color, custom);
    int r = 0, g = 0, b = 0;
    if (status != 0 || (std::sscanf(out.c_str(), "rgb(%d,%d,%d)", &r, &g, &b) != 3 &&
                        std::sscanf(out.c_str(), "rgba(%d,%d,%d", &r, &g, &b) != 3))
        return false;
    const auto clamp = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
    color = {clamp(r), clamp(g), clamp(b)};
    // The chooser's palette stands in for the custom colours: remember the latest choices.
    for (size_t i = custom.size() - 1; i > 0; --i)
        custom[i] = custom[i - 1];
    custom[0] = color;
    return true;
}

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
        if (verb == "yes")
            queueAnswer(kAnswerYes);
        else if (verb == "no")
            queueAnswer(kAnswerNo);
        else if (verb == "cancel")
            queueAnswer(kAnswerCancel);
        else if (verb == "folder")
            queueFolder(rest == "cancel" ? std::nullopt : std::optional<std::string>(rest));
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
            for (char c : text)
                out += c == '\n'   ? std::string("\\n")
                       : c == '\t' ? std::string(" ")
                                   : std::string(1, c);
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
