// The commands of the skyvane program.
#include "commands.h"

#include <omp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>

#include "canvas.h"
#include "command_line.h"
#include "farm.h"
#include "field_export.h"
#include "gpu/cuda_state.h"
#include "host_error.h"
#include "image_io.h"
#include "panel.h"
#include "platform/log.h"
#include "plugin_library.h"
#include "progress.h"
#include "render/resample.h"
#include "session.h"
#include "vdb_export.h"

namespace skv::app {
namespace fs = std::filesystem;

namespace {

// ---- Interruption ----

std::atomic<int> gStopSignal{0};

extern "C" void onStopSignal(int signo) {
    // The second signal ends the program at once: every file it writes appears under its final
    // name only when complete, so nothing is left half written.
    if (gStopSignal.exchange(signo) != 0) ::_exit(128 + signo);
    HeadlessHost::cancelRuns();
}

// SIGINT and SIGTERM stop long work as closing the preview window does: what is finished is
// kept, and the command ends with 128 + the signal's number.
class StopSignals {
  public:
    StopSignals() {
        struct sigaction action {};
        action.sa_handler = &onStopSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &previousInt_);
        ::sigaction(SIGTERM, &action, &previousTerm_);
    }
    ~StopSignals() {
        ::sigaction(SIGINT, &previousInt_, nullptr);
        ::sigaction(SIGTERM, &previousTerm_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    static int received() { return gStopSignal.load(); }

  private:
    struct sigaction previousInt_ {
    }, previousTerm_{};
};

[[noreturn]] void throwInterrupted(const std::string& what) {
    const bool terminated = StopSignals::received() == SIGTERM;
    throw HostError(terminated ? kExitTerminated : kExitInterrupted,
                    std::string(terminated ? "terminated" : "interrupted") + ": " + what);
}

// ---- Helpers ----

ProgressPrinter::Mode progressMode(const CommandOptions& o) {
    if (o.progress == "machine") return ProgressPrinter::kMachine;
    if (o.quiet || o.progress == "quiet") return ProgressPrinter::kQuiet;
    return ProgressPrinter::kHuman;
}

std::vector<int> framesOf(const CommandOptions& o, int frameCount) {
    if (!o.frames.empty()) return parseFrameSet(o.frames, frameCount);
    std::vector<int> all(size_t(std::max(frameCount, 0)));
    for (int f = 0; f < frameCount; ++f)
        all[size_t(f)] = f;
    return all;
}

void makeParentFolder(const std::string& file) {
    const fs::path parent = fs::path(file).parent_path();
    if (parent.empty()) return;
    std::error_code error;
    fs::create_directories(parent, error);
    if (!fs::is_directory(parent))
        throw HostError(kExitRender, parent.string() + ": cannot create the folder (" +
                                         (error ? error.message() : "not a folder") + ")");
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& n : names)
        text += (text.empty() ? "\"" : ", \"") + n + "\"";
    return text;
}

std::string flagsText(uint32_t flags) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", flags);
    return text;
}

Image imageOf(const Canvas& canvas) {
    Image image(canvas.width(), canvas.height());
    for (size_t i = 0; i < canvas.pixels().size(); ++i)
        image.rgba[i] = canvas.pixels()[i] / 255.0f;
    return image;
}

// Presses "update" (or "restart") on "Simulation Control" as a user does: a click, and the
// release at the end of the drag.
void pressRunButton(HeadlessHost& host, bool restart) {
    constexpr int kButtonX = 3 + 30, kUpdateY = 3 + 10, kRestartY = 26 + 10;
    const int y = restart ? kRestartY : kUpdateY;
    expectOk(host.click(1, kButtonX, y, 1), "the click on \"Simulation Control\"");
    expectOk(host.drag(1, kButtonX, y, true), "the release on \"Simulation Control\"");
}

int simulate(Session& session, const CommandOptions& o, Outcome& outcome, bool reopened) {
    HeadlessHost& host = session.host();
    const int frameCount = session.scene().comp.frameCount();
    ProgressPrinter printer(progressMode(o), "simulate");
    const bool outdated = session.outdated();
    if (reopened && outdated && !o.restart) {
        const std::string why =
            session.outdatedBy().empty() ? "" : " (" + joined(session.outdatedBy()) + " changed)";
        printer.note("the cache is outdated" + why + ": simulating again from frame 0");
    }
    int simulated = 0, firstFrame = -1;
    std::chrono::steady_clock::time_point started;
    host.setProgressListener([&](const ProgressReport& r) {
        // The run reports once as it starts (the frame it starts at), then after every frame.
        if (firstFrame < 0) {
            firstFrame = r.frame;
            started = std::chrono::steady_clock::now();
            return;
        }
        ++simulated;
        outcome.setFrames(simulated);
        const double mean =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() /
            simulated;
        printer.step(r.frame - 1, simulated, r.totalFrames - firstFrame, r.lastFrameSeconds, mean,
                     r.gpu ? "GPU" : "CPU");
    });
    // The preview window opens only when asked for (and a display exists).
    ::setenv("SKYVANE_PREVIEW", o.preview ? "on" : "off", 1);
    host.clearLastRun();
    {
        StopSignals signals;
        pressRunButton(host, o.restart || outdated);
        session.saveProject();
        host.setProgressListener(nullptr);
        const std::optional<RunReport>& run = host.lastRun();
        if (StopSignals::received()) {
            printer.finish("stopped");
            throwInterrupted(std::to_string(run ? run->framesCached : 0) +
                             " frames are in the cache; \"skyvane simulate\" continues after them");
        }
    }
    const std::optional<RunReport>& run = host.lastRun();
    if (!run) throw HostError(kExitSimulation, "the simulation did not run (see the log)");
    // A frame is cached when its file is in the folder (the project state was saved above, and
    // with it every frame written): the folder, not the run's own count, is what is reported.
    const std::vector<int> present = cachedFrames(session.scene().cache);
    std::vector<int> missing;
    for (int f = 0; f < std::min(run->framesCached, frameCount); ++f)
        if (!std::binary_search(present.begin(), present.end(), f)) missing.push_back(f);
    if (!missing.empty()) {
        printer.finish(std::to_string(run->framesCached - int(missing.size())) +
                       " frames in the cache");
        throw HostError(
            kExitSimulation,
            std::to_string(missing.size()) + " frames could not be written to the cache folder " +
                session.scene().cache + " (disk full or not writable?): frames " +
                formatFrameSet(missing) + "; \"skyvane simulate\" simulates them again");
    }
    std::string summary = std::to_string(run->framesCached) + " frames in the cache";
    if (simulated == 0 && firstFrame >= frameCount && !run->failed)
        summary = "all " + std::to_string(frameCount) +
                  " frames were already in the cache (--restart simulates them again)";
    else if (firstFrame > 0)
        summary += " (continued after frame " + std::to_string(firstFrame - 1) + ")";
    printer.finish(summary);
    if (run->failed)
        throw HostError(kExitSimulation, "the simulation became unstable and was aborted; the " +
                                             std::to_string(run->framesCached) +
                                             " frames before are kept");
    return kExitOk;
}

// Refuses to render a cache that no longer matches the scene, unless asked to.
void checkNotOutdated(Session& session, const CommandOptions& o) {
    if (o.allowOutdated || !session.outdated()) return;
    const std::string why =
        session.outdatedBy().empty() ? "" : " (" + joined(session.outdatedBy()) + " changed)";
    throw HostError(
        kExitOutdated,
        "the cache no longer matches the scene" + why +
            "; run \"skyvane simulate\" first, or render it anyway with --allow-outdated");
}

ImageEncoding encodingOf(const CommandOptions& o) {
    if (!o.colorspace.empty()) {
        const std::vector<std::string> names = colorSpaceNames();
        if (std::find(names.begin(), names.end(), o.colorspace) == names.end()) {
            std::string known;
            for (const auto& n : names)
                known += (known.empty() ? "" : ", ") + n;
            throw HostError(kExitUsage, "--colorspace " + o.colorspace + ": no such colour space" +
                                            didYouMean(o.colorspace, names) + " (known: " + known +
                                            ")");
        }
    }
    return ImageEncoding{o.colorspace, o.straight};
}

int render(Session& session, const CommandOptions& o, Outcome& outcome) {
    Scene& scene = session.scene();
    const ImageEncoding encoding = encodingOf(o);
    const std::string pattern = o.output.empty() ? scene.output : fs::absolute(o.output).string();
    if (pattern.empty())
        throw HostError(kExitUsage, "the scene has no \"output\"; give -o PATTERN");
    const std::vector<int> frames = framesOf(o, scene.comp.frameCount());
    makeParentFolder(expandFramePattern(pattern, frames.empty() ? 0 : frames.front()));
    removeStaleImages(pattern);
    ProgressPrinter printer(progressMode(o), "render");
    StopSignals signals;
    const auto start = std::chrono::steady_clock::now();
    auto previous = start;
    std::vector<std::string> failures;
    // "simulate" starts again at the first frame without a file: a damaged file must go first.
    bool damagedFiles = false;
    ImageWriteQueue writer;
    for (size_t k = 0; k < frames.size(); ++k) {
        if (StopSignals::received()) {
            const int written = writer.finish();
            outcome.setFrames(written);
            printer.finish("stopped");
            throwInterrupted(std::to_string(written) + " images written");
        }
        const int frame = frames[k];
        Image image;
        const PF_Err err = session.host().renderFrame(frame, image);
        if (err) {
            failures.push_back("frame " + std::to_string(frame) +
                               ": the plug-in failed with host error " + std::to_string(err));
        } else if (!session.host().lastRenderCached().value_or(true)) {
            const std::string file = cacheFrameFile(scene.cache, frame);
            const bool damaged = fs::exists(file);
            damagedFiles = damagedFiles || damaged;
            failures.push_back("frame " + std::to_string(frame) + ": " +
                               (damaged ? file + " is damaged or unreadable" : "not in the cache"));
        } else {
            writer.write(expandFramePattern(pattern, frame), std::move(image), scene.comp.bits,
                         encoding);
            outcome.setFrames(writer.written());
        }
        const auto now = std::chrono::steady_clock::now();
        const double lastSeconds = std::chrono::duration<double>(now - previous).count();
        const double mean = std::chrono::duration<double>(now - start).count() / double(k + 1);
        previous = now;
        printer.step(frame, int(k + 1), int(frames.size()), lastSeconds, mean, "CPU");
    }
    const int written = writer.finish();
    outcome.setFrames(written);
    if (!failures.empty()) {
        printer.finish(std::to_string(written) + " images written to " + pattern);
        std::string text = std::to_string(failures.size()) + " of " +
                           std::to_string(frames.size()) +
                           " frames could not be rendered and have no image:";
        for (const auto& f : failures)
            text += "\n  " + f;
        throw HostError(kExitRender,
                        text + (damagedFiles ? "\nremove the damaged files, then run \"skyvane "
                                               "simulate\" to simulate from the first missing "
                                               "frame again"
                                             : "\nrun \"skyvane simulate\" to simulate the "
                                               "missing frames again"));
    }
    printer.finish(std::to_string(written) + " images written to " + pattern);
    return kExitOk;
}

}  // namespace

