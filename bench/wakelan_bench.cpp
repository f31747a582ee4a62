// wakelan over a large address file, mostly ranges, against two floors:
// the engine's own floor, exactly the system calls one UDP wake must make
// per address (socket, SO_BROADCAST, bind 13992, two sendto of 102 bytes,
// close), and a bare sender with one socket and only the two sendto.  All
// send to a loopback listener that drains its socket on its own thread;
// wakelan gets there through KOVA_UDP_TARGET.  Also the peak RSS of wakelan
// for 100,000 and 1,000,000 addresses, the wall time of 100 addresses
// while another program keeps UDP port 13992 (each falls back to IPX on a
// loopback segment), and the wall time until 100 WAKE requests started at
// once have all answered.  Where network namespaces can be made, wakelan
// and the engine's floor again on a console with two networks, sending the
// real broadcast out of each (the floor then is twice the work).
//
//   wakelan_bench [runs]   best of runs (default 3) for the 100,000 timing
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds(const rusage &u)
{
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Counts the datagrams that reach 127.0.0.1:port, or port 9 of every
// address of the namespace it is made in.
class Listener {
public:
    explicit Listener(bool port9 = false)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = 64 << 20;  // as much as the host allows: sends must not wait on us
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(port9 ? INADDR_ANY : INADDR_LOOPBACK);
        local.sin_port = htons(port9 ? 9 : 0);
        socklen_t len = sizeof local;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&local), &len) != 0) {
            perror("bench: bind listener");
            exit(1);
        }
        port_ = ntohs(local.sin_port);
        thread_ = std::thread([this] { Drain(); });
    }
    ~Listener()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }
    long long received() const { return received_; }
    void reset() { received_ = 0; }
    // Waits until the count stops moving, so a run's last frames are in.
    void settle()
    {
        long long before;
        do {
            before = received_;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (received_ != before);
    }

private:
    void Drain()
    {
        char buf[2048];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            while (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0)
                received_++;
        }
    }
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<long long> received_{0};
    std::thread thread_;
};

// An address file of `total` addresses: ranges of 1,000 with a single
// address and a comment after every tenth range.  Returns the addresses
// in file order as six-byte MACs.
std::vector<uint64_t> WriteAddressFile(const std::string &path, long total)
{
    std::vector<uint64_t> macs;
    std::ofstream out(path);
    out << "; benchmark clients\n";
    uint64_t next = 0x02AB00000000ULL;
    for (long ranges = 0; long(macs.size()) < total; ranges++) {
        long span = std::min<long>(1000, total - long(macs.size()));
        if (ranges % 10 == 9) {
            span = 1;
        }
        char line[64];
        if (span == 1) {
            snprintf(line, sizeof line, "%012llX single\n", (unsigned long long)next);
            out << "[floor " << ranges << "]\n";
        } else {
            snprintf(line, sizeof line, "%012llX-%012llX\n", (unsigned long long)next,
                     (unsigned long long)(next + span - 1));
        }
        out << line;
        for (long i = 0; i < span; i++)
            macs.push_back(next++);
        next = (next + 0x100000) & ~0xFFFFFULL;  // keep ranges inside one prefix
    }
    return macs;
}

struct Child {
    double seconds = 0;
    double cpuSeconds = 0;  // user + system
    long maxRssKb = 0;
    int status = -1;
};

struct Request {
    char target[32];  // KOVA_UDP_TARGET; empty: stop
    char file[512];
    char ipx[64];     // KOVA_IPX; empty: no IPX
    char netns[64];   // run in this network namespace, without KOVA_UDP_TARGET
};

