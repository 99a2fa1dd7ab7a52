// skyvane: the headless host of the Skyvane effect. It loads the plug-in and drives it through
// its entry point as the compositing host does.
#include <omp.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "bench.h"
#include "command_line.h"
#include "commands.h"
#include "host_error.h"
#include "platform/exception.h"
#include "plugin_library.h"

using namespace skv::app;

namespace {

// Options every command that opens a scene shares.
void addSceneOptions(CLI::App& command, CommandOptions& o) {
    command.add_option("SCENE", o.scene, "the scene file (JSON)")->required();
    command.add_option("--set", o.settings,
                       "override an effect parameter, e.g. --set \"Buoyancy=5\" (repeatable)");
}

void addEncodingOptions(CLI::App& command, CommandOptions& o) {
    command.add_option(
        "--colorspace", o.colorspace,
        "write images in this colour space (default: linear for EXR, sRGB for the others)");
    command.add_flag("--straight", o.straight,
                     "straight alpha in EXR too (default: premultiplied, as EXR expects)");
}

// What render and run share: the images' pattern, the frames, how they are encoded.
void addRenderOptions(CLI::App& command, CommandOptions& o, const char* framesHelp) {
    command.add_option("-o,--output", o.output,
                       "image pattern: out/f_####.exr or out/f_%04d.png (default: the scene's)");
    command.add_option("--frames", o.frames, framesHelp);
    addEncodingOptions(command, o);
}

void addProgressOption(CLI::App& command, CommandOptions& o) {
    command
        .add_option("--progress", o.progress,
                    "how progress is shown: human (a line per frame), machine (key=value lines for "
                    "farm managers) or quiet")
        ->check(CLI::IsMember({"human", "machine", "quiet"}));
    command.add_flag("--quiet", o.quiet, "no progress lines (the same as --progress quiet)");
}

// The long options of a command and of the program, for "did you mean".
std::vector<std::string> optionNames(const CLI::App& app, const CLI::App* command) {
    std::vector<std::string> names;
    for (const CLI::App* a : {&app, command}) {
        if (!a) continue;
        for (const CLI::Option* o : a->get_options())
            for (const std::string& n : o->get_lnames())
                names.push_back("--" + n);
    }
    return names;
}

// CLI11's message for arguments it did not expect, with the nearest option where one is close.
std::string explainExtras(const CLI::App& app, const std::vector<std::string>& extras) {
    const CLI::App* command = nullptr;
    for (const CLI::App* c : app.get_subcommands())
        command = c;
    std::string text;
    for (const std::string& extra : extras) {
        if (!text.empty()) text += "; ";
        if (extra.rfind("--", 0) == 0) {
            const std::string name = extra.substr(0, extra.find('='));
            text += "unknown option " + name + didYouMean(name, optionNames(app, command));
        } else if (extra.rfind('-', 0) == 0 && extra.size() > 1) {
            text += "unknown option " + extra;
        } else {
            text += "unexpected argument \"" + extra + "\"";
        }
    }
    return text;
}

// The OpenMP runtime reads its thread count and its wait policy once, as the program starts,
// and the plug-in's worker threads take theirs from there; so the program starts itself again
// with them in its environment, before anything else has run.
//
// The wait policy: libgomp's idle workers spin 300,000 rounds (6.6 ms on this kind of machine)
// after every parallel region before they sleep. On a machine shared with a compositing host,
// or with our own cache and image-writing threads, that spinning takes the processors they are
// waiting for: beside two busy processes, small frames ran five times slower than their fair
// share. 20,000 rounds (0.4 ms) still bridge the gaps between the passes of a sub-step, and
// bring those frames within twice their fair share. A policy the user set is kept; commands
// that run no parallel work do not pay for the second start ("info" does, to show the settings
// the others run with).
void applyOpenMpSettings(int threads, bool parallelWork, char** argv) {
    bool threadsChanged = false, policyChanged = false;
    if (threads > 0) {
        const std::string wanted = std::to_string(threads);
        const char* current = std::getenv("OMP_NUM_THREADS");
        threadsChanged = !current || wanted != current;
        ::setenv("OMP_NUM_THREADS", wanted.c_str(), 1);
    }
    if (parallelWork && !std::getenv("OMP_WAIT_POLICY") && !std::getenv("GOMP_SPINCOUNT")) {
        ::setenv("GOMP_SPINCOUNT", "20000", 0);
        policyChanged = true;
    }
    if (!threadsChanged && !policyChanged) return;
    ::execv("/proc/self/exe", argv);
    // Without /proc the program goes on with the runtime's own wait, which is only slower; a
    // thread count the user asked for is not dropped without a word.
    if (threadsChanged)
        throw HostError(kExitUsage, std::string("--threads: cannot restart the program (") +
                                        std::strerror(errno) + ")");
    ::unsetenv("GOMP_SPINCOUNT");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "skyvane: the headless host of the Skyvane effect; it drives the plug-in as the "
        "compositing host does.",
        "skyvane"};
    app.set_help_all_flag("--help-all", "every command with its options");
    app.require_subcommand(0, 1);
    app.fallthrough();
    bool version = false;
    CommandOptions o;
    app.add_flag("--version", version, "the program's version");
    app.add_option("--plugin", o.plugin,
                   "load this plug-in library instead of the one beside the program");
    app.add_option("--log", o.log,
                   "the plug-in's log file (default: $SKYVANE_LOG, else ~/skyvane.log)");
    app.add_option("--threads", o.threads,
                   "threads of the simulation and render (default: every processor)")
        ->check(CLI::Range(1, 1024));

