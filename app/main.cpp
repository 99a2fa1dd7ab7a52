// skyvane: the headless host of the Skyvane effect. It loads the plug-in and drives it through
// its entry point as the compositing host does.
#include <omp.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "gpu/cuda_state.h"
#include "host_error.h"
#include "bench.h"
#include "field_export.h"
#include "image_io.h"
#include "panel.h"
#include "platform/log.h"
#include "plugin_library.h"
#include "render/resample.h"
#include "progress.h"
#include "session.h"

using namespace skv::app;

namespace {

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: skyvane <command> [arguments] [--plugin PATH]\n"
                 "\n"
                 "commands:\n"
                 "  info                   version, threads, GPU, and what the plug-in declares\n"
                 "  layers SCENE -o DIR    write the scene's layers as images, as the effect receives them\n"
                 "                         [--frames A-B]\n"
                 "  params SCENE           list every effect parameter: index, name, value, enabled\n"
                 "  simulate SCENE         simulate the whole layer into the cache (presses \"update\")\n"
                 "                         [--restart] [--preview] [--progress=machine]\n"
                 "  render SCENE           render cached frames to the scene's output [-o PATTERN]\n"
                 "                         [--frames A-B] [--progress=machine]\n"
                 "  run SCENE              simulate, then render\n"
                 "  export SCENE -o PATTERN  the cached fields of each frame as a multi-channel EXR\n"
                 "                         [--frames A-B]\n"
                 "  ui SCENE -o PNG        draw the effect controls panel as the host shows it\n"
                 "  click SCENE PARAM X Y  click a custom control at (X, Y) inside it [--drag X2 Y2]\n"
                 "                         [--double]; edited values are kept in the project state\n"
                 "  sheet PATTERN -o PNG   a contact sheet of rendered frames [--frames A-B]\n"
                 "                         [--every N] [--columns C] [--width W]\n"
                 "  bench [--json] [--size N]  engine, solver, render and cache throughput (no plug-in)\n"
                 "  --version              the program's version\n");
}

// The command line: positional arguments and options.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // "--frames" -> "3-7"

    bool has(const std::string& o) const { return options.count(o) != 0; }
    std::string get(const std::string& o, const std::string& fallback = "") const {
        const auto it = options.find(o);
        return it == options.end() ? fallback : it->second;
    }
};

Arguments parseArguments(int argc, char** argv) {
    static const char* withValue[] = {"--plugin", "-o", "--frames", "--every", "--columns", "--width", "--size"};  // --drag takes two positionals
    Arguments a;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() > 1 && arg[0] == '-') {
            std::string value;
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
            } else if (std::find_if(std::begin(withValue), std::end(withValue), [&](const char* o) { return arg == o; }) !=
                       std::end(withValue)) {
                if (i + 1 >= argc) throw HostError(kExitUsage, arg + " needs a value");
                value = argv[++i];
            }
            a.options[arg] = value;
        } else {
            a.positional.push_back(arg);
        }
    }
    return a;
}

std::pair<int, int> frameRange(const Arguments& a, int frameCount) {
    if (!a.has("--frames")) return {0, frameCount - 1};
    const std::string r = a.get("--frames");
    int first = 0, last = 0;
    char extra;
    if (std::sscanf(r.c_str(), "%d-%d%c", &first, &last, &extra) == 2 ||
        (std::sscanf(r.c_str(), "%d%c", &first, &extra) == 1 && (last = first, true))) {
        if (first < 0 || last < first || last >= frameCount)
            throw HostError(kExitUsage, "--frames " + r + ": the scene has frames 0-" + std::to_string(frameCount - 1));
        return {first, last};
    }
    throw HostError(kExitUsage, "--frames takes A-B (e.g. --frames 0-23)");
}

std::string pluginPath(const Arguments& a) { return a.get("--plugin", PluginLibrary::defaultPath()); }

const std::string& sceneArgument(const Arguments& a, const char* command) {
    if (a.positional.empty()) throw HostError(kExitUsage, std::string(command) + " needs a scene file");
    return a.positional[0];
}

