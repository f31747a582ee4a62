// Helpers of the IPX tests: a private segment on loopback with a tap that
// sees every packet on it, and child processes (ipxd, dumpcap) that are
// read line by line while they run.  Plain POSIX; never the platform layer.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <cstdint>
#include <string>
#include <vector>

namespace ipxt {

// One IPX packet as it crossed the segment, decoded by the test itself.
struct Packet {
    size_t udpSize = 0;
    uint16_t checksum = 0, length = 0;
    uint8_t control = 0, type = 0;
    std::vector<uint8_t> dstNet, dstNode, srcNet, srcNode;
    uint16_t dstSocket = 0, srcSocket = 0;
    std::vector<uint8_t> data; // after the 30-byte header, as long as `length` says
};

// A segment of its own: a free UDP port, held (and shared with SO_REUSEADDR
// set after the bind) for the test's lifetime, so tests running side by
// side never meet.  The holding socket is the tap.
class Segment {
public:
    explicit Segment(uint32_t network = 0x0000ABCD);
    ~Segment();
    Segment(const Segment &) = delete;
    Segment &operator=(const Segment &) = delete;
    uint16_t port() const { return port_; }
    // The value of KOVA_IPX for this segment.
    std::string env() const;
    // Puts raw bytes (a whole IPX packet) on the segment.
    void send(const std::vector<uint8_t> &packet);
    // Every packet seen until the segment has been quiet for `quiet`.
    std::vector<Packet> drain(std::chrono::milliseconds quiet);

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    uint32_t network_;
};

// A child process whose standard output and error are collected.
class Child {
public:
    Child(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    // Waits until the output holds `text`; false after the timeout or when
    // the child ended first.
    bool waitFor(const std::string &text, std::chrono::milliseconds timeout);
    // Ends the child with the signal and returns all its output lines.
    std::vector<std::string> stop(int signal);
    const std::string &output() const { return out_; }

private:
    void readAvailable(int timeoutMs);
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string out_;
};

// ipxd on the segment with these options, started and ready.
std::unique_ptr<Child> StartIpxd(const Segment &segment, const std::vector<std::string> &args);
// Lines of the output that start with prefix.
std::vector<std::string> LinesWith(const std::vector<std::string> &lines, const std::string &prefix);

}  // namespace ipxt