// wait4's peak RSS counts the parent's resident memory at the fork, so
// wakelan is started by a launcher forked before the benchmark grows.
class Launcher {
public:
    Launcher()
    {
        if (pipe(requests_) != 0 || pipe(replies_) != 0 || (pid_ = fork()) < 0) {
            perror("bench: launcher");
            exit(1);
        }
        if (pid_ == 0) {
            close(requests_[1]);
            close(replies_[0]);
            Serve();
        }
        close(requests_[0]);
        close(replies_[1]);
    }
    ~Launcher()
    {
        Request stop{};
        if (write(requests_[1], &stop, sizeof stop) != sizeof stop)
            perror("bench: stop launcher");
        waitpid(pid_, nullptr, 0);
    }
    // Another program holding UDP port 13992 makes a run fail; try again.
    Child Run(Listener &listener, const std::string &file)
    {
        std::string target = "127.0.0.1:" + std::to_string(listener.port());
        Child c;
        for (int attempt = 0; attempt < 5; attempt++) {
            listener.reset();
            c = RunOnce(target, file);
            listener.settle();
            if (c.status == 0)
                break;
            fprintf(stderr, "bench: wakelan ended with status %d, again\n", c.status);
            sleep(1);
        }
        return c;
    }

    Child RunOnce(const std::string &target, const std::string &file,
                  const std::string &ipx = {}, const std::string &netns = {})
    {
        Request r{};
        snprintf(r.target, sizeof r.target, "%s", target.c_str());
        snprintf(r.file, sizeof r.file, "%s", file.c_str());
        snprintf(r.ipx, sizeof r.ipx, "%s", ipx.c_str());
        snprintf(r.netns, sizeof r.netns, "%s", netns.c_str());
        Child c;
        if (write(requests_[1], &r, sizeof r) != sizeof r ||
            read(replies_[0], &c, sizeof c) != sizeof c) {
            perror("bench: launcher request");
            exit(1);
        }
        return c;
    }

private:
    [[noreturn]] void Serve()
    {
        Request r;
        while (read(requests_[0], &r, sizeof r) == sizeof r && r.target[0] != '\0') {
            Child c;
            auto start = Clock::now();
            pid_t pid = fork();
            if (pid == 0) {
                int null = open("/dev/null", O_WRONLY);
                dup2(null, 1);
                setenv("KOVA_UDP_TARGET", r.target, 1);
                if (r.ipx[0] != '\0')
                    setenv("KOVA_IPX", r.ipx, 1);
                if (r.netns[0] != '\0') {
                    int ns = open(("/var/run/netns/" + std::string(r.netns)).c_str(), O_RDONLY);
                    if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
                        _exit(126);
                    unsetenv("KOVA_UDP_TARGET");
                }
                execl(WAKELAN_BIN, WAKELAN_BIN, "/d0", "/f", r.file, (char *)nullptr);
                _exit(127);
            }
            rusage usage{};
            int status = 0;
            wait4(pid, &status, 0, &usage);
            c.seconds = std::chrono::duration<double>(Clock::now() - start).count();
            c.maxRssKb = usage.ru_maxrss;
            c.cpuSeconds = CpuSeconds(usage);
            c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            if (write(replies_[1], &c, sizeof c) != sizeof c)
                break;
        }
        _exit(0);
    }
    int requests_[2], replies_[2];
    pid_t pid_ = -1;
};