void makeDirectories(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
}

std::string flagsText(uint32_t flags) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", flags);
    return text;
}

int commandInfo(const Arguments& a) {
    std::printf("skyvane %s\n", SKV_VERSION);
    std::printf("OpenMP threads: %d (of %d processors)\n", omp_get_max_threads(), omp_get_num_procs());
    {
        // The plug-in keeps the log; this program's own copy of the engine stays quiet.
        skv::setLogEnabled(false);
        const skv::CudaState& cuda = skv::CudaState::instance();
        if (cuda.available())
            std::printf("CUDA: %s, compute capability %d.%d\n", cuda.deviceName().c_str(), cuda.computeMajor(),
                        cuda.computeMinor());
        else
            std::printf("CUDA: no usable device%s%s%s\n", cuda.driver().failure.empty() ? "" : " (",
                        cuda.driver().failure.c_str(), cuda.driver().failure.empty() ? "" : ")");
    }
    PluginLibrary plugin(pluginPath(a));
    const PluginDescription& d = plugin.description();
    std::printf("\nplug-in: %s\n", plugin.path().c_str());
    std::printf("  name: %s\n  match name: %s\n  category: %s\n  entry point: %s\n", d.name.c_str(), d.matchName.c_str(),
                d.category.c_str(), d.entryPoint.c_str());
    std::printf("  version: 0x%08X\n  description version %u.%u, protocol %u.%u\n", d.effectVersion,
                d.piplVersionMajor, d.piplVersionMinor, d.specVersionMajor, d.specVersionMinor);
    std::printf("  flags: %s %s, info %s\n", flagsText(d.outFlags).c_str(), flagsText(d.outFlags2).c_str(),
                flagsText(d.infoFlags).c_str());
    HeadlessHost host(plugin, nullptr);
    expectOk(host.globalSetup(), "global set-up");
    std::string about;
    expectOk(host.about(about), "about");
    for (char& c : about)
        if (c == '\r') c = '\n';
    std::printf("\nabout:\n%s\n", about.c_str());
    return kExitOk;
}

int commandLayers(const Arguments& a) {
    const Scene scene = loadScene(sceneArgument(a, "layers"));
    if (!a.has("-o")) throw HostError(kExitUsage, "layers needs -o DIR");
    const std::string dir = a.get("-o");
    makeDirectories(dir);
    const auto [first, last] = frameRange(a, scene.comp.frameCount());
    const int bits = scene.comp.bits;
    const std::string extension = bits == 32 ? ".exr" : ".png";
    int written = 0;
    for (const auto& layer : scene.layers) {
        for (int frame = first; frame <= last; ++frame) {
            const Image image = layer->render(frame / scene.comp.fps, scene.comp.fps);
            if (image.empty()) continue;
            writeImage(expandFramePattern(dir + "/" + layer->name() + "_####" + extension, frame), image, bits);
            ++written;
        }
        std::printf("%-16s %dx%d\n", layer->name().c_str(), layer->width(), layer->height());
    }
    std::printf("%d images written to %s\n", written, dir.c_str());
    return kExitOk;
}

int commandParams(const Arguments& a) {
    skv::setLogEnabled(false);
    Session session(pluginPath(a), sceneArgument(a, "params"));
    HeadlessHost& host = session.host();
    host.updateParamsUI();
    std::printf("%5s  %-30s %-24s %s\n", "index", "name", "value", "enabled");
    for (size_t i = 1; i < host.params().size(); ++i) {
        const HostParam& p = host.params()[i];
        if (p.def.param_type == PF_Param_GROUP_END) continue;
        const bool group = p.def.param_type == PF_Param_GROUP_START;
        std::printf("%5zu  %-30s %-24s %s\n", i, (group ? "[" + p.name + "]" : p.name).c_str(),
                    group ? "" : host.valueText(int(i), 0).c_str(), p.enabled() ? "yes" : "no");
    }
    return kExitOk;
}

