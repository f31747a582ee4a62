// NUMPACKAGES: the CPU kova32ex uses while the agent tool takes 3 s to
// print its first line (it should rest, not spin), and the wall time of
// the whole request with an instant tool.
//
//   numpackages [runs]   median of runs for the instant case (default 21)
#include "agent_bench.h"

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 21;
    agentbench::Workspace workspace;

    setenv("SKW_DELAY_MS", "3000", 1);
    agentbench::Measure slow = workspace.Run("NUMPACKAGES");
    unsetenv("SKW_DELAY_MS");

    std::vector<double> wall, cpu;
    std::string result;
    for (int i = 0; i < runs; i++) {
        agentbench::Measure m = workspace.Run("NUMPACKAGES");
        wall.push_back(m.wallMs);
        cpu.push_back(m.cpuSeconds);
        result = m.result;
    }
    if (slow.result != "SKYWARDEN\r" || result != "SKYWARDEN\r") {
        fprintf(stderr, "numpackages: unexpected answer\n");
        return 1;
    }
    printf("numpackages_cpu_during_3s_first_line: %.3f s\n", slow.cpuSeconds);
    printf("numpackages_cpu_during_3s_first_line_kova32ex_own: %.3f s\n", slow.ownCpuSeconds);
    printf("numpackages_slow_tool_wall: %.0f ms\n", slow.wallMs);
    printf("numpackages_instant_tool_wall_median: %.1f ms\n", agentbench::Median(wall));
    printf("numpackages_instant_tool_cpu_median: %.3f s\n", agentbench::Median(cpu));
    return 0;
}