// ---- Outcome ----

Outcome::Outcome(const CommandOptions& options)
    : task_(options.command),
      machine_(options.progress == "machine"),
      start_(std::chrono::steady_clock::now()) {}

int Outcome::finish(int exitStatus) {
    if (!machine_) return exitStatus;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const char* status = exitStatus == kExitOk ? "ok"
                         : exitStatus >= 128   ? "interrupted"
                                               : "failed";
    std::fprintf(stderr, "result task=%s status=%s exit=%d frames=%d seconds=%.3f\n", task_.c_str(),
                 status, exitStatus, frames_, seconds);
    std::fflush(stderr);
    return exitStatus;
}

// ---- Commands ----

int commandInfo(const CommandOptions& o) {
    std::printf("skyvane %s\n", SKV_VERSION);
    std::printf("OpenMP threads: %d (of %d processors)\n", omp_get_max_threads(),
                omp_get_num_procs());
    // How long idle workers spin before they sleep: the program bounds it unless the user chose.
    if (const char* policy = std::getenv("OMP_WAIT_POLICY"))
        std::printf("OpenMP waiting: OMP_WAIT_POLICY=%s\n", policy);
    if (const char* spins = std::getenv("GOMP_SPINCOUNT"))
        std::printf("OpenMP waiting: spin %s rounds, then sleep\n", spins);
    {
        // The plug-in keeps the log; this program's own copy of the engine stays quiet.
        skv::setLogEnabled(false);
        const skv::CudaState& cuda = skv::CudaState::instance();
        if (cuda.available())
            std::printf("CUDA: %s, compute capability %d.%d\n", cuda.deviceName().c_str(),
                        cuda.computeMajor(), cuda.computeMinor());
        else
            std::printf("CUDA: no usable device%s%s%s\n", cuda.driver().failure.empty() ? "" : " (",
                        cuda.driver().failure.c_str(), cuda.driver().failure.empty() ? "" : ")");
    }
    PluginLibrary plugin(o.plugin);
    const PluginDescription& d = plugin.description();
    std::printf("\nplug-in: %s\n", plugin.path().c_str());
    std::printf("  name: %s\n  match name: %s\n  category: %s\n  entry point: %s\n", d.name.c_str(),
                d.matchName.c_str(), d.category.c_str(), d.entryPoint.c_str());
    std::printf("  version: 0x%08X\n  description version %u.%u, protocol %u.%u\n", d.effectVersion,
                d.piplVersionMajor, d.piplVersionMinor, d.specVersionMajor, d.specVersionMinor);
    std::printf("  flags: %s %s, info %s\n", flagsText(d.outFlags).c_str(),
                flagsText(d.outFlags2).c_str(), flagsText(d.infoFlags).c_str());
    HeadlessHost host(plugin, nullptr);
    expectOk(host.globalSetup(), "global set-up");
    std::string about;
    expectOk(host.about(about), "about");
    for (char& c : about)
        if (c == '\r') c = '\n';
    std::printf("\nabout:\n%s\n", about.c_str());
    return kExitOk;
}

