// wakelan run as a process: what it writes, its exit status, and the MAC of
// every frame that reaches a loopback listener through KOVA_UDP_TARGET.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

using namespace std::chrono_literals;

namespace {

const std::string kBin = WAKELAN_BIN;
const std::string kDir = kBin.substr(0, kBin.rfind('/'));

std::string Banner(const std::string &name = "WAKELAN")
{
    return name + "  --  Wake-on-LAN tool for 32-bit Windows.\n\n";
}

const std::string kUsage =
    "Usages:\n"
    " WAKELAN [/d delay] address1 [address2 [...]]\n"
    " WAKELAN [/d delay] /f filename\n"
    "\n"
    "   address1, address2, ...     12 digit MAC addresses\n"
    "   delay                       delay between packets in miliseconds\n"
    "                               default delay is 1 ms.\n"
    "   filename                    INI file containing MAC addresses\n"
    "\n";
const std::string kNoBroadcast = " is not four numbers 0 to 255 joined by dots.\n";
const std::string kCannotSend =
    "Cannot send any packets.  Make sure either TCP/IP or IPX is configured.\n";

// The MAC of a magic frame as twelve hex digits, or what was wrong with it.
std::string FrameMac(const kt::Datagram &d)
{
    if (d.bytes.size() != 102)
        return "size " + std::to_string(d.bytes.size());
    std::vector<uint8_t> mac(d.bytes.begin() + 6, d.bytes.begin() + 12);
    return d.bytes == kt::MagicFrame(mac) ? kt::Hex(mac) : "bad frame " + kt::Hex(d.bytes);
}

// The frames a run must send: per address the MAC, then byte-reversed.
std::vector<std::string> Frames(const std::vector<std::string> &macs)
{
    std::vector<std::string> frames;
    for (const auto &mac : macs) {
        std::string reversed;
        for (size_t i = mac.size(); i >= 2; i -= 2)
            reversed += mac.substr(i - 2, 2);
        frames.push_back(mac);
        frames.push_back(reversed);
    }
    return frames;
}

struct Outcome {
    int exit = -1;
    std::string out;
    std::vector<std::string> sent;
};

// Runs "wakelan ARGS" (argv[0] as given, found on PATH) in cwd, collecting
// the frames while it runs so that the listener's buffer never overflows.
Outcome Wakelan(std::vector<std::string> args, const std::string &cwd = {},
                std::map<std::string, std::string> env = {}, std::string argv0 = "wakelan")
{
    kt::UdpListener listener;
    kt::RunOptions options;
    options.cwd = cwd;
    options.env = {{"KOVA_UDP_TARGET", listener.target()}, {"PATH", kDir}};
    for (const auto &[name, value] : env)
        options.env[name] = value;
    args.insert(args.begin(), argv0);
    auto run = std::async(std::launch::async, [&] { return kt::Run(args, options); });
    Outcome o;
    while (run.wait_for(0s) != std::future_status::ready)
        if (auto d = listener.receive(20ms))
            o.sent.push_back(FrameMac(*d));
    for (const auto &d : listener.drain(50ms))
        o.sent.push_back(FrameMac(d));
    kt::RunResult r = run.get();
    o.exit = r.exitCode;
    o.out = r.out;
    return o;
}

const std::string A = "00A0C9123456", B = "0A0B0C0D0E0F";

struct ArgCase {
    std::vector<std::string> args;
    int exit;
    std::string out;  // after the banner
    std::vector<std::string> sent;
};

TEST(WakelanArguments, WakeInTheirOrderAndEachFaultGetsItsExitCodeAndMessage)
{
    const std::string longName(256, 'n');
    const std::vector<ArgCase> cases = {
        {{}, 1, kUsage, {}},
        {{"/?"}, 0, kUsage, {}},
        {{A, B, "/?", "/x"}, 0, kUsage, {A, B}},
        {{"/x"}, 2, "Unsupported option: /x\n\n" + kUsage, {}},
        {{A, "/", B}, 2, "Unsupported option: /\n\n" + kUsage, {A}},
        {{"/d0", A, "/D", "0", B, "/d", " 0ms", A, "/dx", B}, 0, "", {A, B, A, B}},
        // A typo is named and ends the run, with a status of its own.
        {{"-d", A}, 12, "-d is not a valid MAC address.\n" + kCannotSend, {}},
        {{"-h"}, 12, "-h is not a valid MAC address.\n" + kCannotSend, {}},
        {{A, "nonsense", B, "/fmissing.txt"}, 12,
         "nonsense is not a valid MAC address.\n" + kCannotSend, {A}},
        {{"02AB0C000000-02AB0C000002"}, 0, "", {"02AB0C000000"}},
        {{A, "/d"}, 3, "Option /d needs a value.\n\n" + kUsage, {A}},
        {{"/F"}, 3, "Option /F needs a value.\n\n" + kUsage, {}},
        {{A, "/d-1", B}, 4, "Delay -1 is out of range: 0 to 2147483647 milliseconds.\n", {A}},
        {{A, "/d-2147483648", B}, 4,
         "Delay -2147483648 is out of range: 0 to 2147483647 milliseconds.\n", {A}},
        {{"/d", "2147483648", A}, 4,
         "Delay 2147483648 is out of range: 0 to 2147483647 milliseconds.\n", {}},
        {{"/d-0", A, "/f" + longName, B}, 5,
         "File name " + longName + " is longer than 255 characters.\n", {A}},
        {{A, "/fmissing.txt", "/d0", B}, 8, "Cannot find file missing.txt.\n", {A, B}},
        // A directed broadcast for the addresses after it (KOVA_UDP_TARGET
        // still wins, so these frames stay here); no address, nothing more.
        {{"/b", "10.1.2.255", A, "/B010.1.2.255", B}, 0, "", {A, B}},
        {{A, "/b"}, 3, "Option /b needs a value.\n\n" + kUsage, {A}},
        {{A, "/b10.1.2", B}, 6, "Broadcast address 10.1.2" + kNoBroadcast, {A}},
        {{"/b", "10.1.2.256", A}, 6, "Broadcast address 10.1.2.256" + kNoBroadcast, {}},
        {{"/b1.2.3.4x", A}, 6, "Broadcast address 1.2.3.4x" + kNoBroadcast, {}},
        {{"/b", "", A}, 6, "Broadcast address " + kNoBroadcast, {}},
    };
    for (const auto &c : cases) {
        std::string shown;
        for (const auto &a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        Outcome o = Wakelan(c.args);
        EXPECT_EQ(o.exit, c.exit);
        EXPECT_EQ(o.out, Banner() + c.out);
        EXPECT_EQ(o.sent, Frames(c.sent));
    }
}

// wakelan prints why itself: the engine it shares with kova32ex writes
// nothing to the debugging channel there, a wake or a failure alike.
TEST(WakelanArguments, NothingGoesToTheDebuggingChannel)
{
    kt::TempDir dir;
    EXPECT_EQ(Wakelan({A}, {}, {{"KOVA_DEBUG_LOG", dir / "debug"}}).exit, 0);
    EXPECT_EQ(Wakelan({A}, {}, {{"KOVA_DEBUG_LOG", dir / "debug"}, {"KOVA_FAIL", "bind"}}).exit,
              7);
    EXPECT_FALSE(kt::Exists(dir / "debug"));
}

TEST(WakelanArguments, ProgramNameComesFromArgvZero)
{
    kt::TempDir dir;
    std::string deep = dir.path();
    for (int i = 0; i < 30; i++)
        deep += "/directory";
    const struct {
        std::string argv0, banner;
    } cases[] = {
        {"D:\\TOOLS\\wakelan.exe", Banner("WAKELAN.EXE")},
        {"wl.v2\\", Banner("")},
        {std::string(63, 'w'), Banner(std::string(63, 'W'))},
        // Only shown: a longer name is cut, and the run goes on.
        {std::string(70, 'w'), Banner(std::string(63, 'W'))},
        // A Linux path is handed over with backslashes, whatever its depth.
        {deep + "/wakelan", Banner("WAKELAN")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv0);
        std::string link = c.argv0[0] == '/' ? c.argv0 : dir / c.argv0;
        std::filesystem::create_directories(link.substr(0, link.rfind('/')));
        ASSERT_EQ(symlink(WAKELAN_BIN, link.c_str()), 0);
        Outcome o = Wakelan({"/?"}, {}, {{"PATH", dir.path()}}, c.argv0);
        EXPECT_EQ(o.exit, 0);
        EXPECT_EQ(o.out.substr(0, c.banner.size()), c.banner);
    }
}

struct FileCase {
    std::string name, content;  // content: list.ini
    std::string out;            // after the banner
    std::vector<std::string> sent;
    int exit = 0;
    std::string fail = {};  // KOVA_FAIL
    std::vector<std::string> args = {"/d0", "/f", "list.ini"};
};

// What a run over list.ini writes after the banner.
std::string Using(const std::string &rest)
{
    return "Using file list.ini.\nCalculating...\n" + rest;
}

std::string Sending(long long clients, long long sent)
{
    return "Sending Wake-on-LAN packets for " + std::to_string(clients) + " clients...\nSent " +
           std::to_string(sent) + " packets.\nDone.\n";
}

TEST(WakelanFile, LinesAndRangesWakeTheirCardsAndWhatIsSkippedIsReported)
{
    const std::string tooLarge = " is too large.  This range will be ignored\n";
    const std::string noSockets = "Cannot initialize Windows Sockets.\n";
    std::string lines250, widest;
    std::vector<std::string> macs250;
    for (int i = 0; i < 250; i++) {
        char mac[16];
        snprintf(mac, sizeof mac, "02AB0C%06X", i);
        lines250 += mac + std::string("\n");
        macs250.push_back(mac);
    }
    for (char p = '0'; p < '9'; p++)
        widest += std::string(5, p) + "0000000-" + std::string(5, p) + "FFFFFFF\n";
    const std::vector<FileCase> cases = {
        {"singles and other lines",
         "[clients]\n; 00A0C9123456\n 00A0C9123456\n\t00A0C9123456\nG0A0C9123456\n\n" + A +
             " office pc\n" + B,
         Using(Sending(2, 2)), {A, B}},
        {"ranges across the counter",
         "02AB0CFFFFFE-02AB0D000001 four\n02ab0c000000-02ab0c000002\n020000000007-020000000007\n",
         Using(Sending(8, 8)),
         {"02AB0CFFFFFE", "02AB0CFFFFFF", "02AB0D000000", "02AB0D000001", "02AB0C000000",
          "02AB0C000001", "02AB0C000002", "020000000007"}},
        {"ranges too large, malformed or reversed",
         "02AB0C000000-02AB1C000000\n02ab0c000000-02AB0C000002\n02AB0C000000-02AB0C0000021\n"
         "02AB0C000000-02AB0C00G002\n02AB0C000000-02AB0C00002\n02AB0C000002-02AB0C000001\n",
         Using("Range 02AB0C000000-02AB1C000000" + tooLarge + "Range 02ab0c000000-02AB0C000002" +
               tooLarge + "Range 02AB0C000000-02AB0C000002" + tooLarge +
               "Line 4: 02AB0C00G002 is not a valid MAC address.\nLine 5: 02AB0C00002 is not a "
               "valid MAC address.\n" + Sending(0, 0)),
         {}, 12},
        {"CR LF lines", "00A0C9\r\n02AB0C000001-02AB0C000002\r\n" + A + "\r\n",
         Using("Line 1: 00A0C9 is not a valid MAC address.\n" + Sending(3, 3)),
         {"02AB0C000001", "02AB0C000002", A}, 12},
        {"typos skipped, the rest sent",
         "[pcs]\n; 1 comment\n00A0C91234 desk\n" + A + "\n0ZZZZ0000000-0ZZZZ0000001\n" + B +
             "\n02AB0C000000-02AB0C00000G\n",
         Using("Line 3: 00A0C91234 is not a valid MAC address.\nLine 5: 0ZZZZ0000000 is not a "
               "valid MAC address.\nLine 7: 02AB0C00000G is not a valid MAC address.\n" +
               Sending(2, 2)),
         {A, B}, 12},
        {"separated MACs", "00-A0-C9-12-34-56\n0a:0b:0c:0d:0e:0f desk\n", Using(Sending(2, 2)),
         {A, B}},
        {"over-long lines", ";" + std::string(254, 'x') + A + "\n" + B + std::string(300, 'y'),
         Using(Sending(1, 1)), {B}},
        {"progress every 100", lines250,
         Using("Sending Wake-on-LAN packets for 250 clients...\nSent 100 packets.\rSent 200 "
               "packets.\rSent 250 packets.\nDone.\n"),
         macs250, 0, "", {"/d1", "/flist.ini"}},  // paced: 500 frames overrun the listener
        // Nine widest ranges; the first send fails, so nothing goes out.
        {"counts beyond 32 bits", widest,
         Using("Sending Wake-on-LAN packets for 2415919104 clients...\n" + kCannotSend), {}, 10,
         "bind"},
        {"command line first, last file only", B, Using(Sending(1, 1)), {"020000000001", B}, 0, "",
         {"/f", "one.ini", "020000000001", "/d0", "/flist.ini"}},
        {"missing file", "", "Cannot find file none.ini.\n", {}, 8, "", {"/fnone.ini"}},
        {"directory", "", "Cannot find file folder.\n", {}, 8, "", {"/ffolder"}},
        // Read twice, so only a file on disk: never a device or a pipe.
        {"device", "", "Cannot read file /dev/zero.\n", {}, 9, "", {"/f/dev/zero"}},
        {"FIFO kept open", "", "Cannot read file held.\n", {}, 9, "", {"/fheld"}},
        {"FIFO without writer", "", "Cannot read file lonely.\n", {}, 9, "", {"/flonely"}},
        {"engine fails for the file", A,
         Using("Sending Wake-on-LAN packets for 1 clients...\n" + noSockets + noSockets +
               kCannotSend),
         {}, 10, "WSAStartup"},
        {"engine fails for the command line", A, noSockets + noSockets + kCannotSend, {}, 7,
         "WSAStartup", {A, "/flist.ini"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::TempDir dir;
        kt::WriteFile(dir / "list.ini", c.content);
        kt::WriteFile(dir / "one.ini", A + "\n");
        ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
        ASSERT_EQ(mkfifo((dir / "held").c_str(), 0600), 0);
        ASSERT_EQ(mkfifo((dir / "lonely").c_str(), 0600), 0);
        int writer = open((dir / "held").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        std::map<std::string, std::string> env;
        if (!c.fail.empty())
            env["KOVA_FAIL"] = c.fail;
        Outcome o = Wakelan(c.args, dir.path(), env);
        close(writer);
        EXPECT_EQ(o.exit, c.exit);
        EXPECT_EQ(o.out, Banner() + c.out);
        EXPECT_EQ(o.sent, Frames(c.sent));
    }
}

const std::string kKovacon = std::string(KOVA_TOOLS_DIR) + "/kovacon/kovacon";

// One WAKE request through the console driver: its answer and the MACs of
// the frames that reached the listener.
std::pair<std::string, std::vector<std::string>> Kova32exWake(
    const std::string &mac, const std::optional<std::string> &target = {})
{
    kt::UdpListener listener;
    kt::RunOptions options;
    options.env = {{"KOVA_UDP_TARGET", target.value_or(listener.target())}};
    kt::RunResult r = kt::Run({kKovacon, "WAKE " + mac}, options);
    std::vector<std::string> sent;
    for (const auto &d : listener.drain(100ms))
        sent.push_back(FrameMac(d));
    return {r.out, sent};
}

// The same text names the same card, or none, in a WAKE request and on a
// file line.
TEST(WakeRule, TextNamesTheSameCardOrNoneInKova32exAndFileLine)
{
    const struct {
        std::string text, mac;  // mac empty: names no card
    } cases[] = {
        {"00-A0-C9-12-34-56", A},
        {"00:a0:c9:12:34:56\t", A},  // a tab is part of the WAKE word
        {"00-A0-C9-12-34-56;pc", A},
        {A + "7", A},
        {A + ";desk", A},
        // No six-group address, nor twelve digits first.
        {"00-A0-C9-12-34-567", ""},
        {"00-A0-C9-12-34-56-78", ""},
        {"00:A0:C9:12:34:56:", ""},
        {"00-A0:C9-12-34-56", ""},
        {"1", ""},
        {"0G", ""},
        {"00A0C9-123456", ""},
        {"0ZZZZZZZZZZZ", ""},
        {"00A0C91234", ""},
        {"00A0C912345", ""},
        {"00A0C9 123456", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        auto [answer, sent] = Kova32exWake(c.text);
        EXPECT_EQ(answer, c.mac.empty() ? "WAKE-FAILURE\r\n" : "WAKE-SUCCESS\r\n");
        EXPECT_EQ(sent, c.mac.empty() ? Frames({}) : Frames({c.mac}));
        kt::TempDir dir;
        kt::WriteFile(dir / "list.ini", c.text + "\n");
        Outcome o = Wakelan({"/d0", "/flist.ini"}, dir.path());
        EXPECT_EQ(o.sent, c.mac.empty() ? Frames({}) : Frames({c.mac}));
        EXPECT_EQ(o.exit, c.mac.empty() ? 12 : 0);
        const std::string report =
            "Line 1: " + c.text.substr(0, c.text.find(' ')) + " is not a valid MAC address.\n";
        EXPECT_EQ(o.out.find(report) != std::string::npos, c.mac.empty()) << o.out;
    }
}

// A test target that is not A.B.C.D:PORT never becomes the real broadcast,
// nor another address: nothing is sent and both programs report failure.
TEST(UdpTarget, AnythingButAddressAndPortSendsNothing)
{
    kt::UdpListener listener;
    const std::string port = std::to_string(listener.port());
    const std::string values[] = {
        "junk", "127.0.0.1", "localhost:" + port, "127.1:" + port, "127.0.0.1:0",
        "127.0.0.1:70000", "127.0.0.1:" + std::to_string(listener.port() + 65536),
        "127.0.0.256:" + port, "127.0.0.1:" + port + "x", " 127.0.0.1:" + port, "",
    };
    for (const auto &value : values) {
        SCOPED_TRACE("KOVA_UDP_TARGET=" + value);
        EXPECT_EQ(Kova32exWake(A, value).first, "WAKE-FAILURE\r\n");
        Outcome o = Wakelan({A}, {}, {{"KOVA_UDP_TARGET", value}});
        EXPECT_EQ(o.exit, 7);
        EXPECT_EQ(o.out, Banner() + kCannotSend);
        EXPECT_TRUE(listener.drain(50ms).empty());
    }
}

// Standard output a pipe nobody reads, a full disk or closed: every address
// is still sent, and the lost text is told by the exit status.
TEST(WakelanOutput, LostConsoleCostsOnlyTheText)
{
    kt::TempDir dir;
    kt::WriteFile(dir / "list.ini", "02AB0C000000-02AB0C0000C8\n");  // 201: two progress flushes
    std::vector<std::string> all;
    for (int i = 0; i <= 200; i++) {
        char mac[16];
        snprintf(mac, sizeof mac, "02AB0C%06X", i);
        all.push_back(mac);
    }
    for (const char *kind : {"closed pipe", "/dev/full", "closed"}) {
        SCOPED_TRACE(kind);
        kt::UdpListener listener;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipeEnds[2] = {-1, -1};
        if (std::string(kind) == "closed pipe") {
            ASSERT_EQ(pipe(pipeEnds), 0);
            close(pipeEnds[0]);
            posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
        } else if (std::string(kind) == "/dev/full") {
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
        } else {
            posix_spawn_file_actions_addclose(&actions, 1);
        }
        // Started as a shell would start it: SIGPIPE at its default.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
        const std::string file = dir / "list.ini", target = "KOVA_UDP_TARGET=" + listener.target();
        char *argv[] = {const_cast<char *>(kBin.c_str()), const_cast<char *>("/d1"),
                        const_cast<char *>("/f"), const_cast<char *>(file.c_str()), nullptr};
        char *envp[] = {const_cast<char *>(target.c_str()), nullptr};
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, kBin.c_str(), &actions, &attr, argv, envp), 0);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (pipeEnds[1] >= 0)
            close(pipeEnds[1]);
        std::vector<std::string> sent;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0)
            if (auto d = listener.receive(20ms))
                sent.push_back(FrameMac(*d));
        for (const auto &d : listener.drain(50ms))
            sent.push_back(FrameMac(d));
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 11);
        EXPECT_EQ(sent, Frames(all));
    }
}

// Real broadcast, without KOVA_UDP_TARGET, in namespaces made for the test:
// from a console on two networks every address reaches the PC on each,
// from the console's address there; and /b sends the addresses after it to
// a directed broadcast, the file's to the last one given: the console's
// second network, and the segment behind the router on its first.
TEST(WakelanBroadcast, ReachesEveryNetworkAndTheSegmentsNamed)
{
    const struct {
        const char *name;
        bool routed;
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        std::vector<std::vector<std::string>> heard;  // frames by PC: behind the router, 1, 2
        std::string out;                              // after the banner
    } cases[] = {
        {"two networks", false, {"/d0", A, B}, {}, {{}, Frames({A, B}), Frames({A, B})}, ""},
        // The first frame of A and the second of B do not leave by network
        // 1: named once, and the run goes on.
        {"a network misses frames", false, {"/d0", A, B}, {{"KOVA_FAIL", "sendto#1,sendto#5"}},
         {{}, {B}, Frames({A, B})}, "Cannot send from 10.81.1.1.\n"},
        {"routed", true, {"/d0", "/b", "10.81.2.255", A, "/b10.90.1.255", "/flist.ini"}, {},
         {Frames({B}), {}, Frames({A})},
         "Using file list.ini.\nCalculating...\nSending Wake-on-LAN packets for 1 clients...\n"
         "Sent 1 packets.\nDone.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::ConsoleNetworks net(2, c.routed);
        if (!net.ok())
            GTEST_SKIP() << "network namespaces cannot be made here";
        std::vector<std::unique_ptr<kt::UdpListener>> pcs;
        for (size_t n = 0; n < c.heard.size(); n++)
            pcs.push_back(net.ListenAtPc(int(n)));
        kt::TempDir dir;
        kt::WriteFile(dir / "list.ini", B + "\n");
        kt::RunOptions options;
        options.cwd = dir.path();
        options.prefix = net.execIn(net.console());
        options.env = c.env;
        options.env["KOVA_UDP_TARGET"] = "\x01";
        std::vector<std::string> argv = c.args;
        argv.insert(argv.begin(), kBin);
        kt::RunResult r = kt::Run(argv, options);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, Banner() + c.out);
        for (size_t n = 0; n < c.heard.size(); n++) {
            SCOPED_TRACE("PC " + std::to_string(n));
            std::vector<std::string> sent;
            if (pcs[n]) {
                for (const auto &d : pcs[n]->drain(300ms)) {
                    EXPECT_EQ(d.sourcePort, 13992);
                    EXPECT_EQ(d.sourceAddress, kt::ConsoleNetworks::ConsoleAddress(n < 2 ? 1 : 2));
                    sent.push_back(FrameMac(d));
                }
            }
            EXPECT_EQ(sent, c.heard[n]);
        }
    }
}

}  // namespace
