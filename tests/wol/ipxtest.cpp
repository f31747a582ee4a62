#include "ipxtest.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace ipxt {

Segment::Segment(uint32_t network) : network_(network)
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof local;
    int on = 1, big = 1 << 20;
    // Bound without sharing first, so that no other test's segment holds
    // the port; shared afterwards, so that the layer and ipxd can join.
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&local), &len) != 0 ||
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        throw std::runtime_error("cannot reserve a UDP port for the segment");
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    port_ = ntohs(local.sin_port);
}

Segment::~Segment()
{
    close(fd_);
}

std::string Segment::env() const
{
    char text[64];
    snprintf(text, sizeof text, "%08X@127.255.255.255:%u", network_, port_);
    return text;
}

void Segment::send(const std::vector<uint8_t> &packet)
{
    int on = 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(0x7FFFFFFF);
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) !=
        ssize_t(packet.size()))
        throw std::runtime_error("cannot send on the segment");
}

std::vector<Packet> Segment::drain(std::chrono::milliseconds quiet)
{
    std::vector<Packet> packets;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, int(quiet.count())) <= 0)
            return packets;
        uint8_t buf[2048];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < 30)
            continue;
        Packet k;
        k.udpSize = size_t(n);
        k.checksum = uint16_t(buf[0] << 8 | buf[1]);
        k.length = uint16_t(buf[2] << 8 | buf[3]);
        k.control = buf[4];
        k.type = buf[5];
        k.dstNet.assign(buf + 6, buf + 10);
        k.dstNode.assign(buf + 10, buf + 16);
        k.dstSocket = uint16_t(buf[16] << 8 | buf[17]);
        k.srcNet.assign(buf + 18, buf + 22);
        k.srcNode.assign(buf + 22, buf + 28);
        k.srcSocket = uint16_t(buf[28] << 8 | buf[29]);
        size_t end = k.length <= n ? k.length : size_t(n);
        k.data.assign(buf + 30, buf + (end > 30 ? end : 30));
        packets.push_back(std::move(k));
    }
}

Child::Child(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipefd[1], 1);
        dup2(pipefd[1], 2);
        for (const std::string &setting : env)
            putenv(const_cast<char *>(setting.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        fprintf(stderr, "cannot start %s\n", args[0]);
        _exit(127);
    }
    close(pipefd[1]);
    fd_ = pipefd[0];
}

Child::~Child()
{
    if (pid_ > 0)
        stop(SIGKILL);
}

void Child::readAvailable(int timeoutMs)
{
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || poll(&p, 1, timeoutMs) <= 0)
        return;
    char buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n > 0) {
        out_.append(buf, size_t(n));
    } else {
        close(fd_);
        fd_ = -1;
    }
}

bool Child::waitFor(const std::string &text, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (out_.find(text) == std::string::npos) {
        if (fd_ < 0 || std::chrono::steady_clock::now() >= end)
            return false;
        readAvailable(50);
    }
    return true;
}

std::vector<std::string> Child::stop(int signal)
{
    if (pid_ > 0) {
        kill(pid_, signal);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (fd_ >= 0 && std::chrono::steady_clock::now() < end)
            readAvailable(1000);
        if (fd_ >= 0) {
            kill(pid_, SIGKILL);
            close(fd_);
            fd_ = -1;
        }
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    std::vector<std::string> lines;
    std::istringstream in(out_);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::unique_ptr<Child> StartIpxd(const Segment &segment, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {KOVA_TOOLS_DIR "/ipxd/ipxd", "--segment", segment.env()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = std::make_unique<Child>(argv);
    if (!child->waitFor("ipxd ready", std::chrono::seconds(20)))
        throw std::runtime_error("ipxd did not start: " + child->output());
    return child;
}

std::vector<std::string> LinesWith(const std::vector<std::string> &lines, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const std::string &line : lines)
        if (line.compare(0, prefix.size(), prefix) == 0)
            found.push_back(line);
    return found;
}

}  // namespace ipxt