int commandLayers(const CommandOptions& o) {
    const Scene scene = loadScene(o.scene);
    const std::string dir = fs::absolute(o.output).string();
    std::error_code error;
    fs::create_directories(dir, error);
    if (!fs::is_directory(dir)) throw HostError(kExitRender, dir + ": cannot create the folder");
    const std::vector<int> frames = framesOf(o, scene.comp.frameCount());
    const int bits = scene.comp.bits;
    const std::string extension = bits == 32 ? ".exr" : ".png";
    int written = 0;
    for (const auto& layer : scene.layers) {
        for (int frame : frames) {
            const Image image = layer->render(frame / scene.comp.fps, scene.comp.fps);
            if (image.empty()) continue;
            writeImage(expandFramePattern(dir + "/" + layer->name() + "_####" + extension, frame),
                       image, bits);
            ++written;
        }
        std::printf("%-16s %dx%d\n", layer->name().c_str(), layer->width(), layer->height());
    }
    std::printf("%d images written to %s\n", written, dir.c_str());
    return kExitOk;
}

int commandParams(const CommandOptions& o) {
    skv::setLogEnabled(false);
    Session session(o.plugin, o.scene, o.settings);
    session.applySavedValues();
    HeadlessHost& host = session.host();
    host.updateParamsUI();
    std::printf("%5s  %-30s %-24s %-7s %s\n", "index", "name", "value", "enabled", "range");
    for (size_t i = 1; i < host.params().size(); ++i) {
        const HostParam& p = host.params()[i];
        if (p.def.param_type == PF_Param_GROUP_END) continue;
        const bool group = p.def.param_type == PF_Param_GROUP_START;
        std::printf("%5zu  %-30s %-24s %-7s %s\n", i, (group ? "[" + p.name + "]" : p.name).c_str(),
                    group ? "" : host.valueText(int(i), 0).c_str(), p.enabled() ? "yes" : "no",
                    group ? "" : host.rangeText(int(i)).c_str());
    }
    return kExitOk;
}