// One socket, two sendto of 102 bytes per address, nothing else.  Returns
// the wall time; *cpu gets the sending thread's processor time.
double RunBare(const std::vector<uint64_t> &macs, uint16_t port, double *cpu)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    unsigned char frame1[102], frame2[102];
    memset(frame1, 0xFF, 6);
    memset(frame2, 0xFF, 6);
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    auto start = Clock::now();
    for (uint64_t mac : macs) {
        unsigned char b[6];
        for (int i = 0; i < 6; i++)
            b[i] = (unsigned char)(mac >> (40 - 8 * i));
        for (int k = 0; k < 16; k++)
            for (int i = 0; i < 6; i++) {
                frame1[6 + 6 * k + i] = b[i];
                frame2[6 + 6 * k + i] = b[5 - i];
            }
        if (sendto(fd, frame1, sizeof frame1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) !=
                102 ||
            sendto(fd, frame2, sizeof frame2, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) !=
                102) {
            perror("bench: bare sendto");
            exit(1);
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    getrusage(RUSAGE_THREAD, &after);
    *cpu = CpuSeconds(after) - CpuSeconds(before);
    close(fd);
    return seconds;
}

// Per address and per local address (host order; INADDR_ANY for one
// socket on any), the calls of one UDP wake: socket, SO_BROADCAST, bind to
// 13992, two sendto, close.  Returns the wall time.
double RunFloor(const std::vector<uint64_t> &macs, uint32_t destination, uint16_t port,
                const std::vector<uint32_t> &locals = {INADDR_ANY})
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(destination);
    to.sin_port = htons(port);
    unsigned char frame1[102], frame2[102];
    memset(frame1, 0xFF, 6);
    memset(frame2, 0xFF, 6);
    auto start = Clock::now();
    for (uint64_t mac : macs) {
        for (int k = 0; k < 16; k++)
            for (int i = 0; i < 6; i++) {
                frame1[6 + 6 * k + i] = (unsigned char)(mac >> (40 - 8 * i));
                frame2[6 + 6 * k + i] = (unsigned char)(mac >> (8 * i));
            }
        for (uint32_t address : locals) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(address);
            local.sin_port = htons(13992);
            int on = 1;
            int fd = socket(AF_INET, SOCK_DGRAM, 0);
            if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
                bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
                sendto(fd, frame1, sizeof frame1, 0, reinterpret_cast<sockaddr *>(&to),
                       sizeof to) != 102 ||
                sendto(fd, frame2, sizeof frame2, 0, reinterpret_cast<sockaddr *>(&to),
                       sizeof to) != 102) {
                perror("bench: floor wake");
                exit(1);
            }
            close(fd);
        }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool Sh(const std::string &command)
{
    return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs f with the calling thread in the named network namespace (sockets
// made there stay in it); false when the namespace cannot be entered.
template <typename F> bool InNamespace(const std::string &name, F f)
{
    bool entered = false;
    std::thread([&] {
        int fd = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            close(fd);
        if (entered)
            f();
    }).join();
    return entered;
}

// A console namespace on two networks, 10.81.1.0/24 and 10.81.2.0/24 (the
// console at .1), whose other ends (.2) are both in one LAN namespace;
// removed on destruction.  The real broadcast stays inside them.
class TwoNetworks {
public:
    TwoNetworks()
        : console_("kovabenchC" + std::to_string(getpid())), lan_("kovabenchL" + std::to_string(getpid()))
    {
        ok_ = Sh("ip netns add " + console_) && Sh("ip netns add " + lan_) &&
              Sh("ip -n " + console_ + " link set lo up");
        for (int n = 1; ok_ && n <= 2; n++) {
            std::string a = "kvb" + std::to_string(n) + "a", b = "kvb" + std::to_string(n) + "b";
            std::string net = "10.81." + std::to_string(n) + ".";
            ok_ = Sh("ip link add " + a + " netns " + console_ + " type veth peer name " + b +
                     " netns " + lan_) &&
                  Sh("ip -n " + console_ + " addr add " + net + "1/24 dev " + a) &&
                  Sh("ip -n " + lan_ + " addr add " + net + "2/24 dev " + b) &&
                  Sh("ip -n " + console_ + " link set " + a + " up") &&
                  Sh("ip -n " + lan_ + " link set " + b + " up");
        }
        ok_ = ok_ && Sh("ip -n " + console_ + " route add default dev kvb1a");
    }
    ~TwoNetworks()
    {
        Sh("ip netns del " + console_);
        Sh("ip netns del " + lan_);
    }
    TwoNetworks(const TwoNetworks &) = delete;
    TwoNetworks &operator=(const TwoNetworks &) = delete;
    bool ok() const { return ok_; }
    const std::string &console() const { return console_; }
    const std::string &lan() const { return lan_; }

private:
    std::string console_, lan_;
    bool ok_ = false;
};

struct TwoNetworkFigures {
    bool measured = false;
    double wakelan = 1e9, floor = 1e9;  // best wall times
    long long received = 0;             // frames at the LAN, most of a run
};

// wakelan over the address file in the console namespace, to the real
// broadcast, against the floor's calls from both of its addresses.
TwoNetworkFigures RunTwoNetworks(Launcher &launcher, const std::string &file,
                                 const std::vector<uint64_t> &macs, int runs)
{
    TwoNetworkFigures f;
    TwoNetworks net;
    std::unique_ptr<Listener> lan;
    if (!net.ok() || !InNamespace(net.lan(), [&] { lan = std::make_unique<Listener>(true); }))
        return f;
    for (int r = 0; r < runs; r++) {
        lan->reset();
        Child c = launcher.RunOnce("-", file, {}, net.console());
        lan->settle();
        if (c.status != 0) {
            fprintf(stderr, "bench: wakelan on two networks ended with status %d\n", c.status);
            return f;
        }
        f.wakelan = std::min(f.wakelan, c.seconds);
        f.received = std::max(f.received, lan->received());
        InNamespace(net.console(), [&] {
            f.floor = std::min(f.floor, RunFloor(macs, INADDR_BROADCAST, 9,
                                                 {0x0A510101u, 0x0A510201u}));
        });
        lan->settle();
    }
    f.measured = true;
    return f;
}

// A UDP socket bound to port on any address, or -1; shared (SO_REUSEADDR
// after the bind) when asked, as the layer's IPX sockets join a segment.
int BoundUdp(uint16_t port, bool share, uint16_t *bound)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    socklen_t len = sizeof local;
    int on = 1;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) != 0 ||
        (share && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)) {
        perror("bench: bind UDP port");
        exit(1);
    }
    *bound = ntohs(local.sin_port);
    return fd;
}