ProgressPrinter::Mode progressMode(const Arguments& a) {
    if (a.get("--progress") == "machine") return ProgressPrinter::kMachine;
    if (a.has("--quiet")) return ProgressPrinter::kQuiet;
    return ProgressPrinter::kHuman;
}

// Presses "update" (or "restart") on "Simulation Control" as a user does: a click, and the
// release at the end of the drag.
void pressRunButton(HeadlessHost& host, bool restart) {
    constexpr int kButtonX = 3 + 30, kUpdateY = 3 + 10, kRestartY = 26 + 10;
    const int y = restart ? kRestartY : kUpdateY;
    expectOk(host.click(1, kButtonX, y, 1), "the click on \"Simulation Control\"");
    expectOk(host.drag(1, kButtonX, y, true), "the release on \"Simulation Control\"");
}

int simulate(Session& session, const Arguments& a) {
    HeadlessHost& host = session.host();
    ProgressPrinter printer(progressMode(a), "simulate");
    host.setProgressListener([&](const ProgressReport& r) {
        if (r.frame > 0) printer.step(r.frame, r.totalFrames, r.lastFrameSeconds, r.meanFrameSeconds, r.gpu ? "GPU" : "CPU");
    });
    // The preview window opens only when asked for (and a display exists).
    ::setenv("SKYVANE_PREVIEW", a.has("--preview") ? "on" : "off", 1);
    host.clearLastRun();
    pressRunButton(host, a.has("--restart"));
    session.saveProject();
    const std::optional<RunReport>& run = host.lastRun();
    if (!run) throw HostError(kExitSimulation, "the simulation did not run (see ~/skyvane.log)");
    std::string summary = std::to_string(run->framesCached) + " frames in the cache";
    if (run->framesLost > 0)
        summary += "; " + std::to_string(run->framesLost) + " frames could not be written to the disk cache (disk full?) and were lost";
    printer.finish(summary);
    if (run->failed)
        throw HostError(kExitSimulation, "the simulation became unstable and was aborted; the " +
                                              std::to_string(run->framesCached) + " frames before are kept");
    if (run->framesLost > 0) throw HostError(kExitSimulation, summary);
    return kExitOk;
}

int render(Session& session, const Arguments& a) {
    Scene& scene = session.scene();
    const std::string pattern = a.has("-o") ? a.get("-o") : scene.resolve(scene.output);
    if (pattern.empty()) throw HostError(kExitUsage, "the scene has no \"output\"; give -o PATTERN");
    const auto [first, last] = frameRange(a, scene.comp.frameCount());
    {
        const size_t slash = pattern.find_last_of('/');
        if (slash != std::string::npos) makeDirectories(pattern.substr(0, slash));
    }
    ProgressPrinter printer(progressMode(a), "render");
    const auto start = std::chrono::steady_clock::now();
    auto previous = start;
    for (int frame = first; frame <= last; ++frame) {
        Image image;
        const PF_Err err = session.host().renderFrame(frame, image);
        if (err) throw HostError(kExitRender, "frame " + std::to_string(frame) + ": the render failed with host error " + std::to_string(err));
        writeImage(expandFramePattern(pattern, frame), image, scene.comp.bits);
        const auto now = std::chrono::steady_clock::now();
        const double lastSeconds = std::chrono::duration<double>(now - previous).count();
        const double mean = std::chrono::duration<double>(now - start).count() / (frame - first + 1);
        previous = now;
        printer.step(frame - first + 1, last - first + 1, lastSeconds, mean, "CPU");
    }
    printer.finish(std::to_string(last - first + 1) + " images written to " + pattern);
    return kExitOk;
}

int commandSimulate(const Arguments& a) {
    skv::setLogEnabled(false);
    Session session(pluginPath(a), sceneArgument(a, "simulate"));
    session.openInstance();
    return simulate(session, a);
}