int commandStatus(const CommandOptions& o) {
    skv::setLogEnabled(false);
    Session session(o.plugin, o.scene, o.settings);
    session.applySavedValues();
    const Scene& scene = session.scene();
    const int frameCount = scene.comp.frameCount();
    std::printf("scene:   %s (%d frames)\n", scene.path.c_str(), frameCount);
    const auto& saved = session.savedState();
    if (!saved) {
        std::printf("cache:   %s\nstate:   not simulated yet\n", scene.cache.c_str());
        return kExitOk;
    }
    std::vector<int> frames = cachedFrames(scene.cache);
    frames.erase(
        std::remove_if(frames.begin(), frames.end(), [&](int f) { return f >= frameCount; }),
        frames.end());
    std::printf("cache:   %s\n", scene.cache.c_str());
    std::printf("frames:  %zu of %d cached%s%s\n", frames.size(), frameCount,
                frames.empty() ? "" : ": ", formatFrameSet(frames).c_str());
    // Edits not yet sent to the plug-in: those of the parameters whose change the plug-in
    // ignores (the cache and GPU controls, the render mode and alpha mode, the texture layer, the
    // colour ramps) leave the cache as it is; every other edit makes it outdated.
    static const std::set<std::string> kKeepTheCache = {
        "Simulation Control", "GPU support", "RAM Cache Size (in MB)", "Disk Cache",
        "Render Mode",        "Alpha Mode",  "Texture Layer",          "Density Color",
        "Temp. Color",        "Fuel Color"};
    std::vector<std::string> why = session.outdatedBy(), renderOnly;
    for (const std::string& edit : session.pendingEdits()) {
        std::vector<std::string>& list = kKeepTheCache.count(edit) ? renderOnly : why;
        if (std::find(list.begin(), list.end(), edit) == list.end()) list.push_back(edit);
    }
    const bool outdated = outdatedMarkOf(saved->sequenceData) || !why.empty();
    if (frames.empty())
        std::printf("state:   not simulated yet\n");
    else if (outdated)
        std::printf("state:   outdated%s: \"skyvane simulate\" simulates again from frame 0\n",
                    why.empty() ? "" : (" (" + joined(why) + " changed)").c_str());
    else if (int(frames.size()) < frameCount)
        std::printf(
            "state:   up to date, incomplete: \"skyvane simulate\" continues after frame %d\n",
            frames.empty() ? -1 : frames.back());
    else
        std::printf("state:   up to date\n");
    if (!renderOnly.empty())
        std::printf("edited:  %s (rendering only: the cache stays valid)\n",
                    joined(renderOnly).c_str());
    return kExitOk;
}