// wakelan over 100 addresses while UDP port 13992 is kept by this process
// for the whole run: each address falls back to IPX on a segment of our
// own on loopback.
Child RunWithPortKept(Launcher &launcher, const std::string &dir, uint16_t udpPort)
{
    uint16_t segmentPort = 0, kept = 0;
    int segment = BoundUdp(0, true, &segmentPort);
    int holder = BoundUdp(13992, false, &kept);
    WriteAddressFile(dir + "/kept.ini", 100);
    Child c = launcher.RunOnce("127.0.0.1:" + std::to_string(udpPort), dir + "/kept.ini",
                               "0000ABCD@127.255.255.255:" + std::to_string(segmentPort));
    close(holder);
    close(segment);
    return c;
}

// Starts `count` kova32ex WAKE requests at once, each in a working
// directory of its own, and waits until all have ended.  Returns the wall
// time; *succeeded gets the number that answered WAKE-SUCCESS.
double RunConcurrentWakes(const std::string &dir, int count, uint16_t port, int *succeeded)
{
    std::string target = "127.0.0.1:" + std::to_string(port);
    std::vector<std::string> dirs;
    for (int i = 0; i < count; i++) {
        dirs.push_back(dir + "/wake" + std::to_string(i));
        std::filesystem::create_directory(dirs.back());
    }
    std::vector<pid_t> pids;
    auto start = Clock::now();
    for (int i = 0; i < count; i++) {
        char line[32];
        snprintf(line, sizeof line, "WAKE 02CD%08X", unsigned(i));
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dirs[size_t(i)].c_str()) != 0)
                _exit(127);
            setenv("KOVA_UDP_TARGET", target.c_str(), 1);
            execl(KOVA32EX_BIN, KOVA32EX_BIN, line, (char *)nullptr);
            _exit(127);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids)
        waitpid(pid, nullptr, 0);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    *succeeded = 0;
    for (const auto &d : dirs) {
        std::ifstream in(d + "/KOVA.TMP");
        std::string answer;
        std::getline(in, answer);
        *succeeded += answer == "WAKE-SUCCESS\r";
    }
    return seconds;
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    Launcher launcher;  // first, while this process is small
    std::string dir = (std::filesystem::temp_directory_path() / "wlbench.XXXXXX").string();
    if (!mkdtemp(dir.data())) {
        perror("bench: temporary directory");
        return 1;
    }
    Listener listener;

    const long small = 100000, large = 1000000;
    std::vector<uint64_t> macs = WriteAddressFile(dir + "/small.ini", small);
    double wakelanBest = 1e9, bareBest = 1e9, floorBest = 1e9, wakelanCpu = 1e9, bareCpu = 1e9;
    long rssSmall = 0;
    long long framesLost = 0;
    for (int r = 0; r < runs; r++) {
        Child c = launcher.Run(listener, dir + "/small.ini");
        if (c.status != 0) {
            fprintf(stderr, "bench: wakelan ended with status %d\n", c.status);
            return 1;
        }
        framesLost = std::max(framesLost, 2 * small - listener.received());
        wakelanBest = std::min(wakelanBest, c.seconds);
        wakelanCpu = std::min(wakelanCpu, c.cpuSeconds);
        rssSmall = std::max(rssSmall, c.maxRssKb);
        double cpu = 0;
        bareBest = std::min(bareBest, RunBare(macs, listener.port(), &cpu));
        bareCpu = std::min(bareCpu, cpu);
        listener.settle();
        floorBest = std::min(floorBest, RunFloor(macs, INADDR_LOOPBACK, listener.port()));
        listener.settle();
    }
    TwoNetworkFigures two = RunTwoNetworks(launcher, dir + "/small.ini", macs, runs);
    WriteAddressFile(dir + "/large.ini", large);
    Child big = launcher.Run(listener, dir + "/large.ini");
    listener.settle();
    Child kept = RunWithPortKept(launcher, dir, listener.port());
    listener.reset();
    int woken = 0;
    double hundred = RunConcurrentWakes(dir, 100, listener.port(), &woken);
    listener.settle();
    std::filesystem::remove_all(dir);

    printf("wakelan_100k_addresses_per_s: %.0f addresses/s\n", small / wakelanBest);
    printf("bare_sender_100k_addresses_per_s: %.0f addresses/s\n", small / bareBest);
    printf("wakelan_to_bare_ratio: %.2f\n", bareBest / wakelanBest);
    printf("engine_floor_100k_addresses_per_s: %.0f addresses/s\n", small / floorBest);
    printf("wakelan_to_engine_floor_ratio: %.2f\n", floorBest / wakelanBest);
    // Processor time per address: steadier than wall time on a busy host.
    printf("wakelan_cpu_per_address: %.2f us\n", wakelanCpu / small * 1e6);
    printf("bare_sender_cpu_per_address: %.2f us\n", bareCpu / small * 1e6);
    printf("wakelan_to_bare_cpu_ratio: %.2f\n", bareCpu / wakelanCpu);
    printf("wakelan_100k_frames_lost: %lld frames\n", framesLost);
    printf("wakelan_100k_peak_rss: %ld KiB\n", rssSmall);
    printf("wakelan_1m_peak_rss: %ld KiB\n", big.maxRssKb);
    printf("wakelan_1m_addresses_per_s: %.0f addresses/s\n", large / big.seconds);
    printf("wakelan_100_port_kept_wall: %.0f ms (status %d)\n", kept.seconds * 1e3, kept.status);
    printf("hundred_concurrent_wakes_wall: %.0f ms\n", hundred * 1e3);
    printf("hundred_concurrent_wakes_succeeded: %d of 100\n", woken);
    printf("hundred_concurrent_wakes_frames: %lld of 200\n", listener.received());
    if (two.measured) {
        printf("wakelan_two_networks_100k_addresses_per_s: %.0f addresses/s\n",
               small / two.wakelan);
        printf("engine_floor_two_networks_100k_addresses_per_s: %.0f addresses/s\n",
               small / two.floor);
        printf("wakelan_to_engine_floor_two_networks_ratio: %.2f\n", two.floor / two.wakelan);
        printf("wakelan_two_networks_100k_frames: %lld of %ld\n", two.received, 4 * small);
    } else {
        printf("wakelan_two_networks: not measured (no network namespaces here)\n");
    }
    return big.status == 0 && kept.status == 0 && woken == 100 ? 0 : 1;
}