int commandRender(const Arguments& a) {
    skv::setLogEnabled(false);
    Session session(pluginPath(a), sceneArgument(a, "render"));
    frameRange(a, session.scene().comp.frameCount());  // bad arguments before anything else
    if (!session.openInstance())
        throw HostError(kExitRender, session.scene().projectPath() + ": no simulation yet; run \"skyvane simulate\" first");
    return render(session, a);
}

int commandRun(const Arguments& a) {
    skv::setLogEnabled(false);
    Session session(pluginPath(a), sceneArgument(a, "run"));
    frameRange(a, session.scene().comp.frameCount());
    session.openInstance();
    const int simulated = simulate(session, a);
    if (simulated != kExitOk) return simulated;
    return render(session, a);
}

Image imageOf(const Canvas& canvas) {
    Image image(canvas.width(), canvas.height());
    for (size_t i = 0; i < canvas.pixels().size(); ++i) image.rgba[i] = canvas.pixels()[i] / 255.0f;
    return image;
}

int commandExport(const Arguments& a) {
    const Scene scene = loadScene(sceneArgument(a, "export"));
    if (!a.has("-o")) throw HostError(kExitUsage, "export needs -o PATTERN (e.g. fields_####.exr)");
    const auto [first, last] = frameRange(a, scene.comp.frameCount());
    const std::optional<ProjectState> state = loadProjectState(scene.projectPath());
    const std::string folder = state ? cacheFolderOf(state->sequenceData) : "";
    if (folder.empty())
        throw HostError(kExitRender, scene.projectPath() + ": no simulation cache yet; run \"skyvane simulate\" first");
    const std::string pattern = a.get("-o");
    const size_t slash = pattern.find_last_of('/');
    if (slash != std::string::npos) makeDirectories(pattern.substr(0, slash));
    ProgressPrinter printer(progressMode(a), "export");
    int channels = 0;
    for (int frame = first; frame <= last; ++frame) {
        channels = exportFrameFields(folder, frame, expandFramePattern(pattern, frame));
        printer.step(frame - first + 1, last - first + 1, 0, 0, "CPU");
    }
    printer.finish(std::to_string(last - first + 1) + " frames of " + std::to_string(channels) + " channels written to " + pattern);
    return kExitOk;
}

int commandSheet(const Arguments& a) {
    if (a.positional.empty() || !a.has("-o")) throw HostError(kExitUsage, "sheet needs PATTERN and -o PNG");
    const std::string pattern = a.positional[0];
    const int every = std::max(1, std::atoi(a.get("--every", "8").c_str()));
    const int columns = std::max(1, std::atoi(a.get("--columns", "4").c_str()));
    const int cellWidth = std::max(16, std::atoi(a.get("--width", "320").c_str()));
    int first = 0, last = 0;
    if (std::sscanf(a.get("--frames", "0-0").c_str(), "%d-%d", &first, &last) != 2 || last < first)
        throw HostError(kExitUsage, "--frames takes A-B");
    std::vector<Image> cells;
    for (int f = first; f <= last; f += every) cells.push_back(readImage(expandFramePattern(pattern, f)));
    const int cellHeight = std::max(1, int(std::lround(double(cellWidth) * cells[0].height / cells[0].width)));
    const int rows = int(cells.size() + size_t(columns) - 1) / columns;
    Image sheet(columns * cellWidth, rows * cellHeight);
    std::vector<float> small(size_t(cellWidth) * size_t(cellHeight) * 4);
    for (size_t k = 0; k < cells.size(); ++k) {
        const Image& c = cells[k];
        skv::resample(c.rgba.data(), uint32_t(c.width), uint32_t(c.height), size_t(c.width) * 4, small.data(),
                      uint32_t(cellWidth), uint32_t(cellHeight), size_t(cellWidth) * 4, 4);
        const int ox = int(k % size_t(columns)) * cellWidth, oy = int(k / size_t(columns)) * cellHeight;
        for (int y = 0; y < cellHeight; ++y)
            for (int x = 0; x < cellWidth; ++x) {
                const float* p = &small[(size_t(y) * size_t(cellWidth) + size_t(x)) * 4];
                float* o = sheet.pixel(ox + x, oy + y);
                // Over black, opaque: a sheet is for looking at.
                for (int ch = 0; ch < 3; ++ch) o[ch] = p[ch] * p[3];
                o[3] = 1;
            }
    }
    writeImage(a.get("-o"), sheet, 8);
    std::printf("contact sheet of %zu frames written to %s\n", cells.size(), a.get("-o").c_str());
    return kExitOk;
}

