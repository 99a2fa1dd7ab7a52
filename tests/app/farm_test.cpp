// The two-stage farm job on a real, private, single-node Slurm cluster: munge and the two Slurm
// daemons started for the test with their own configuration, state and logs in a temporary
// folder, and stopped by their process ids at its end.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <thread>

#include "app_test_support.h"

namespace skv::test {
namespace {

namespace fs = std::filesystem;

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

std::string shell(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
            output.append(buffer, n);
        ::pclose(pipe);
    }
    return output;
}

bool onPath(const std::string& program) {
    return shell("command -v " + program).find('/') != std::string::npos;
}

// munged, slurmctld and slurmd for one test; `why` says why not when they cannot run here.
class PrivateSlurm {
  public:
    explicit PrivateSlurm(const TempDir& dir) : dir_(dir) {
        if (::geteuid() != 0) {
            why_ = "not root: slurmd and munged of a private cluster run as root here";
            return;
        }
        for (const char* program : {"munged", "slurmctld", "slurmd", "sbatch", "squeue", "sinfo"})
            if (!onPath(program)) {
                why_ = std::string(program) + " is not installed (Debian: slurm-wlm, munge)";
                return;
            }
        fs::create_directories(dir_.file("slurm/state"));
        fs::create_directories(dir_.file("slurm/spool"));
        fs::create_directories(dir_.file("munge"));
        std::string key(1024, '\0');
        std::mt19937 random(std::random_device{}());
        for (char& c : key)
            c = char(random());
        writeFile(dir_.file("munge/munge.key"), key);
        fs::permissions(dir_.file("munge/munge.key"), fs::perms::owner_read,
                        fs::perm_options::replace);
        const std::string munged =
            "munged --force --key-file=" + dir_.file("munge/munge.key") +
            " --socket=" + dir_.file("munge/socket") + " --pid-file=" + dir_.file("munge/pid") +
            " --log-file=" + dir_.file("munge/log") + " --seed-file=" + dir_.file("munge/seed");
        if (const std::string out = shell(munged); !fs::exists(dir_.file("munge/pid"))) {
            why_ = "munged did not start: " + out;
            return;
        }
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        const std::string node = std::string(host).substr(0, std::string(host).find('.'));
        const std::string s = dir_.file("slurm");
        std::ofstream(s + "/slurm.conf")
            << "ClusterName=skyvanetest\nSlurmctldHost=" << node << "(127.0.0.1)\n"
            << "SlurmUser=root\nSlurmdUser=root\nSlurmctldPort=" << freePort()
            << "\nSlurmdPort=" << freePort()
            << "\nAuthType=auth/munge\nAuthInfo=socket=" << dir_.file("munge/socket")
            << "\nCredType=cred/munge\nStateSaveLocation=" << s << "/state\nSlurmdSpoolDir=" << s
            << "/spool\nSlurmctldPidFile=" << s << "/slurmctld.pid\nSlurmdPidFile=" << s
            << "/slurmd.pid\nSlurmctldLogFile=" << s << "/slurmctld.log\nSlurmdLogFile=" << s
            << "/slurmd.log\n"
            << "ProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\n"
            << "SelectType=select/cons_tres\nSelectTypeParameters=CR_Core\n"
            << "SchedulerType=sched/builtin\nReturnToService=2\nMpiDefault=none\n"
            << "JobAcctGatherType=jobacct_gather/none\n"
            << "AccountingStorageType=accounting_storage/none\nNodeName=" << node
            << " NodeAddr=127.0.0.1 CPUs=" << std::thread::hardware_concurrency()
            << " State=UNKNOWN\nPartitionName=skyvane Nodes=" << node
            << " Default=YES MaxTime=INFINITE State=UP\n";
        conf_ = s + "/slurm.conf";
        shell("slurmctld -f " + conf_);
        shell("slurmd -f " + conf_ + " -N " + node);
        for (int wait = 0; wait < 100; ++wait) {
            if (shell(environment() + " sinfo -h -o %t").find("idle") != std::string::npos) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        why_ = "the cluster did not come up: " +
               shell("tail -n 5 " + s + "/slurmctld.log " + s + "/slurmd.log");
    }
    ~PrivateSlurm() {
        for (const char* pidFile : {"slurm/slurmd.pid", "slurm/slurmctld.pid", "munge/pid"}) {
            std::ifstream in(dir_.file(pidFile));
            pid_t pid = 0;
            if (in >> pid && pid > 1) ::kill(pid, SIGTERM);
        }
    }
    const std::string& why() const { return why_; }
    std::string environment() const { return "SLURM_CONF='" + conf_ + "'"; }

  private:
    const TempDir& dir_;
    std::string conf_, why_;
};

TEST(FarmTest, ASlurmJobOfTheCampfireRendersTheFramesOfASingleMachine) {
    TempDir dir;
    PrivateSlurm slurm(dir);
    if (!slurm.why().empty()) GTEST_SKIP() << slurm.why();

    nlohmann::json scene =
        nlohmann::json::parse(readFile(std::string(SKV_SOURCE_DIR) + "/examples/campfire.json"));
    scene["composition"]["duration"] = 1.0;
    scene["output"] = "out/f_####.png";
    for (const char* where : {"farm", "local"}) {
        fs::create_directories(dir.file(where));
        writeFile(dir.file(std::string(where) + "/scene.json"), scene.dump(1));
    }
    const std::string environment =
        "HOME='" + dir.path() + "' SKYVANE_PREVIEW=off " + slurm.environment();
    const auto started = std::chrono::steady_clock::now();
    ProgramRun r =
        runProgram({"submit", dir.file("farm/scene.json"), "--scheduler", "slurm", "--chunk", "5",
                    "--set", "Resolution Scale=4", "--render-cpus", "1", "--sim-cpus", "2"},
                   "cd / && " + environment);
    ASSERT_EQ(r.status, 0) << r.output;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.output, m,
                                  std::regex(R"(render job array ([0-9]+): 5 chunks of 5 frames)")))
        << r.output;
    const std::string renderJob = m[1].str();  // the match refers into r, which is reused below
    for (int wait = 0; wait < 600 && !shell(slurm.environment() + " squeue -h -o %i").empty();
         ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double farmSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(shell(slurm.environment() + " squeue -h -o %i").empty())
        << "the jobs did not finish in 5 minutes";
    r = runProgram({"submit", "--status", dir.file("farm/scene.json")}, environment);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("rendered: 24 of 24 frames: 0-23"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("failed:"), std::string::npos) << r.output;

    const auto localStart = std::chrono::steady_clock::now();
    ASSERT_EQ(runProgram({"simulate", dir.file("local/scene.json"), "--set", "Resolution Scale=4",
                          "--threads", "2", "--quiet"},
                         environment)
                  .status,
              0);
    ASSERT_EQ(runProgram({"render", dir.file("local/scene.json"), "--set", "Resolution Scale=4",
                          "--threads", "1", "--quiet"},
                         environment)
                  .status,
              0);
    const double localSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - localStart).count();
    for (int f = 0; f < 24; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "/out/f_%04d.png", f);
        ASSERT_TRUE(fs::exists(dir.file("farm") + name)) << name;
        EXPECT_EQ(readFile(dir.file("farm") + name), readFile(dir.file("local") + name))
            << name << " differs";
    }
    std::printf(
        "[ farm ] 24 campfire frames at Resolution Scale 4: %.1f s through the local cluster, %.1f "
        "s on one machine\n",
        farmSeconds, localSeconds);

    // A failed chunk (its task's result line says so) is named with its frames, to be rendered
    // again alone.
    const std::string chunk = dir.file("farm/scene.json.farm/logs/render-" + renderJob + "_2.out");
    ASSERT_TRUE(fs::exists(chunk));
    std::ofstream(chunk, std::ios::app)
        << "result task=render status=failed exit=6 frames=3 seconds=0.5\n";
    r = runProgram({"submit", "--status", dir.file("farm/scene.json")}, environment);
    EXPECT_EQ(r.status, 6) << r.output;
    EXPECT_NE(r.output.find(
                  "failed: chunk 2, frames 10-14, exit 6; render it again with: skyvane render " +
                  dir.file("farm/scene.json") + " --frames 10-14"),
              std::string::npos)
        << r.output;
}