    CLI::App* info =
        app.add_subcommand("info", "version, threads, GPU, and what the plug-in declares");

    CLI::App* bench =
        app.add_subcommand("bench", "engine, solver, render and cache throughput (no plug-in)");
    BenchOptions benchOptions;
    bench->add_flag("--json", benchOptions.json, "one JSON object instead of a table");
    bench->add_flag("--quick", benchOptions.quick, "small sizes and short trials");
    bench->add_option("--size", benchOptions.size, "only this grid size (256, 512, 1024, ...)")
        ->check(CLI::Range(16u, 8192u));
    bench
        ->add_option("--contention", benchOptions.contention,
                     "the scenes again with K busy processes beside them, against the fair share")
        ->check(CLI::Range(0, 256));

    CLI::App* layers = app.add_subcommand(
        "layers", "write the scene's layers as images, as the effect receives them");
    addSceneOptions(*layers, o);
    layers->add_option("-o,--output", o.output, "the folder of the images")->required();
    layers->add_option("--frames", o.frames, "a frame set: 10, 10-20, 1-100x5, 1,5,9-12");

    CLI::App* params =
        app.add_subcommand("params", "every effect parameter: index, name, value, range, enabled");
    addSceneOptions(*params, o);

    CLI::App* status = app.add_subcommand("status", "frames cached, outdated or not, and why");
    addSceneOptions(*status, o);

    CLI::App* simulate = app.add_subcommand(
        "simulate", "simulate the layer into the disk cache (presses \"update\")");
    addSceneOptions(*simulate, o);
    simulate->add_flag("--restart", o.restart, "simulate again from frame 0 (presses \"restart\")");
    simulate->add_flag("--preview", o.preview, "show the preview window (when a display exists)");
    addProgressOption(*simulate, o);

    CLI::App* render = app.add_subcommand("render", "render cached frames to images");
    addSceneOptions(*render, o);
    addRenderOptions(*render, o,
                     "a frame set: 10, 10-20, 1-100x5, 1,5,9-12 (default: every frame)");
    render->add_flag("--allow-outdated", o.allowOutdated,
                     "render a cache that no longer matches the scene");
    addProgressOption(*render, o);