int commandSimulate(const CommandOptions& o, Outcome& outcome) {
    skv::setLogEnabled(false);
    Session session(o.plugin, o.scene, o.settings);
    const bool reopened = session.openInstance(Session::CacheUse::kCreate);
    return simulate(session, o, outcome, reopened);
}

int commandRender(const CommandOptions& o, Outcome& outcome) {
    skv::setLogEnabled(false);
    Session session(o.plugin, o.scene, o.settings);
    framesOf(o, session.scene().comp.frameCount());  // bad arguments before anything else
    if (!session.savedState())
        throw HostError(kExitRender, session.scene().projectPath() +
                                         ": no simulation yet; run \"skyvane simulate\" first");
    session.openInstance(Session::CacheUse::kExisting);
    session.saveProject();
    checkNotOutdated(session, o);
    return render(session, o, outcome);
}

int commandRun(const CommandOptions& o, Outcome& outcome) {
    skv::setLogEnabled(false);
    encodingOf(o);  // bad arguments before anything else
    Session session(o.plugin, o.scene, o.settings);
    framesOf(o, session.scene().comp.frameCount());
    const bool reopened = session.openInstance(Session::CacheUse::kCreate);
    simulate(session, o, outcome, reopened);
    return render(session, o, outcome);
}

int commandExport(const CommandOptions& o, Outcome& outcome) {
    const Scene scene = loadScene(o.scene);
    const std::vector<int> frames = framesOf(o, scene.comp.frameCount());
    if (!loadProjectState(scene.projectPath()))
        throw HostError(
            kExitRender,
            scene.projectPath() + ": no simulation cache yet; run \"skyvane simulate\" first");
    if (!fs::is_directory(scene.cache))
        throw HostError(kExitScene, scene.cache + ": the project's cache folder cannot be opened");
    const std::string pattern = fs::absolute(o.output).string();
    makeParentFolder(expandFramePattern(pattern, frames.empty() ? 0 : frames.front()));
    // A voxel is a cell of the simulation: "Resolution Scale" composition pixels.
    double resolutionScale = 1.0;
    for (const ParamSetting& setting : scene.effect)
        if (setting.name == "Resolution Scale" && setting.value.is_number())
            resolutionScale = setting.value.get<double>();
    for (const std::string& text : o.settings) {
        const auto setting = parseSetting(text);
        if (setting.first == "Resolution Scale")
            resolutionScale = Json::parse(setting.second).get<double>();
    }
    const bool vdb = pattern.size() > 4 && pattern.compare(pattern.size() - 4, 4, ".vdb") == 0;
    ProgressPrinter printer(progressMode(o), "export");
    StopSignals signals;
    int channels = 0, written = 0;
    for (int frame : frames) {
        if (StopSignals::received()) throwInterrupted(std::to_string(written) + " frames exported");
        const std::string file = expandFramePattern(pattern, frame);
        channels =
            vdb ? exportFrameVdb(scene.cache, frame, file, resolutionScale * kWorldUnitsPerPixel)
                : exportFrameFields(scene.cache, frame, file);
        outcome.setFrames(++written);
        printer.step(frame, written, int(frames.size()), 0, 0, "CPU");
    }
    printer.finish(std::to_string(written) + " frames of " + std::to_string(channels) +
                   (vdb ? " grids" : " channels") + " written to " + pattern);
    return kExitOk;
}

