#include "app_test_support.h"

#include <OpenImageIO/imageio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace skv::test {

ScriptedPluginDialogs::ScriptedPluginDialogs(const TempDir& dir, const std::vector<std::string>& answers)
    : script_(dir.file("dialogs.txt")) {
    std::ofstream out(script_);
    for (const auto& a : answers) out << a << "\n";
    out.close();
    ::setenv("SKYVANE_DIALOGS", ("script:" + script_).c_str(), 1);
}

ScriptedPluginDialogs::~ScriptedPluginDialogs() { ::setenv("SKYVANE_DIALOGS", "console", 1); }

std::vector<std::string> ScriptedPluginDialogs::shown() const {
    std::vector<std::string> lines;
    std::ifstream in(script_ + ".shown");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool ScriptedPluginDialogs::showed(const std::string& fragment) const {
    for (const auto& line : shown())
        if (line.find(fragment) != std::string::npos) return true;
    return false;
}

ProgramRun runProgram(const std::vector<std::string>& arguments, const std::string& environment) {
    std::string command = environment.empty() ? "" : environment + " ";
    command += "'" + std::string(programPath()) + "'";
    for (const auto& a : arguments) command += " '" + a + "'";
    command += " 2>&1";
    ProgramRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot start " + command);
    std::array<char, 4096> buffer;
    while (size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) run.output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

pid_t startProgram(const std::vector<std::string>& arguments, const std::string& home) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("SKYVANE_PREVIEW", "off", 1);
        std::vector<char*> argv{const_cast<char*>(programPath())};
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(programPath(), argv.data());
        ::_exit(127);
    }
    return child;
}

void writeConstantImage(const std::string& path, int width, int height, float r, float g, float b, float a) {
    std::vector<float> pixels(size_t(width) * size_t(height) * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = r;
        pixels[i + 1] = g;
        pixels[i + 2] = b;
        pixels[i + 3] = a;
    }
    auto out = OIIO::ImageOutput::create(path);
    OIIO::ImageSpec spec(width, height, 4, path.ends_with(".exr") ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT8);
    spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!out || !out->open(path, spec) || !out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) || !out->close())
        throw std::runtime_error("cannot write " + path);
}

}  // namespace skv::test
