// REBOOTSYS with a user ID and password against instant substitute tools:
// six tool runs and the 750 ms ping pause.  Wall time and the CPU that
// kova32ex used, with and without the CPU of the tools it waited for; and
// the wall time of ten such requests for one PC at once, each with its own
// user ID, whose store sections take turns.
//
//   reboot [runs]   median of runs (default 5)
#include "agent_bench.h"

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    agentbench::Workspace workspace;
    std::vector<double> wall, cpu, own;

    for (int i = 0; i < runs; i++) {
        workspace.Write("store", "pc1\told\toldpw\n");
        agentbench::Measure m = workspace.Run("REBOOTSYS 001122334455 admin secret 1");
        if (m.result != "0\r") {
            fprintf(stderr, "reboot: unexpected answer\n");
            return 1;
        }
        wall.push_back(m.wallMs);
        cpu.push_back(m.cpuSeconds);
        own.push_back(m.ownCpuSeconds);
    }
    double median = agentbench::Median(wall);
    printf("reboot_with_credentials_wall_median: %.1f ms\n", median);
    printf("reboot_beyond_ping_pause: %.1f ms\n", median - 750.0);
    printf("reboot_cpu_median_with_tools: %.3f s\n", agentbench::Median(cpu));
    printf("reboot_cpu_median_kova32ex_own: %.3f s\n", agentbench::Median(own));

    const std::string before = "pc1\told\toldpw\n";
    std::vector<std::string> lines, results;
    for (int i = 0; i < 10; i++)
        lines.push_back("REBOOTSYS 001122334455 user" + std::to_string(i) + " pw 1");
    workspace.Write("store", before);
    double atOnce = workspace.RunAtOnce(lines, results);
    for (const std::string &result : results) {
        if (result != "0\r\n") {
            fprintf(stderr, "reboot: unexpected answer of a request at once\n");
            return 1;
        }
    }
    if (workspace.Read("store") != before) {
        fprintf(stderr, "reboot: the store was not put back\n");
        return 1;
    }
    printf("reboot_ten_at_once_one_pc_wall: %.1f ms\n", atOnce);
    return 0;
}
