#pragma once

#include <sstream>
#include <string>
#include <string_view>

namespace skv {

// One process-wide log file, "skyvane.log" in the user's profile folder ($HOME). The first
// line a process writes truncates the file; every line is "[seconds.mmm] message".
// Logging never throws and never blocks on anything but the log's own mutex: when the file
// cannot be opened the line is lost and the next line tries again.
enum class LogChannel { Error, Warning, Info, Debug };

void log(LogChannel channel, const std::ostringstream& message);
void log(LogChannel channel, std::string_view message);

// The path the log writes to (profile folder + "/skyvane.log").
std::string logFilePath();

// Turns this copy of the log on or off (on at start). A program that loads the plug-in, which
// carries its own copy of the log, turns its own off so that the two never share the file.
void setLogEnabled(bool enabled);

// Closes the log file; the next line reopens it, truncating, at the then current profile
// folder, with the rate limit's full allowance. Lets a process (tests above all) start a fresh log
// in a folder of its choosing.
void restartLog();

}  // namespace skv

// SKV_LOG(Error, "Failed to open file " << path);
#define SKV_LOG(channel, expr)                                   \
    do {                                                         \
        std::ostringstream skv_log_stream_;                      \
        skv_log_stream_ << expr;                                 \
        ::skv::log(::skv::LogChannel::channel, skv_log_stream_); \
    } while (0)
