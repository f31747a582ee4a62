#include "testutil.h"

#ifndef _WIN32

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
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
#include <thread>

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

ConsoleNetworks::ConsoleNetworks(int networks, bool routed)
{
    static std::atomic<int> serial{0};
    tag_ = std::to_string(getpid()) + "_" + std::to_string(serial++);
    auto add = [this](const std::string &role) {
        namespaces_.push_back("kova" + role + tag_);
        return Sh("ip netns add " + namespaces_.back()) &&
               Sh("ip -n " + namespaces_.back() + " link set lo up");
    };
    ok_ = add("C");
    console_ = namespaces_.back();
    pcs_.push_back({});
    std::string firstDev;
    for (int n = 1; ok_ && n <= networks; n++) {
        ok_ = add("P" + std::to_string(n));
        pcs_.push_back(namespaces_.back());
        std::string net = "10.81." + std::to_string(n) + ".";
        std::string dev;
        ok_ = ok_ && Join(console_, net + "1/24", pcs_.back(), net + "2/24", &dev);
        if (n == 1)
            firstDev = dev;
    }
    if (ok_ && routed) {
        // The first network's far end forwards to the segment behind it,
        // directed broadcasts included (every interface's bc_forwarding).
        const std::string &router = pcs_[1];
        std::string dev;
        ok_ = add("B");
        pcs_[0] = namespaces_.back();
        ok_ = ok_ && Join(router, "10.90.1.1/24", pcs_[0], "10.90.1.2/24", &dev) &&
              Sh("ip -n " + pcs_[0] + " route add default via 10.90.1.1") &&
              Sh("ip netns exec " + router + " sh -c 'sysctl -qw net.ipv4.ip_forward=1 && "
                 "for f in /proc/sys/net/ipv4/conf/*/bc_forwarding; do echo 1 >$f; done'");
    }
    if (ok_)
        ok_ = Sh("ip -n " + console_ + " route add default " +
                 (routed ? std::string("via 10.81.1.2") : "dev " + firstDev));
}

ConsoleNetworks::~ConsoleNetworks()
{
    for (auto it = namespaces_.rbegin(); it != namespaces_.rend(); ++it)
        Sh("ip netns del " + *it);
}

// A veth pair from a to b, each end up with its address (none when empty);
// *devA: a's end.
bool ConsoleNetworks::Join(const std::string &a, const std::string &addrA, const std::string &b,
                           const std::string &addrB, std::string *devA)
{
    std::string n = std::to_string(links_++);
    *devA = "kv" + n + "a";
    std::string devB = "kv" + n + "b";
    return Sh("ip link add " + *devA + " netns " + a + " type veth peer name " + devB + " netns " + b) &&
           (addrA.empty() || Sh("ip -n " + a + " addr add " + addrA + " dev " + *devA)) &&
           (addrB.empty() || Sh("ip -n " + b + " addr add " + addrB + " dev " + devB)) &&
           Sh("ip -n " + a + " link set " + *devA + " up") &&
           Sh("ip -n " + b + " link set " + devB + " up");
}

std::unique_ptr<UdpListener> ConsoleNetworks::ListenAtPc(int n) const
{
    std::unique_ptr<UdpListener> listener;
    if (n < 0 || size_t(n) >= pcs_.size() || pcs_[size_t(n)].empty())
        return listener;
    // A socket belongs to the namespace of the thread that makes it.
    std::thread([&] {
        int fd = open(("/var/run/netns/" + pcs_[size_t(n)]).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0)
            listener = std::make_unique<UdpListener>(9, "0.0.0.0");
        if (fd >= 0)
            close(fd);
    }).join();
    return listener;
}

}  // namespace kt

#endif  // !_WIN32
