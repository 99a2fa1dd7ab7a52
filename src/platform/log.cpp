#include "platform/log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
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
    // Rate limit: a bucket of lines that refills at kLinesPerSecond up to kBurst. A loop that
    // logs every iteration (a sub-step, a failing read) cannot grow the file without bound;
    // what was dropped is counted and said before the next line that is written.
    double tokens = kBurst;
    double refilledAt = 0;
    uint64_t dropped = 0;
    static constexpr double kLinesPerSecond = 200, kBurst = 2000;
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

// SKYVANE_LOG names another file, so that tasks running side by side (the chunks of a render
// on a farm) do not share, and truncate, one log.
std::string logFilePath() {
    if (const char* path = std::getenv("SKYVANE_LOG"); path && *path) return path;
    return profileFolder() + "/skyvane.log";
}

void log(LogChannel channel, std::string_view message) {
    try {
        LogState& s = state();
        if (!s.enabled) return;
        const double now = s.timer.elapsed();
        const std::string line = formatLine(now, message);
        // Errors also reach whoever watches the process (a terminal, a farm's task log): a
        // user should not have to know where the log file is to learn why something failed.
        if (channel == LogChannel::Error)
            std::fprintf(stderr, "skyvane: error: %.*s\n", int(message.size()), message.data());
        ScopedLock lock(&s.mutex);
        s.tokens =
            std::min(LogState::kBurst, s.tokens + (now - s.refilledAt) * LogState::kLinesPerSecond);
        s.refilledAt = now;
        if (s.tokens < 1 && channel != LogChannel::Error) {
            ++s.dropped;
            return;
        }
        s.tokens = std::max(0.0, s.tokens - 1);
        if (!s.file.is_open()) {
            s.file.clear();
            s.file.open(logFilePath(), std::ios::out | std::ios::trunc);
            if (!s.file.is_open()) return;
        }
        if (s.dropped > 0) {
            const std::string note =
                formatLine(now, std::to_string(s.dropped) + " log lines dropped (more than " +
                                    std::to_string(int(LogState::kLinesPerSecond)) + " a second)");
            s.file.write(note.data(), static_cast<std::streamsize>(note.size()));
            s.dropped = 0;
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

void log(LogChannel channel, const std::ostringstream& message) {
    log(channel, message.view());
}

void setLogEnabled(bool enabled) {
    state().enabled = enabled;
}

void restartLog() {
    try {
        LogState& s = state();
        ScopedLock lock(&s.mutex);
        if (s.file.is_open()) s.file.close();
        // A fresh log starts with a full allowance, whatever the previous one used.
        s.tokens = LogState::kBurst;
        s.refilledAt = s.timer.elapsed();
        s.dropped = 0;
    } catch (...) {
    }
}

}  // namespace skv
