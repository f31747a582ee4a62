// REBOOTSYS with a user ID and password against instant substitute tools:
// six tool runs and the 750 ms ping pause.  Wall time and the CPU that
// kova32ex used, with and without the CPU of the tools it waited for.
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
    return 0;
}