    CLI::App* run = app.add_subcommand("run", "simulate, then render");
    addSceneOptions(*run, o);
    addRenderOptions(*run, o, "the frames to render (every frame is simulated)");
    run->add_flag("--restart", o.restart, "simulate again from frame 0");
    run->add_flag("--preview", o.preview, "show the preview window (when a display exists)");
    addProgressOption(*run, o);

    CLI::App* exportFields = app.add_subcommand(
        "export", "the cached fields of each frame as a multi-channel EXR or an OpenVDB file");
    addSceneOptions(*exportFields, o);
    exportFields
        ->add_option("-o,--output", o.output, "file pattern: fields_####.exr or fields_####.vdb")
        ->required();
    exportFields->add_option("--frames", o.frames, "a frame set (default: every frame)");
    addProgressOption(*exportFields, o);

    CLI::App* ui = app.add_subcommand("ui", "draw the effect controls panel as the host shows it");
    addSceneOptions(*ui, o);
    ui->add_option("-o,--output", o.output, "the PNG to write")->required();

    CLI::App* click = app.add_subcommand(
        "click", "click a custom control; edited values are kept in the project state");
    addSceneOptions(*click, o);
    click->add_option("PARAM", o.param, "the parameter whose control is clicked")->required();
    click->add_option("X", o.x, "position inside the control")->required();
    click->add_option("Y", o.y, "position inside the control")->required();
    click->add_option("--drag", o.drag, "drag to X2 Y2 before the release")->expected(2);
    click->add_flag("--double", o.doubleClick, "a double click");

    CLI::App* sheet = app.add_subcommand("sheet", "a contact sheet of rendered frames");
    sheet->add_option("PATTERN", o.scene, "the rendered images, e.g. out/f_####.png")->required();
    sheet->add_option("-o,--output", o.output, "the PNG to write")->required();
    sheet->add_option("--frames", o.frames, "a frame set (default: every frame the pattern finds)");
    sheet->add_option("--every", o.every, "every Nth frame of the set")
        ->check(CLI::Range(1, 1000000));
    sheet->add_option("--columns", o.columns, "frames per row")->check(CLI::Range(1, 64));
    sheet->add_option("--width", o.width, "width of one frame in pixels")
        ->check(CLI::Range(16, 4096));
    sheet->add_option("--background", o.background, "what shows through transparent pixels")
        ->check(CLI::IsMember({"checker", "grey", "black"}));

    CLI::App* movie =
        app.add_subcommand("movie", "a preview movie of rendered frames, over a background");
    movie->add_option("PATTERN", o.scene, "the rendered images, e.g. out/f_####.exr")->required();
    movie->add_option("-o,--output", o.output, "the movie to write, e.g. preview.mp4")->required();
    movie->add_option("--frames", o.frames, "a frame set (default: every frame the pattern finds)");
    movie->add_option("--fps", o.fps, "frames a second")->check(CLI::Range(1.0, 240.0));
    movie->add_option("--background", o.background, "what shows through transparent pixels")
        ->check(CLI::IsMember({"checker", "grey", "black"}));

