// Times the command-line tool end to end in the working directory: "design"
// (all cores), "fit --order all" on the design it left, and
// "run --order all", each the best of three runs, with each command's own
// peak memory and CPU time. A second path to a tool (an earlier build, say)
// is timed the same way for comparison: bench_cli_run [OTHER_CLI].

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <vector>

namespace {

struct Measure {
    bool ok = false;
    double wall = 0.0;
    double cpu = 0.0;     // user + system
    long peakKiB = 0;
};

// One run of the tool with its output thrown away.
Measure runOnce(const std::string& tool, const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Measure m;
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    if (child < 0)
        return m;
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child)
        return m;
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    m.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    m.peakKiB = usage.ru_maxrss;
    return m;
}

bool report(const char* label, const std::string& tool, const std::vector<std::string>& arguments)
{
    Measure best;
    best.wall = 1e300;
    for (int run = 0; run < 3; ++run) {
        const Measure m = runOnce(tool, arguments);
        if (!m.ok) {
            std::fprintf(stderr, "bench_cli_run: %s failed\n", tool.c_str());
            return false;
        }
        if (m.wall < best.wall)
            best = m;
    }
    std::string command;
    for (const std::string& a : arguments)
        command += (command.empty() ? "" : " ") + a;
    std::printf("%-6s harvenlotek-cli %-16s best of 3: %.3f s wall, %.3f s CPU, peak memory %.1f MiB\n", label,
                command.c_str(), best.wall, best.cpu, double(best.peakKiB) / 1024.0);
    return true;
}

bool benchTool(const char* label, const std::string& tool)
{
    return report(label, tool, {"design"}) && report(label, tool, {"fit", "--order", "all"}) &&
           report(label, tool, {"run", "--order", "all"});
}

}  // namespace

int main(int argc, char** argv)
{
    bool ok = benchTool("this", HARVENLOTEK_CLI);
    if (argc > 1)
        ok = benchTool("other", argv[1]) && ok;
    return ok ? 0 : 1;
}