TEST(FarmTest, BadSubmissionsFailBeforeAnythingIsSubmitted) {
    TempDir dir;
    writeFile(dir.file("scene.json"),
              R"({ "composition": { "width": 8, "height": 8, "duration": 1 },
        "layers": { "p": { "shape": "box" } }, "effect": { "layer": "p", "Buoyancy": 99 }, "output": "o/f_##.png" })");
    const std::string environment = "HOME='" + dir.path() + "' PATH=/usr/bin:/bin";
    ProgramRun r =
        runProgram({"submit", dir.file("scene.json"), "--scheduler", "deadline"}, environment);
    EXPECT_EQ(r.status, 2) << r.output;
    r = runProgram({"submit", dir.file("scene.json"), "--scheduler", "slurm"}, environment);
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_NE(r.output.find("\"Buoyancy\" is 99"), std::string::npos) << r.output;
    writeFile(dir.file("scene.json"),
              R"({ "composition": { "width": 8, "height": 8, "duration": 1 },
        "layers": { "p": { "shape": "box" } }, "effect": { "layer": "p" }, "output": "o/f_##.png" })");
    r = runProgram({"submit", dir.file("scene.json"), "--scheduler", "slurm"},
                   "HOME='" + dir.path() + "' PATH=/nowhere");
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find("needs Slurm's sbatch on the PATH; nothing was submitted"),
              std::string::npos)
        << r.output;
    EXPECT_FALSE(fs::exists(dir.file("scene.json.farm/jobs.json")));
    r = runProgram({"submit", "--status", dir.file("scene.json")}, environment);
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_NE(r.output.find("no farm job was submitted"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace skv::test
