// The two-stage farm job on a real, private, single-node Slurm cluster: munge and the two Slurm
// daemons started for the test with their own configuration, state and logs in a temporary
// folder, and stopped by their process ids at its end.
#include <netinet/in.h>
#include <sys/socket.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "app_support.h"

namespace skv::test {
namespace {

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

// munged, slurmctld and slurmd for one test; `why` says why not when they cannot run here.
class PrivateSlurm {
  public:
    explicit PrivateSlurm(const TempDir& dir) : dir_(dir) {
        const std::string missing = shell(
            "for p in munged slurmctld slurmd sbatch squeue sinfo; do command -v $p "
            ">/dev/null || echo -n \"$p \"; done");
        if (::geteuid() != 0)
            why_ = "not root: slurmd and munged of a private cluster run as root here";
        if (!missing.empty()) why_ = missing + "not installed (Debian: slurm-wlm, munge)";
        if (!why_.empty()) return;
        const std::string s = dir_.file("slurm"), m = dir_.file("munge");
        for (const std::string& folder : {s + "/state", s + "/spool", m})
            fs::create_directories(folder);
        shell("head -c 1024 /dev/urandom > " + m + "/munge.key && chmod 400 " + m + "/munge.key");
        const std::string out = shell("munged --force --key-file=" + m +
                                      "/munge.key --socket=" + m + "/socket --pid-file=" + m +
                                      "/pid --log-file=" + m + "/log --seed-file=" + m + "/seed");
        if (!fs::exists(m + "/pid")) why_ = "munged did not start: " + out;
        if (!why_.empty()) return;
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        const std::string node = std::string(host).substr(0, std::string(host).find('.'));
        conf_ = s + "/slurm.conf";
        // clang-format off
        const std::string conf = "ClusterName=skyvanetest\nSlurmctldHost=" + node + "(127.0.0.1)\nSlurmUser=root\n"
            "SlurmdUser=root\nSlurmctldPort=" + std::to_string(freePort()) + "\nSlurmdPort=" + std::to_string(freePort()) +
            "\nAuthType=auth/munge\nAuthInfo=socket=" + m + "/socket\nCredType=cred/munge\nStateSaveLocation=" + s +
            "/state\nSlurmdSpoolDir=" + s + "/spool\nSlurmctldPidFile=" + s + "/slurmctld.pid\nSlurmdPidFile=" + s +
            "/slurmd.pid\nSlurmctldLogFile=" + s + "/slurmctld.log\nSlurmdLogFile=" + s + "/slurmd.log\n"
            "ProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\nSelectType=select/cons_tres\n"
            "SelectTypeParameters=CR_Core\nSchedulerType=sched/builtin\nReturnToService=2\nMpiDefault=none\n"
            "JobAcctGatherType=jobacct_gather/none\nAccountingStorageType=accounting_storage/none\nNodeName=" + node +
            " NodeAddr=127.0.0.1 CPUs=" + std::to_string(std::thread::hardware_concurrency()) + " State=UNKNOWN\n"
            "PartitionName=skyvane Nodes=" + node + " Default=YES MaxTime=INFINITE State=UP\n";
        // clang-format on
        writeFile(conf_, conf);
        shell("slurmctld -f " + conf_);
        shell("slurmd -f " + conf_ + " -N " + node);
        for (int wait = 0; wait < 100;
             ++wait, std::this_thread::sleep_for(std::chrono::milliseconds(200)))
            if (shell(environment() + " sinfo -h -o %t").find("idle") != std::string::npos) return;
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
    const std::string environment = slurm.environment(), farmScene = dir.file("farm/scene.json");
    ProgramRun r = runIn(dir,
                         {"submit", farmScene, "--scheduler", "slurm", "--chunk", "5", "--set",
                          "Resolution Scale=4", "--render-cpus", "1", "--sim-cpus", "2"},
                         environment, "/");
    ASSERT_EQ(r.status, 0) << r.output;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.output, m,
                                  std::regex(R"(render job array ([0-9]+): 5 chunks of 5 frames)")))
        << r.output;
    const std::string renderJob = m[1].str();
    for (int wait = 0; wait < 600 && !shell(environment + " squeue -h -o %i").empty(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(shell(environment + " squeue -h -o %i").empty())
        << "the jobs did not finish in 5 minutes";
    r = runIn(dir, {"submit", "--status", farmScene}, environment);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("rendered: 24 of 24 frames: 0-23"), std::string::npos) << r.output;

    // The same frames, byte for byte, as one machine gives.
    for (const char* command : {"simulate", "render"})
        ASSERT_EQ(runIn(dir, {command, dir.file("local/scene.json"), "--set", "Resolution Scale=4",
                              "--threads", command[0] == 's' ? "2" : "1", "--quiet"})
                      .status,
                  0);
    for (int f = 0; f < 24; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "/out/f_%04d.png", f);
        ASSERT_TRUE(fs::exists(dir.file("farm") + name)) << name;
        EXPECT_EQ(readFile(dir.file("farm") + name), readFile(dir.file("local") + name))
            << name << " differs";
    }

    // A failed chunk (its task's result line says so) is named with its frames, to render again
    // alone.
    const std::string chunk = dir.file("farm/scene.json.farm/logs/render-" + renderJob + "_2.out");
    ASSERT_TRUE(fs::exists(chunk));
    writeFile(chunk,
              readFile(chunk) + "result task=render status=failed exit=6 frames=3 seconds=0.5\n");
    r = runIn(dir, {"submit", "--status", farmScene}, environment);
    EXPECT_EQ(r.status, 6) << r.output;
    EXPECT_NE(r.output.find(
                  "failed: chunk 2, frames 10-14, exit 6; render it again with: skyvane render " +
                  farmScene + " --frames 10-14"),
              std::string::npos)
        << r.output;
}

}  // namespace
}  // namespace skv::test