// The rendered frames a sheet or a movie shows: the frame set, or every frame the pattern finds
// from 0 up to the last one there; frames without an image are named on stderr and left out.
std::vector<std::string> renderedFrames(const CommandOptions& o, const std::string& pattern,
                                        const char* what) {
    std::vector<int> wanted;
    if (!o.frames.empty()) {
        wanted = parseFrameSet(o.frames, 1 << 30);
    } else {
        int last = -1;
        const int kLimit = 1000000;
        for (int gap = 0, f = 0; f < kLimit && gap < 1000; ++f, ++gap)
            if (fs::exists(expandFramePattern(pattern, f))) {
                last = f;
                gap = 0;
            }
        for (int f = 0; f <= last; ++f)
            wanted.push_back(f);
    }
    std::vector<std::string> files;
    std::vector<int> missing;
    for (size_t k = 0; k < wanted.size(); k += size_t(o.every)) {
        const std::string file = expandFramePattern(pattern, wanted[k]);
        if (fs::exists(file))
            files.push_back(file);
        else
            missing.push_back(wanted[k]);
    }
    if (!missing.empty())
        std::fprintf(stderr,
                     "skyvane: warning: no image for frames %s of %s; the %s leaves them out\n",
                     formatFrameSet(missing).c_str(), pattern.c_str(), what);
    if (files.empty()) throw HostError(kExitScene, pattern + ": no rendered frames for a " + what);
    return files;
}

// The grey of a background at pixel (x, y): a checker of 8-pixel squares, mid grey or black.
float backgroundAt(const std::string& background, int x, int y) {
    if (background == "black") return 0.0f;
    if (background == "grey") return 0.5f;
    return ((x / 8) + (y / 8)) % 2 == 0 ? 0.6f : 0.4f;
}

