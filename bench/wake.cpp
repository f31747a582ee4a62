// Median wall time of one whole kova32ex WAKE request, from process start
// to exit, over 200 runs; the frames go to a loopback listener.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char **environ;

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 200;
    int sink = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof local;
    if (bind(sink, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        getsockname(sink, reinterpret_cast<sockaddr *>(&local), &len) != 0) {
        perror("bench: bind");
        return 1;
    }
    std::string target = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
    setenv("KOVA_UDP_TARGET", target.c_str(), 1);
    std::string dir = (std::filesystem::temp_directory_path() / "kovabench.XXXXXX").string();
    if (!mkdtemp(dir.data()) || chdir(dir.c_str()) != 0) {
        perror("bench: working directory");
        return 1;
    }
    char line[] = "WAKE 00A0C9123456";
    char *args[] = {const_cast<char *>(KOVA32EX_BIN), line, nullptr};
    std::vector<double> ms;
    int failures = 0;
    for (int i = 0; i < runs; i++) {
        auto start = std::chrono::steady_clock::now();
        pid_t pid;
        if (posix_spawn(&pid, KOVA32EX_BIN, nullptr, nullptr, args, environ) != 0) {
            perror("bench: spawn");
            return 1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        auto end = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            failures++;
        char buf[2048];
        while (recv(sink, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
    }
    std::filesystem::remove_all(dir);
    std::sort(ms.begin(), ms.end());
    printf("kova32ex_wake_median_ms: %.2f\n", ms[ms.size() / 2]);
    printf("kova32ex_wake_runs: %d\n", runs);
    printf("kova32ex_wake_failed_runs: %d\n", failures);
    return failures ? 1 : 0;
}
