// Shared helpers of the tests: temporary directories, a loopback UDP
// listener, a child-process runner and network namespaces.  Plain POSIX;
// this file never includes the platform layer.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
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

// The console's networks, in network namespaces made for one test and
// removed on destruction.  The console namespace has `networks` networks
// of its own, 10.81.N.0/24 for N = 1, 2, ... (the console at .1, one PC's
// namespace at .2, reached by a veth pair), its default route on the first.
// With `routed`, the first network's far end is a router: it forwards
// directed broadcasts (bc_forwarding) to a segment behind it, 10.90.1.0/24,
// with a PC at 10.90.1.2, and the console's default route leads to it.  ok() is
// false where namespaces cannot be made here; tests then skip.
class ConsoleNetworks {
public:
    explicit ConsoleNetworks(int networks, bool routed = false);
    ~ConsoleNetworks();
    ConsoleNetworks(const ConsoleNetworks &) = delete;
    ConsoleNetworks &operator=(const ConsoleNetworks &) = delete;
    bool ok() const { return ok_; }
    const std::string &console() const { return console_; }
    // The prefix of RunOptions that runs a program in a namespace.
    std::vector<std::string> execIn(const std::string &ns) const { return {"ip", "netns", "exec", ns}; }
    // The console's address on network n (from 1).
    static std::string ConsoleAddress(int n) { return "10.81." + std::to_string(n) + ".1"; }
    static std::string RoutedBroadcast() { return "10.90.1.255"; }
    // A listener on port 9 of every address of the PC on network n, or of
    // the PC behind the router for n = 0; its socket lives in that PC's
    // namespace.  Null when it cannot be made.
    std::unique_ptr<UdpListener> ListenAtPc(int n) const;

private:
    bool Join(const std::string &a, const std::string &addrA, const std::string &b,
              const std::string &addrB, std::string *devA);

    bool ok_ = false;
    std::string tag_, console_;
    std::vector<std::string> namespaces_, pcs_;  // pcs_[0]: behind the router, or empty
    int links_ = 0;
};

}  // namespace kt
