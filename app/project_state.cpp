#include "project_state.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host_error.h"

namespace skv::app {
namespace {

std::string toHex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool fromHex(const std::string& text, std::vector<uint8_t>& bytes) {
    if (text.size() % 2) return false;
    bytes.clear();
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}

}  // namespace

std::vector<uint8_t> sequenceRecord(const std::string& cacheFolder, bool outdated) {
    std::vector<uint8_t> record(8 + cacheFolder.size() + 1, 0);
    const uint32_t length = uint32_t(cacheFolder.size());
    for (int k = 0; k < 4; ++k)
        record[4 + size_t(k)] = uint8_t(length >> (8 * k));
    std::copy(cacheFolder.begin(), cacheFolder.end(), record.begin() + 8);
    record.back() = outdated ? 1 : 0;
    return record;
}

std::string cacheFolderOf(const std::vector<uint8_t>& record) {
    if (record.size() < 8) return {};
    const uint64_t length = uint64_t(record[4]) | uint64_t(record[5]) << 8 |
                            uint64_t(record[6]) << 16 | uint64_t(record[7]) << 24;
    if (length > record.size() - 8) return {};
    return std::string(record.begin() + 8, record.begin() + 8 + std::ptrdiff_t(length));
}

bool outdatedMarkOf(const std::vector<uint8_t>& record) {
    const std::string folder = cacheFolderOf(record);
    return record.size() > 8 + folder.size() && record[8 + folder.size()] != 0;
}

std::optional<ProjectState> loadProjectState(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return parseProjectState(text.str(), path);
}

ProjectState parseProjectState(const std::string& text, const std::string& path) {
    const auto bad = [&](const std::string& why) -> HostError {
        return HostError(kExitScene, path + ": not a project state file (" + why +
                                         "); delete it to start afresh");
    };
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception&) {
        throw bad("not valid JSON");
    }
    if (!root.is_object() || !root.contains("sequence_data") || !root["sequence_data"].is_string())
        throw bad("no sequence data");
    ProjectState state;
    if (!fromHex(root["sequence_data"].get<std::string>(), state.sequenceData))
        throw bad("sequence data is not hex");
    if (root.contains("parameters")) {
        if (!root["parameters"].is_object()) throw bad("\"parameters\" is not an object");
        for (const auto& [name, value] : root["parameters"].items()) {
            std::vector<uint8_t> flat;
            if (!value.is_string() || !fromHex(value.get<std::string>(), flat))
                throw bad("parameter \"" + name + "\"");
            state.parameters[name] = std::move(flat);
        }
    }
    if (root.contains("seen")) {
        if (!root["seen"].is_object()) throw bad("\"seen\" is not an object");
        for (const auto& [name, value] : root["seen"].items()) {
            if (!value.is_string()) throw bad("seen value of \"" + name + "\"");
            state.seen[name] = value.get<std::string>();
        }
    }
    if (root.contains("outdated_by")) {
        if (!root["outdated_by"].is_array()) throw bad("\"outdated_by\" is not a list");
        for (const auto& name : root["outdated_by"]) {
            if (!name.is_string()) throw bad("\"outdated_by\" holds names");
            state.outdatedBy.push_back(name.get<std::string>());
        }
    }
    return state;
}

void saveProjectState(const std::string& path, const ProjectState& state) {
    nlohmann::json root;
    root["version"] = 1;
    root["sequence_data"] = toHex(state.sequenceData);
    root["parameters"] = nlohmann::json::object();
    for (const auto& [name, flat] : state.parameters)
        root["parameters"][name] = toHex(flat);
    root["seen"] = state.seen;
    root["outdated_by"] = state.outdatedBy;
    const std::string text = root.dump(2) + "\n";
    // Under a temporary name, flushed to the device, then renamed: the state on disk is always
    // a whole one, the old or the new.
    const std::string partial = path + ".partial-" + std::to_string(::getpid());
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        done += ok ? size_t(n) : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    if (fd >= 0) ok = ::close(fd) == 0 && ok;
    ok = ok && std::rename(partial.c_str(), path.c_str()) == 0;
    if (!ok) {
        const std::string why = std::strerror(errno);
        std::remove(partial.c_str());
        throw HostError(kExitScene, path + ": cannot write the project state (" + why + ")");
    }
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (const int dir =
            ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace skv::app
