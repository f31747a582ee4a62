// Shared helpers of the tests: temporary directories, a loopback UDP
// listener, a child-process runner and network namespaces.  Plain POSIX;
// this file never includes the platform layer.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kt {

// A fresh directory, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The process's own environment, on either host.
void SetEnv(const std::string &name, const std::string &value);
void UnsetEnv(const std::string &name);

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
bool Exists(const std::string &path);

struct Datagram {
    std::vector<uint8_t> bytes;
    std::string sourceAddress;
    uint16_t sourcePort = 0;
};

// A UDP socket bound on 127.0.0.1 (port 0 picks a free one).
class UdpListener {
public:
    explicit UdpListener(uint16_t port = 0, const std::string &address = "127.0.0.1");
    ~UdpListener();
    UdpListener(const UdpListener &) = delete;
    UdpListener &operator=(const UdpListener &) = delete;
    uint16_t port() const { return port_; }
    // "127.0.0.1:PORT", the form KOVA_UDP_TARGET takes.
    std::string target() const;
    std::optional<Datagram> receive(std::chrono::milliseconds timeout);
    // Everything that arrives until quiet has lasted for the given time.
    std::vector<Datagram> drain(std::chrono::milliseconds quiet);

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::string address_;
};

struct RunOptions {
    std::string cwd;                             // empty: inherit
    std::map<std::string, std::string> env;      // set (or, with value "\x01", unset)
    std::string input;                           // written to standard input
    std::chrono::milliseconds timeout{60000};    // killed after this
    std::vector<std::string> prefix;             // e.g. {"ip","netns","exec","ns1"}
};

struct RunResult {
    int exitCode = -1;    // -1 when killed by a signal
    int signal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

RunResult Run(const std::vector<std::string> &argv, const RunOptions &options = {});

// The twelve hex digits' frame: six 0xFF and sixteen copies of mac.
std::vector<uint8_t> MagicFrame(const std::vector<uint8_t> &mac);
std::string Hex(const std::vector<uint8_t> &bytes);

// Two network namespaces joined by a veth pair (10.77.N.1 and 10.77.N.2,
// default routes on the veth), removed on destruction.  ok() is false
// where namespaces cannot be made here; tests then skip.
class NetnsPair {
public:
    NetnsPair();
    ~NetnsPair();
    NetnsPair(const NetnsPair &) = delete;
    NetnsPair &operator=(const NetnsPair &) = delete;
    bool ok() const { return ok_; }
    const std::string &sender() const { return a_; }
    const std::string &receiver() const { return b_; }
    std::string receiverAddress() const { return addrB_; }
    std::vector<std::string> execIn(const std::string &ns) const { return {"ip", "netns", "exec", ns}; }

private:
    bool ok_ = false;
    std::string a_, b_, addrA_, addrB_;
};

}  // namespace kt