int commandUi(const Arguments& a) {
    skv::setLogEnabled(false);
    Session session(pluginPath(a), sceneArgument(a, "ui"));
    if (!a.has("-o")) throw HostError(kExitUsage, "ui needs -o PNG");
    session.openInstance();
    session.host().updateParamsUI();
    Panel panel(session.host());
    writeImage(a.get("-o"), imageOf(panel.draw(0)), 8);
    std::printf("panel written to %s\n", a.get("-o").c_str());
    return kExitOk;
}

int commandClick(const Arguments& a) {
    skv::setLogEnabled(false);
    if (a.positional.size() < 4) throw HostError(kExitUsage, "click needs SCENE PARAM X Y");
    Session session(pluginPath(a), a.positional[0]);
    HeadlessHost& host = session.host();
    const int index = host.paramIndex(a.positional[1]);
    if (index < 0) throw HostError(kExitUsage, "no parameter \"" + a.positional[1] + "\"");
    const HostParam& param = host.params()[size_t(index)];
    if (param.def.param_type != PF_Param_ARBITRARY_DATA || !(param.def.ui_flags & PF_PUI_CONTROL))
        throw HostError(kExitUsage, "\"" + param.name + "\" has no custom control to click");
    const auto number = [&](const std::string& text) {
        char* end = nullptr;
        const long v = std::strtol(text.c_str(), &end, 10);
        if (!end || *end) throw HostError(kExitUsage, "a position is a whole number: " + text);
        return int(v);
    };
    const int x = number(a.positional[2]), y = number(a.positional[3]);
    int toX = x, toY = y;
    if (a.has("--drag")) {
        if (a.positional.size() < 6) throw HostError(kExitUsage, "--drag needs X2 Y2");
        toX = number(a.positional[4]);
        toY = number(a.positional[5]);
    }
    session.openInstance();
    expectOk(host.click(index, x, y, a.has("--double") ? 2 : 1), "the click");
    if (a.has("--drag")) expectOk(host.drag(index, toX, toY, false), "the drag");
    expectOk(host.drag(index, toX, toY, true), "the release");
    session.saveProject();
    std::printf("%s: %s\n", param.name.c_str(), host.valueText(index, 0).c_str());
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printUsage(stderr);
        return kExitUsage;
    }
    const std::string command = argv[1];
    try {
        if (command == "--version") {
            std::printf("skyvane %s\n", SKV_VERSION);
            return kExitOk;
        }
        if (command == "--help" || command == "-h" || command == "help") {
            printUsage(stdout);
            return kExitOk;
        }
        const Arguments args = parseArguments(argc, argv);
        if (command == "info") return commandInfo(args);
        if (command == "bench")
            return runBench({args.has("--json"), args.has("--quick"), unsigned(std::atoi(args.get("--size", "0").c_str()))});
        if (command == "layers") return commandLayers(args);
        if (command == "params") return commandParams(args);
        if (command == "simulate") return commandSimulate(args);
        if (command == "render") return commandRender(args);
        if (command == "run") return commandRun(args);
        if (command == "ui") return commandUi(args);
        if (command == "export") return commandExport(args);
        if (command == "sheet") return commandSheet(args);
        if (command == "click") return commandClick(args);
        std::fprintf(stderr, "skyvane: unknown command '%s'\n\n", command.c_str());
        printUsage(stderr);
        return kExitUsage;
    } catch (const HostError& e) {
        std::fprintf(stderr, "skyvane: %s\n", e.what());
        return e.code();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "skyvane: %s\n", e.what());
        return kExitPlugin;
    }
}
