#include "testutil.h"

#ifndef _WIN32

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace kt {

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "kovatest.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

UdpListener::UdpListener(uint16_t port, const std::string &address) : address_(address)
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        throw std::runtime_error("UdpListener: bind failed: " + std::string(strerror(errno)));
    socklen_t len = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&local), &len);
    port_ = ntohs(local.sin_port);
}

UdpListener::~UdpListener()
{
    if (fd_ >= 0)
        close(fd_);
}

std::optional<Datagram> UdpListener::receive(std::chrono::milliseconds timeout)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, int(timeout.count())) <= 0)
        return std::nullopt;
    uint8_t buf[65536];
    sockaddr_in from{};
    socklen_t fromlen = sizeof from;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
    if (n < 0)
        return std::nullopt;
    Datagram d;
    d.bytes.assign(buf, buf + n);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    d.sourceAddress = text;
    d.sourcePort = ntohs(from.sin_port);
    return d;
}

namespace {

// Reads both pipes until they close or the deadline passes.
void Collect(int outFd, int errFd, RunResult &result, pid_t pid,
             std::chrono::steady_clock::time_point deadline)
{
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        int n = poll(fds, 2, int(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got <= 0) {
                fds[i].fd = -1;
                open--;
            } else {
                (i == 0 ? result.out : result.err).append(buf, size_t(got));
            }
        }
    }
}

}  // namespace

RunResult Run(const std::vector<std::string> &argv, const RunOptions &options)
{
    std::vector<std::string> full = options.prefix;
    full.insert(full.end(), argv.begin(), argv.end());
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        for (const auto &[name, value] : options.env) {
            if (value == "\x01")
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        std::vector<char *> args;
        for (const auto &a : full)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!options.input.empty()) {
        ssize_t ignored = write(in[1], options.input.data(), options.input.size());
        (void)ignored;
    }
    close(in[1]);
    RunResult result;
    Collect(out[0], err[0], result, pid, std::chrono::steady_clock::now() + options.timeout);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

namespace {

bool Sh(const std::string &command)
{
    return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

NetnsPair::NetnsPair()
{
    static std::atomic<int> serial{0};
    int n = (int(getpid()) * 7 + serial++) % 200 + 20;
    std::string tag = std::to_string(getpid()) + "_" + std::to_string(n);
    a_ = "kovaA" + tag;
    b_ = "kovaB" + tag;
    addrA_ = "10.77." + std::to_string(n) + ".1";
    addrB_ = "10.77." + std::to_string(n) + ".2";
    std::string va = "kva" + std::to_string(getpid() % 100000) + "_" + std::to_string(n % 100);
    std::string vb = "kvb" + std::to_string(getpid() % 100000) + "_" + std::to_string(n % 100);
    va = va.substr(0, 15);
    vb = vb.substr(0, 15);
    ok_ = Sh("ip netns add " + a_) && Sh("ip netns add " + b_) &&
          Sh("ip link add " + va + " netns " + a_ + " type veth peer name " + vb + " netns " + b_) &&
          Sh("ip -n " + a_ + " addr add " + addrA_ + "/24 dev " + va) &&
          Sh("ip -n " + b_ + " addr add " + addrB_ + "/24 dev " + vb) &&
          Sh("ip -n " + a_ + " link set " + va + " up") && Sh("ip -n " + b_ + " link set " + vb + " up") &&
          Sh("ip -n " + a_ + " link set lo up") && Sh("ip -n " + b_ + " link set lo up") &&
          Sh("ip -n " + a_ + " route add default dev " + va) &&
          Sh("ip -n " + b_ + " route add default dev " + vb);
}

NetnsPair::~NetnsPair()
{
    Sh("ip netns del " + a_);
    Sh("ip netns del " + b_);
}

}  // namespace kt

#endif  // !_WIN32
