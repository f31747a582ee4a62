// What the agent benchmarks share: a working directory with the substitute
// agent tools' files, and a kova32ex run measured by wall clock and by CPU
// time: wait4's figure, which includes the tools kova32ex waited for, and
// kova32ex's own, read before it is reaped.
#pragma once

#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace agentbench {

struct Measure {
    double wallMs = 0;
    double cpuSeconds = 0;     // wait4: kova32ex and the tools it waited for
    double ownCpuSeconds = 0;  // kova32ex's own time on the CPU
    std::string result;        // KOVA.TMP
};

// Time on the CPU of a process that has ended but is not yet reaped: its
// own, without the children it waited for (which wait4 adds in).
inline double OwnCpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e9;
}

class Workspace {
public:
    Workspace()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kovabench.XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            perror("bench: mkdtemp");
            exit(1);
        }
        dir_ = pattern;
        Write("inventory", "group GRPTAG=0x1 GRPNAME= \"All systems\"\n"
                           "list SYSTAG=0x1A SYSNAME= \"pc one\"\n"
                           "list ADDR= \"pc1\"\n"
                           "list MAC=001122334455\n");
        setenv("PATH", (std::string(KOVA_TOOLS_DIR) + "/skwtools").c_str(), 1);
        setenv("SKW_INVENTORY", (dir_ + "/inventory").c_str(), 1);
        setenv("SKW_CREDSTORE", (dir_ + "/store").c_str(), 1);
        setenv("KOVA_MUTEX_DIR", (dir_ + "/mutex").c_str(), 1); // named mutexes of this run alone
        setenv("KOVA_STATE_DIR", (dir_ + "/state").c_str(), 1); // and its rollback records
    }
    ~Workspace() { std::filesystem::remove_all(dir_); }

    void Write(const std::string &name, const std::string &text)
    {
        std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    }

    // Runs kova32ex with one command line, as the console does.
    Measure Run(const std::string &line)
    {
        auto start = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir_.c_str()) != 0)
                _exit(127);
            execl(KOVA32EX_BIN, KOVA32EX_BIN, line.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        siginfo_t info{};
        waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT);
        Measure m;
        m.ownCpuSeconds = OwnCpuSeconds(pid);
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        m.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                       .count();
        m.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        std::ifstream in(dir_ + "/KOVA.TMP", std::ios::binary);
        std::getline(in, m.result);
        return m;
    }

    std::string Read(const std::string &name)
    {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // Runs one kova32ex per command line, all at once, each in a working
    // directory of its own; the wall time until the last has ended, and
    // their answers.
    double RunAtOnce(const std::vector<std::string> &lines, std::vector<std::string> &results)
    {
        std::vector<pid_t> pids;
        auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < lines.size(); i++) {
            std::string work = dir_ + "/at-once-" + std::to_string(i);
            std::filesystem::create_directories(work);
            pid_t pid = fork();
            if (pid == 0) {
                if (chdir(work.c_str()) != 0)
                    _exit(127);
                execl(KOVA32EX_BIN, KOVA32EX_BIN, lines[i].c_str(), static_cast<char *>(nullptr));
                _exit(127);
            }
            pids.push_back(pid);
        }
        for (pid_t pid : pids)
            waitpid(pid, nullptr, 0);
        double wallMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        results.clear();
        for (size_t i = 0; i < lines.size(); i++)
            results.push_back(Read("at-once-" + std::to_string(i) + "/KOVA.TMP"));
        return wallMs;
    }

private:
    std::string dir_;
};

inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace agentbench
