#include "platform/log.h"

#include <atomic>
#include <cstdio>
#include <fstream>

#include "platform/files.h"
#include "platform/mutex.h"
#include "platform/timer.h"

namespace skv {
namespace {

struct LogState {
    std::atomic<bool> enabled{true};
    Timer timer;  // started when the library is loaded
    Mutex mutex{false};
    std::ofstream file;
};

// Never destroyed: threads that outlive static destruction may still log.
LogState& state() {
    static LogState* s = new LogState;
    return *s;
}

// Construct the state (and start its timer) while the library loads.
const bool startedAtLoad = (state(), true);

std::string formatLine(double seconds, std::string_view message) {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "[%.3f] ", seconds);
    std::string line;
    line.reserve(std::char_traits<char>::length(stamp) + message.size() + 1);
    line.append(stamp).append(message).push_back('\n');
    return line;
}

}  // namespace

std::string logFilePath() { return profileFolder() + "/skyvane.log"; }

void log(LogChannel, std::string_view message) {
    try {
        LogState& s = state();
        if (!s.enabled) return;
        const std::string line = formatLine(s.timer.elapsed(), message);
        ScopedLock lock(&s.mutex);
        if (!s.file.is_open()) {
            s.file.clear();
            s.file.open(logFilePath(), std::ios::out | std::ios::trunc);
            if (!s.file.is_open()) return;
        }
        s.file.write(line.data(), static_cast<std::streamsize>(line.size()));
        s.file.flush();
        if (!s.file) {
            // A full disk or a vanished file: drop this line, try afresh next time.
            s.file.close();
        }
    } catch (...) {
        // Logging must never fail its caller.
    }
}

void log(LogChannel channel, const std::ostringstream& message) { log(channel, message.view()); }

void setLogEnabled(bool enabled) { state().enabled = enabled; }

void restartLog() {
    try {
        LogState& s = state();
        ScopedLock lock(&s.mutex);
        if (s.file.is_open()) s.file.close();
    } catch (...) {
    }
}

}  // namespace skv