int commandSheet(const CommandOptions& o) {
    const std::string pattern = fs::absolute(o.scene).string();
    std::vector<Image> cells;
    for (const std::string& file : renderedFrames(o, pattern, "sheet"))
        cells.push_back(readDisplayImage(file));
    const int columns = o.columns, cellWidth = o.width;
    const int cellHeight =
        std::max(1, int(std::lround(double(cellWidth) * cells[0].height / cells[0].width)));
    const int rows = int(cells.size() + size_t(columns) - 1) / columns;
    Image sheet(columns * cellWidth, rows * cellHeight);
    std::vector<float> small(size_t(cellWidth) * size_t(cellHeight) * 4);
    for (size_t k = 0; k < cells.size(); ++k) {
        const Image& c = cells[k];
        skv::resample(c.rgba.data(), uint32_t(c.width), uint32_t(c.height), size_t(c.width) * 4,
                      small.data(), uint32_t(cellWidth), uint32_t(cellHeight),
                      size_t(cellWidth) * 4, 4);
        const int ox = int(k % size_t(columns)) * cellWidth,
                  oy = int(k / size_t(columns)) * cellHeight;
        for (int y = 0; y < cellHeight; ++y)
            for (int x = 0; x < cellWidth; ++x) {
                const float* p = &small[(size_t(y) * size_t(cellWidth) + size_t(x)) * 4];
                float* out = sheet.pixel(ox + x, oy + y);
                // Opaque, over a background that shows where the frame is transparent.
                const float behind = backgroundAt(o.background, x, y);
                for (int ch = 0; ch < 3; ++ch)
                    out[ch] = p[ch] * p[3] + behind * (1.0f - p[3]);
                out[3] = 1;
            }
    }
    const std::string output = fs::absolute(o.output).string();
    makeParentFolder(output);
    writeImage(output, sheet, 8);
    std::printf("contact sheet of %zu frames written to %s\n", cells.size(), output.c_str());
    return kExitOk;
}

