#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "platform/log.h"

namespace skv::test {

TempDir::TempDir() : path_(makeTemporaryFolder("skvtest")) {
    if (path_.empty()) throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    deleteTree(path_);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::vector<std::string> logLines() {
    std::vector<std::string> lines;
    std::ifstream in(logFilePath());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void freshLog() {
    restartLog();
    std::ofstream(logFilePath(), std::ios::trunc);  // empty now, not only at the next line
}

namespace {
std::string messageOf(const std::string& line) {
    const auto end = line.find("] ");
    return end == std::string::npos ? line : line.substr(end + 2);
}
}  // namespace

bool logHasLine(const std::string& text) {
    return logCount(text) > 0;
}

int logCount(const std::string& text) {
    int n = 0;
    for (const auto& line : logLines())
        if (messageOf(line) == text) ++n;
    return n;
}

bool logContains(const std::string& fragment) {
    for (const auto& line : logLines())
        if (messageOf(line).find(fragment) != std::string::npos) return true;
    return false;
}

}  // namespace skv::test