    CLI::App* submit = app.add_subcommand(
        "submit", "send the scene to a render farm: a simulate job, then render chunks");
    addSceneOptions(*submit, o);
    submit->add_option("--scheduler", o.scheduler, "the farm's scheduler")
        ->check(CLI::IsMember({"slurm"}));
    submit->add_option("-o,--output", o.output, "image pattern (default: the scene's)");
    submit->add_option("--chunk", o.chunk, "frames a render task")->check(CLI::Range(1, 100000));
    submit->add_option("--partition", o.partition, "the partition (queue) of both jobs");
    submit->add_option("--sim-cpus", o.simCpus, "processors of the simulate task")
        ->check(CLI::Range(1, 1024));
    submit->add_option("--render-cpus", o.renderCpus, "processors of a render task")
        ->check(CLI::Range(1, 1024));
    submit->add_flag("--dry-run", o.dryRun,
                     "print the job scripts and the sbatch lines; submit nothing");
    submit->add_flag("--status", o.status,
                     "what the submitted job has done so far, and which chunks failed");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        if (app.get_subcommands().empty() && argc > 1 && argv[1][0] != '-') {
            // An unknown command arrives as an unexpected argument of the program.
            std::vector<std::string> commands;
            for (const CLI::App* c : app.get_subcommands({}))
                commands.push_back(c->get_name());
            message =
                std::string("unknown command \"") + argv[1] + "\"" + didYouMean(argv[1], commands);
        } else if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
            message = explainExtras(app, app.remaining());
        }
        std::fprintf(
            stderr,
            "skyvane: %s\nRun \"skyvane --help\" or \"skyvane COMMAND --help\" for usage.\n",
            message.c_str());
        return kExitUsage;
    }
    if (version) {
        std::printf("skyvane %s\n", SKV_VERSION);
        return kExitOk;
    }
    if (app.get_subcommands().empty()) {
        std::fprintf(stderr, "%s", app.help().c_str());
        return kExitUsage;
    }
    CLI::App* command = app.get_subcommands().front();
    o.command = command->get_name();
    // An empty frame set (a farm's frame variable left unset) is refused, never taken for every
    // frame, which is what leaving the option out means.
    if (const CLI::Option* frames = command->get_option_no_throw("--frames");
        frames && frames->count() > 0 && o.frames.empty()) {
        std::fprintf(stderr,
                     "skyvane: --frames: an empty frame set (leave the option out for every "
                     "frame)\n");
        return kExitUsage;
    }
    if (o.plugin.empty()) o.plugin = PluginLibrary::defaultPath();

    Outcome outcome(o);
    try {
        static const std::set<std::string> kParallelWork = {"info", "simulate", "render",
                                                            "run",  "bench",    "export"};
        applyOpenMpSettings(o.threads, kParallelWork.count(o.command) > 0, argv);
        if (!o.log.empty()) {
            const std::filesystem::path log = std::filesystem::absolute(o.log);
            std::error_code error;
            std::filesystem::create_directories(log.parent_path(), error);
            if (std::FILE* f = std::fopen(log.c_str(), "a"))
                std::fclose(f);
            else
                throw HostError(kExitUsage, "--log " + o.log + ": cannot write the log (" +
                                                std::strerror(errno) + ")");
            ::setenv("SKYVANE_LOG", log.c_str(), 1);
        }
        if (command == info) return outcome.finish(commandInfo(o));
        if (command == bench) return outcome.finish(runBench(benchOptions));
        if (command == layers) return outcome.finish(commandLayers(o));
        if (command == params) return outcome.finish(commandParams(o));
        if (command == status) return outcome.finish(commandStatus(o));
        if (command == simulate) return outcome.finish(commandSimulate(o, outcome));
        if (command == render) return outcome.finish(commandRender(o, outcome));
        if (command == run) return outcome.finish(commandRun(o, outcome));
        if (command == exportFields) return outcome.finish(commandExport(o, outcome));
        if (command == ui) return outcome.finish(commandUi(o));
        if (command == click) return outcome.finish(commandClick(o));
        if (command == sheet) return outcome.finish(commandSheet(o));
        if (command == movie) return outcome.finish(commandMovie(o));
        if (command == submit) return outcome.finish(commandSubmit(o));
        return kExitUsage;
    } catch (const HostError& e) {
        std::fprintf(stderr, "skyvane: %s\n", e.what());
        return outcome.finish(e.code());
    } catch (const nlohmann::json::exception& e) {
        // Every value of a scene is checked where it is read; this is the net under those checks.
        std::fprintf(stderr, "skyvane: %s: a value of the wrong kind in the scene (%s)\n",
                     o.scene.c_str(), e.what());
        return outcome.finish(kExitScene);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "skyvane: %s\n", e.what());
        return outcome.finish(kExitPlugin);
    } catch (const skv::Exception& e) {
        // The engine's own exceptions are caught where they arise; this is the net under them.
        std::fprintf(stderr, "skyvane: %s\n", e.message().c_str());
        return outcome.finish(kExitPlugin);
    }
}