int commandMovie(const CommandOptions& o) {
    const std::string pattern = fs::absolute(o.scene).string();
    const std::vector<std::string> files = renderedFrames(o, pattern, "movie");
    const Image first = readDisplayImage(files.front());
    const std::string output = fs::absolute(o.output).string();
    makeParentFolder(output);
    const size_t dot = output.find_last_of('.');
    const std::string partial = output.substr(0, dot) + ".partial-" + std::to_string(::getpid()) +
                                (dot == std::string::npos ? "" : output.substr(dot));
    // ffmpeg encodes what it reads from a pipe: 8-bit RGB frames, already over the background
    // (a movie has no alpha), padded to even sizes for the 4:2:0 encoders.
    char size[32], rate[32];
    std::snprintf(size, sizeof size, "%dx%d", first.width, first.height);
    std::snprintf(rate, sizeof rate, "%g", o.fps);
    int input[2];
    if (::pipe(input) != 0) throw HostError(kExitRender, output + ": cannot start ffmpeg");
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(input[0], STDIN_FILENO);
        ::close(input[0]);
        ::close(input[1]);
        ::execlp("ffmpeg", "ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24",
                 "-s", size, "-r", rate, "-i", "-", "-vf", "pad=ceil(iw/2)*2:ceil(ih/2)*2", "-c:v",
                 "libx264", "-pix_fmt", "yuv420p", "-movflags", "+faststart", partial.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(input[0]);
    if (child < 0) {
        ::close(input[1]);
        throw HostError(kExitRender, output + ": cannot start ffmpeg");
    }
    const auto sigpipe = ::signal(SIGPIPE, SIG_IGN);
    bool written = true;
    std::vector<uint8_t> rgb(size_t(first.width) * size_t(first.height) * 3);
    for (const std::string& file : files) {
        const Image image = readDisplayImage(file);
        if (image.width != first.width || image.height != first.height) {
            written = false;
            std::fprintf(stderr, "skyvane: %s is %dx%d, not %dx%d like the first frame\n",
                         file.c_str(), image.width, image.height, first.width, first.height);
            break;
        }
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x) {
                const float* p = image.pixel(x, y);
                const float behind = backgroundAt(o.background, x, y);
                for (int c = 0; c < 3; ++c) {
                    const float v = p[c] * p[3] + behind * (1.0f - p[3]);
                    rgb[(size_t(y) * size_t(image.width) + size_t(x)) * 3 + size_t(c)] = uint8_t(
                        std::lround(std::clamp(std::isnan(v) ? 0.0f : v, 0.0f, 1.0f) * 255.0f));
                }
            }
        for (size_t done = 0; written && done < rgb.size();) {
            const ssize_t n = ::write(input[1], rgb.data() + done, rgb.size() - done);
            if (n < 0 && errno == EINTR) continue;
            written = n > 0;
            done += written ? size_t(n) : 0;
        }
        if (!written) break;
    }
    ::close(input[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::signal(SIGPIPE, sigpipe);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!written || code != 0 || std::rename(partial.c_str(), output.c_str()) != 0) {
        std::remove(partial.c_str());
        if (code == 127)
            throw HostError(kExitRender,
                            output + ": the movie needs the ffmpeg program (Debian: ffmpeg)");
        throw HostError(kExitRender, output + ": ffmpeg could not write the movie (status " +
                                         std::to_string(code) + ")");
    }
    std::printf("movie of %zu frames at %s fps written to %s\n", files.size(), rate,
                output.c_str());
    return kExitOk;
}

int commandSubmit(const CommandOptions& o) {
    if (o.status)
        return printFarmStatus(fs::absolute(o.scene).lexically_normal().string()) == 0
                   ? kExitOk
                   : kExitRender;
    if (o.scheduler.empty())
        throw HostError(kExitUsage, "submit needs --scheduler slurm (or --status)");
    skv::setLogEnabled(false);
    // The scene and every --set are checked as a task would check them, before anything is
    // submitted.
    Session session(o.plugin, o.scene, o.settings);
    FarmJob job;
    job.scene = session.scene().path;
    job.program = fs::canonical("/proc/self/exe").string();
    job.plugin = fs::absolute(o.plugin).string();
    job.output = o.output.empty() ? session.scene().output : fs::absolute(o.output).string();
    if (job.output.empty())
        throw HostError(kExitUsage, "the scene has no \"output\"; give -o PATTERN");
    job.settings = o.settings;
    job.frameCount = session.scene().comp.frameCount();
    job.chunk = o.chunk;
    job.simCpus = o.simCpus;
    job.renderCpus = o.renderCpus;
    job.partition = o.partition;
    submitToSlurm(job, o.dryRun);
    return kExitOk;
}

int commandUi(const CommandOptions& o) {
    skv::setLogEnabled(false);
    Session session(o.plugin, o.scene, o.settings);
    session.openInstance(Session::CacheUse::kCreate);
    session.host().updateParamsUI();
    Panel panel(session.host());
    const std::string output = fs::absolute(o.output).string();
    makeParentFolder(output);
    writeImage(output, imageOf(panel.draw(0)), 8);
    std::printf("panel written to %s\n", output.c_str());
    return kExitOk;
}

int commandClick(const CommandOptions& o) {
    skv::setLogEnabled(false);
    Session session(o.plugin, o.scene, o.settings);
    HeadlessHost& host = session.host();
    const int index = host.paramIndex(o.param);
    if (index < 0)
        throw HostError(kExitUsage, "no parameter \"" + o.param + "\"" +
                                        didYouMean(o.param, host.parameterNames()));
    const HostParam& param = host.params()[size_t(index)];
    if (param.def.param_type != PF_Param_ARBITRARY_DATA || !(param.def.ui_flags & PF_PUI_CONTROL))
        throw HostError(kExitUsage, "\"" + param.name + "\" has no custom control to click");
    const bool drag = o.drag.size() == 2;
    const int toX = drag ? o.drag[0] : o.x, toY = drag ? o.drag[1] : o.y;
    session.openInstance(Session::CacheUse::kCreate);
    expectOk(host.click(index, o.x, o.y, o.doubleClick ? 2 : 1), "the click");
    if (drag) expectOk(host.drag(index, toX, toY, false), "the drag");
    expectOk(host.drag(index, toX, toY, true), "the release");
    session.saveProject();
    std::printf("%s: %s\n", param.name.c_str(), host.valueText(index, 0).c_str());
    return kExitOk;
}

}  // namespace skv::app
