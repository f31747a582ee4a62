// The Windows builds of the programs, run under Wine: the same answers,
// files and frames as the Linux build, and the text-mode bytes that only the
// Windows runtime writes.  Every case runs against the 32-bit product build
// and the 64-bit build.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <future>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "testutil.h"
#include "winerun.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using kt::BuildOf;
using kt::kUnset;
using kt::RunWine;
using kt::WhyNot;
using kt::WindowsBuild;

// Runs argv with KOVA_UDP_TARGET on a fresh listener, taking the frames
// while it runs so that a long run cannot overflow the listener's buffer.
std::pair<kt::RunResult, std::vector<kt::Datagram>> RunReceiving(const std::vector<std::string> &argv,
                                                                 kt::RunOptions options)
{
    kt::UdpListener listener;
    options.env["KOVA_UDP_TARGET"] = listener.target();
    auto run = std::async(std::launch::async, [&] { return kt::Run(argv, options); });
    std::vector<kt::Datagram> frames;
    while (run.wait_for(0s) != std::future_status::ready)
        if (auto d = listener.receive(20ms))
            frames.push_back(std::move(*d));
    for (auto &d : listener.drain(200ms))
        frames.push_back(std::move(d));
    return {run.get(), frames};
}

// The frames per address: the MAC, then the MAC byte-reversed.
std::vector<std::vector<uint8_t>> WakeFrames(const std::vector<std::string> &macs)
{
    std::vector<std::vector<uint8_t>> frames;
    for (const auto &mac : macs) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < 12; i += 2)
            bytes.push_back(uint8_t(std::stoi(mac.substr(i, 2), nullptr, 16)));
        frames.push_back(kt::MagicFrame(bytes));
        frames.push_back(kt::MagicFrame({bytes.rbegin(), bytes.rend()}));
    }
    return frames;
}

class Wine : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        build_ = BuildOf(GetParam());
        std::string why = WhyNot(build_);
        if (!why.empty())
            GTEST_SKIP() << why;
    }

    WindowsBuild build_;
};

INSTANTIATE_TEST_SUITE_P(Builds, Wine, ::testing::Values("windows", "windows-x64"),
                         [](const auto &info) { return info.param == "windows" ? "i686" : "x86_64"; });

TEST_P(Wine, Kova32exWakesOverUdpWithoutIpx)
{
    kt::TempDir dir;
    kt::UdpListener listener;
    // Wine builds the Windows command line from the words, joined by spaces.
    auto run = RunWine(build_.kova, {"WAKE", "00A0C9123456"}, dir.path(),
                       {{"KOVA_UDP_TARGET", listener.target()}});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(kt::ReadFile(dir / "KOVA.TMP"), "WAKE-SUCCESS\r\n");
    EXPECT_FALSE(kt::Exists(dir / "KOVABUSY"));
    auto frames = listener.drain(std::chrono::milliseconds(500));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, kt::MagicFrame({0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}));
    EXPECT_EQ(frames[1].bytes, kt::MagicFrame({0x56, 0x34, 0x12, 0xC9, 0xA0, 0x00}));
    EXPECT_EQ(frames[0].sourcePort, 13992);
}

TEST_P(Wine, Kova32exAnswersAnUnknownCommandWithAnEmptyFile)
{
    kt::TempDir dir;
    auto run = RunWine(build_.kova, {"HELLO"}, dir.path());
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_TRUE(kt::Exists(dir / "KOVA.TMP"));
    EXPECT_EQ(kt::ReadFile(dir / "KOVA.TMP"), "");
    EXPECT_FALSE(kt::Exists(dir / "KOVABUSY"));
}

// The debugging channel as Wine's +debugstr shows it, and an answer of an
// earlier request that is read-only, as Wine keeps that attribute.
TEST_P(Wine, Kova32exTellsTheDebuggingChannelAndReplacesAReadOnlyAnswer)
{
    kt::TempDir dir;
    kt::WriteFile(dir / "KOVA.TMP", "WAKE-SUCCESS\r\n");
    ASSERT_EQ(chmod((dir / "KOVA.TMP").c_str(), 0444), 0);
    auto run = RunWine(build_.kova, {"WAKE", "00A0C9123456"}, dir.path(),
                       {{"KOVA_UDP_TARGET", "none"}, {"WINEDEBUG", "+debugstr"}});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(kt::ReadFile(dir / "KOVA.TMP"), "WAKE-FAILURE\r\n");
    for (const char *line : {"a read-only KOVA.TMP of an earlier request was removed",
                             "UDP: KOVA_UDP_TARGET is not A.B.C.D:PORT, nothing sent",
                             "answer in KOVA.TMP: WAKE-FAILURE"})
        EXPECT_NE(run.err.find("OutputDebugStringA \"kova32ex: " + std::string(line) + "\\n\""),
                  std::string::npos)
            << line << "\n" << run.err;
}

// One agent scenario run by either build of kova32ex: the answer, the
// tools' log, the credential store afterwards, and under Wine what reached
// the debugging channel.
struct AgentRun {
    std::string result, log, store, channel;
};

AgentRun RunAgentScenario(const std::string &line, const WindowsBuild *underWine,
                          const std::map<std::string, std::string> &knobs = {})
{
    kt::TempDir dir;
    kt::WriteFile(dir / "inventory", "group GRPTAG=0x1 GRPNAME= \"All systems\"\n"
                                     "list SYSTAG=0x1A SYSNAME= \"pc one\"\n"
                                     "list ADDR= \"pc1\"\n"
                                     "list MAC=00A0C9123456\n");
    kt::WriteFile(dir / "store", "pc1\tolduser\toldpw\n");
    std::string channel;
    std::map<std::string, std::string> env = {{"SKW_INVENTORY", dir / "inventory"},
                                              {"SKW_CREDSTORE", dir / "store"},
                                              {"SKW_LOG", dir / "log"},
                                              {"KOVA_MUTEX_DIR", dir / "mutex"},
                                              {"KOVA_STATE_DIR", dir / "state"}};
    env.insert(knobs.begin(), knobs.end());
    if (underWine) {
        env["WINEPATH"] = underWine->dir + "/tools/skwtools";
        // Wine joins the words with single spaces into the command line.
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string word; in >> word;)
            words.push_back(word);
        env["WINEDEBUG"] = "+debugstr";
        channel = RunWine(underWine->kova, words, dir.path(), env).err;
    } else {
        kt::RunOptions options;
        options.cwd = dir.path();
        options.timeout = 120s;
        options.env = env;
        options.env["PATH"] = std::string(KOVA_TOOLS_DIR) + "/skwtools:/usr/bin:/bin";
        kt::Run({KOVA32EX_BIN, line}, options);
    }
    return {kt::ReadFile(dir / "KOVA.TMP"), kt::ReadFile(dir / "log"), kt::ReadFile(dir / "store"),
            channel};
}

TEST_P(Wine, AgentRequestsMatchTheLinuxBuild)
{
    const struct {
        std::string line, result, log;
        std::map<std::string, std::string> knobs;
        unsigned silenceLimitMs = 0;  // the request tool stays silent: given up at it
    } cases[] = {
        {"NUMPACKAGES", "SKYWARDEN\r\n", "SKWSYSCMD /GETGRP /ALL\n", {}},
        {"REBOOTSYS 00A0C9123456 admin secret 1", "0\r\n",
         "SKWSYSCMD /GETSYS /ALL\n"
         "SKWSECCMD /LISTOUT /HOST:\"pc1\"\n"
         "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"admin\" /PWD:\"secret\"\n"
         "SKWSECCMD /LISTOUT /HOST:\"pc1\"\n"
         "SKWSYSCMD /DOPING /SYSTAG:1A\n"
         "SKWSYSCMD /BOOTSYS /SYSTAG:1A\n"
         "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"olduser\" /PWD:\"oldpw\"\n"
         "SKWSECCMD /LISTOUT /HOST:\"pc1\"\n",
         {}},
        {"REBOOTSYS 00A0C9123456 DO-NOT-USE-USER-ID x 1", "108\r\n",
         "SKWSYSCMD /GETSYS /ALL\nSKWSYSCMD /DOPING /SYSTAG:1A\nSKWSYSCMD /BOOTSYS /SYSTAG:1A\n",
         {{"SKW_ONLY", "/BOOTSYS"}, {"SKW_SILENT", "1"}, {"SKW_NEVER_END", "1"},
          {"KOVA_TOOL_TIMEOUT_MS", "1500"}},
         1500},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        AgentRun onLinux = RunAgentScenario(c.line, nullptr, c.knobs);
        AgentRun onWine = RunAgentScenario(c.line, &build_, c.knobs);
        EXPECT_EQ(onLinux.result, c.result);
        EXPECT_EQ(onLinux.log, c.log);
        EXPECT_EQ(onWine.result, onLinux.result);
        EXPECT_EQ(onWine.log, onLinux.log);
        EXPECT_EQ(onWine.store, "pc1\tolduser\toldpw\n");
        EXPECT_EQ(onWine.store, onLinux.store);
        // Every tool's start is on the channel; no password ever is.
        EXPECT_NE(onWine.channel.find("kova32ex: started SKWSYSCMD"), std::string::npos);
        if (c.log.find("/PWD:") != std::string::npos) {
            EXPECT_NE(onWine.channel.find("/PWD:\\\"********\\\""), std::string::npos)
                << onWine.channel;
        }
        EXPECT_EQ(onWine.channel.find("secret"), std::string::npos) << onWine.channel;
        EXPECT_EQ(onWine.channel.find("oldpw"), std::string::npos) << onWine.channel;
        // A tool that ends by itself is never ended, and the channel says
        // so; a silent one is given up at its limit, measured, not before.
        std::smatch given;
        const std::regex givenUp("given up at the silence limit of (\\d+) ms before any output: "
                                 "ended after (\\d+) ms");
        if (c.silenceLimitMs) {
            ASSERT_TRUE(std::regex_search(onWine.channel, given, givenUp)) << onWine.channel;
            EXPECT_EQ(std::stoul(given[1]), c.silenceLimitMs);
            EXPECT_GE(std::stoul(given[2]), c.silenceLimitMs);
        } else if (c.line != "NUMPACKAGES") {  // that one closes at its first group
            EXPECT_EQ(onWine.channel.find("given up"), std::string::npos) << onWine.channel;
            EXPECT_NE(onWine.channel.find("ended by itself, exit code 0"), std::string::npos)
                << onWine.channel;
        }
    }
}

TEST_P(Wine, WakelanPrintsBannerAndUsageInTextMode)
{
    // Started by its bare name from its own folder, as a user would.
    auto run = RunWine("wakelan.exe", {}, fs::path(build_.wakelan).parent_path().string());
    const std::string expected =
        "WAKELAN.EXE  --  Wake-on-LAN tool for 32-bit Windows.\r\n"
        "\r\n"
        "Usages:\r\n"
        " WAKELAN.EXE [/d delay] address1 [address2 [...]]\r\n"
        " WAKELAN.EXE [/d delay] /f filename\r\n"
        "\r\n"
        "   address1, address2, ...     12 digit MAC addresses\r\n"
        "   delay                       delay between packets in miliseconds\r\n"
        "                               default delay is 1 ms.\r\n"
        "   filename                    INI file containing MAC addresses\r\n"
        "\r\n";
    EXPECT_EQ(run.out, expected);
}

TEST_P(Wine, WakelanSendsAnAddressFileAsTheLinuxBuildDoes)
{
    kt::TempDir dir;
    // Written on Windows: CR LF lines, a section and a comment, a range over
    // a digit boundary long enough for one progress report, and an address
    // as the network card's label shows it.
    kt::WriteFile(dir / "clients.ini", "[office]\r\n"
                                       "; room 12, then the print server\r\n"
                                       "02AB0CFFFFA0-02AB0D000010\r\n"
                                       "00-A0-C9-12-34-56\r\n");
    std::vector<std::string> macs;
    for (unsigned counter = 0xCFFFFA0; counter <= 0xD000010; counter++) {
        char mac[13];
        snprintf(mac, sizeof mac, "02AB0%07X", counter);
        macs.push_back(mac);
    }
    macs.push_back("00A0C9123456");
    const std::vector<std::string> args = {"/d", "0", "/f", "clients.ini"};

    kt::RunOptions options;
    options.cwd = dir.path();
    options.timeout = 300s;
    options.env = {{"WINEDEBUG", "-all"}, {"DISPLAY", kUnset}};
    std::vector<std::string> argv = {"wine", build_.wakelan};
    argv.insert(argv.end(), args.begin(), args.end());
    auto [onWine, wineFrames] = RunReceiving(argv, options);
    argv = {WAKELAN_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    auto [onLinux, linuxFrames] = RunReceiving(argv, options);

    const std::string tail = "Using file clients.ini.\r\n"
                             "Calculating...\r\n"
                             "Sending Wake-on-LAN packets for 114 clients...\r\n"
                             "Sent 100 packets.\r"
                             "Sent 114 packets.\r\n"
                             "Done.\r\n";
    ASSERT_GE(onWine.out.size(), tail.size()) << onWine.out;
    EXPECT_EQ(onWine.out.substr(onWine.out.size() - tail.size()), tail);
    EXPECT_EQ(onWine.exitCode, 0);
    EXPECT_EQ(onWine.exitCode, onLinux.exitCode);
    // The same text but for the line ends of text mode (the banner's
    // program name aside).
    auto afterBanner = [](const std::string &out) { return out.substr(out.find('\n') + 1); };
    EXPECT_EQ(std::regex_replace(afterBanner(onWine.out), std::regex("\r\n"), "\n"),
              afterBanner(onLinux.out));

    auto expected = WakeFrames(macs);
    ASSERT_EQ(wineFrames.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        ASSERT_EQ(wineFrames[i].bytes, expected[i]) << "frame " << i;
        ASSERT_EQ(wineFrames[i].sourcePort, 13992);
    }
    ASSERT_EQ(linuxFrames.size(), wineFrames.size());
    for (size_t i = 0; i < expected.size(); i++)
        ASSERT_EQ(linuxFrames[i].bytes, wineFrames[i].bytes) << "frame " << i;
}

// A copy of the run's Wine prefix whose server, and so every socket of its
// programs, belongs to a network namespace.  As scripts/test.sh makes its
// prefixes: Wine's files as hard links (no run writes them), the registry
// for real, the server started first, and a command prompt that waits on a
// pipe nobody writes to, so that the prefix's own processes start once,
// holding none of a test run's pipes.
class NamespacePrefix {
public:
    explicit NamespacePrefix(const std::string &ns) : path_(home_ / "prefix")
    {
        const char *run = getenv("WINEPREFIX");
        const std::string env = "env WINEPREFIX='" + path_ + "' ";
        ok_ = run && Sh("cp -al '" + std::string(run) + "' '" + path_ + "'") &&
              Sh("for r in '" + std::string(run) + "'/*.reg; do cp --remove-destination \"$r\" '" +
                 path_ + "/'; done") &&
              Sh("ip netns exec " + ns + " " + env + "wineserver -p") &&
              Sh("cd '" + home_.path() + "' && mkfifo hold && (exec 3<>hold; ip netns exec " + ns +
                 " " + env + "wine cmd /k type nul '>' ready <&3 &)");
        for (int waited = 0; ok_ && !kt::Exists(home_ / "ready") && waited < 600; waited++)
            std::this_thread::sleep_for(100ms);
        ok_ = ok_ && kt::Exists(home_ / "ready");
    }
    ~NamespacePrefix() { Sh("WINEPREFIX='" + path_ + "' wineserver -k"); }
    NamespacePrefix(const NamespacePrefix &) = delete;
    NamespacePrefix &operator=(const NamespacePrefix &) = delete;
    bool ok() const { return ok_; }
    const std::string &path() const { return path_; }

private:
    static bool Sh(const std::string &command)
    {
        return system((command + " >/dev/null 2>&1").c_str()) == 0;
    }
    kt::TempDir home_;
    std::string path_;
    bool ok_ = false;
};

// Real broadcast from a console namespace on two networks: both programs
// learn the console's addresses from Wine's own gethostbyname and reach the
// PC on each network, both frames of each address, from port 13992 of the
// console's address there.
TEST_P(Wine, WakeAndWakelanReachThePcOnEveryNetworkOfTheConsole)
{
    kt::ConsoleNetworks net(2);
    if (!net.ok())
        GTEST_SKIP() << "network namespaces cannot be made here";
    std::vector<std::unique_ptr<kt::UdpListener>> pcs;
    for (int n = 1; n <= 2; n++)
        pcs.push_back(net.ListenAtPc(n));
    ASSERT_TRUE(pcs[0] && pcs[1]);
    NamespacePrefix prefix(net.console());
    ASSERT_TRUE(prefix.ok()) << "no Wine prefix in " << net.console();
    kt::TempDir dir;
    const std::map<std::string, std::string> env = {{"WINEPREFIX", prefix.path()},
                                                    {"KOVA_UDP_TARGET", kUnset}};
    RunWine(build_.kova, {"WAKE", "00A0C9123456"}, dir.path(), env, net.execIn(net.console()));
    EXPECT_EQ(kt::ReadFile(dir / "KOVA.TMP"), "WAKE-SUCCESS\r\n");
    auto lan = RunWine(build_.wakelan, {"/d0", "0A0B0C0D0E0F", "02AB0C123456"}, dir.path(), env,
                       net.execIn(net.console()));
    EXPECT_EQ(lan.exitCode, 0) << lan.out;
    const auto expected = WakeFrames({"00A0C9123456", "0A0B0C0D0E0F", "02AB0C123456"});
    for (int n = 1; n <= 2; n++) {
        SCOPED_TRACE("network " + std::to_string(n));
        auto frames = pcs[size_t(n - 1)]->drain(500ms);
        ASSERT_EQ(frames.size(), expected.size());
        for (size_t i = 0; i < frames.size(); i++) {
            EXPECT_EQ(frames[i].bytes, expected[i]) << "frame " << i;
            EXPECT_EQ(frames[i].sourcePort, 13992);
            EXPECT_EQ(frames[i].sourceAddress, kt::ConsoleNetworks::ConsoleAddress(n));
        }
    }
}

// An X server of the test's own on a free display (Xvfb picks the number
// and reports it once it accepts clients), ended with the test.
class Xvfb {
public:
    Xvfb()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            if (fds[1] == 3)
                fcntl(3, F_SETFD, 0);
            else
                dup2(fds[1], 3);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "640x480x24",
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        pollfd p{fds[0], POLLIN, 0};
        std::string number;
        char c;
        while (poll(&p, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (!number.empty())
            display_ = ":" + number;
    }
    ~Xvfb()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    Xvfb(const Xvfb &) = delete;
    Xvfb &operator=(const Xvfb &) = delete;
    const std::string &display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// A Wine prefix whose server and desktop belong to the given display: Wine
// takes the display of the process that starts its desktop, so a prefix
// cannot serve runs with and without one.  The server is started first and
// kept, so that no Wine process holds the test's pipes open after a run.
class DisplayPrefix {
public:
    explicit DisplayPrefix(const std::string &display)
        : env_("WINEPREFIX=" + home_ / "prefix" + " DISPLAY=" + display + " WINEDEBUG=-all ")
    {
        std::error_code ec;
        fs::create_directory(path(), ec);  // the server starts in it
        ok_ = system((env_ + "wineserver -p >/dev/null 2>&1").c_str()) == 0 &&
              system((env_ + "wineboot -i >/dev/null 2>&1").c_str()) == 0;
    }
    ~DisplayPrefix()
    {
        if (system((env_ + "wineserver -k >/dev/null 2>&1").c_str()) != 0) {
            // Already gone.
        }
    }
    DisplayPrefix(const DisplayPrefix &) = delete;
    DisplayPrefix &operator=(const DisplayPrefix &) = delete;
    bool ok() const { return ok_; }
    std::string path() const { return home_ / "prefix"; }

private:
    kt::TempDir home_;
    std::string env_;
    bool ok_ = false;
};

struct WakeRun {
    kt::RunResult run;
    std::string result;
    bool busyLeft = true;
    std::vector<kt::Datagram> frames;
};

WakeRun WakeUnderWine(const WindowsBuild &build, std::map<std::string, std::string> env)
{
    kt::TempDir dir;
    kt::UdpListener listener;
    env["KOVA_UDP_TARGET"] = listener.target();
    WakeRun w;
    w.run = RunWine(build.kova, {"WAKE", "00A0C9123456"}, dir.path(), env);
    w.result = kt::ReadFile(dir / "KOVA.TMP");
    w.busyLeft = kt::Exists(dir / "KOVABUSY");
    w.frames = listener.drain(500ms);
    return w;
}

// What Windows does every time: the window is created, hidden, and the
// message loop ends the process.  Wine creates windows only with a display.
TEST(WineDisplay, Kova32exRunsItsCommandInsideAHiddenWindow)
{
    const WindowsBuild build = BuildOf(kt::ProductOrStandIn());
    std::string why = WhyNot(build);
    if (!why.empty())
        GTEST_SKIP() << why;
    if (system("command -v Xvfb >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Xvfb is not installed";
    Xvfb x;
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
    DisplayPrefix prefix(x.display());
    ASSERT_TRUE(prefix.ok()) << "no Wine prefix on display " << x.display();

    WakeRun shown = WakeUnderWine(build, {{"WINEPREFIX", prefix.path()},
                                          {"DISPLAY", x.display()},
                                          {"WINEDEBUG", "trace+win,trace+class,trace+msg"}});
    WakeRun headless = WakeUnderWine(build, {});
    for (const WakeRun *w : {&shown, &headless}) {
        SCOPED_TRACE(w == &shown ? "with a display" : "without a display");
        EXPECT_FALSE(w->run.timedOut);
        EXPECT_EQ(w->run.exitCode, 0);
        EXPECT_EQ(w->result, "WAKE-SUCCESS\r\n");
        EXPECT_FALSE(w->busyLeft);
        EXPECT_EQ(w->frames.size(), 2u);
    }

    // Wine's own trace, read from outside: the class, the window with the
    // program's title and styles (WS_EX_TOPMOST; WS_POPUP, WS_DLGFRAME,
    // WS_SYSMENU), WM_CREATE to that window, SW_HIDE on it, then WM_QUIT
    // taken from the queue.  Each must follow the one before.
    const std::string &trace = shown.run.err;
    std::smatch created;
    ASSERT_TRUE(std::regex_search(trace, created,
                                  std::regex(R"(WINPROC_CallProc\w* ?\(hwnd=0*([0-9a-fA-F]+),msg=WM_CREATE)")))
        << trace;
    // The message trace prints the handle in upper case, the window trace
    // in lower case.
    std::string hwnd = "0x" + created[1].str();
    for (char &c : hwnd)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    const std::vector<std::string> steps = {
        R"(trace:class:NtUserRegisterClassExWOW name=L"KOVA32EX")",
        R"(trace:win:WIN_CreateWindowEx "VELD KOVA32EX" L"KOVA32EX" ex=00000008 style=80480000 0,0 0x0)",
        "msg=WM_CREATE",
        "created window " + hwnd + "\n",
        "show_window hwnd=" + hwnd + ", cmd=0,",
        "(WM_QUIT)",
    };
    size_t at = 0;
    for (const auto &step : steps) {
        at = trace.find(step, at);
        ASSERT_NE(at, std::string::npos) << "not found in order: " << step << "\n" << trace;
    }
}

// The product build seals its rollback record for the user (CryptProtectData
// under Wine): a request that dies inside its section leaves a record that
// shows no credential in clear, and the next NUMPACKAGES puts the store back.
TEST_P(Wine, ARecordSealedForTheUserIsRecoveredByTheNextCommand)
{
    kt::TempDir dir;
    kt::WriteFile(dir / "inventory", "group GRPTAG=0x1 GRPNAME= \"All systems\"\n"
                                     "list SYSTAG=0x1A SYSNAME= \"pc one\"\n"
                                     "list ADDR= \"pc1\"\n"
                                     "list MAC=00A0C9123456\n");
    kt::WriteFile(dir / "store", "pc1\tolduser\toldpw\n");
    std::map<std::string, std::string> env = {{"SKW_INVENTORY", dir / "inventory"},
                                              {"SKW_CREDSTORE", dir / "store"},
                                              {"SKW_LOG", dir / "log"},
                                              {"KOVA_STATE_DIR", dir / "state"},
                                              {"WINEPATH", build_.dir + "/tools/skwtools"},
                                              {"SKW_KILL_CALLER", "/BOOTSYS"}};
    RunWine(build_.kova, {"REBOOTSYS", "00A0C9123456", "admin", "secret", "1"}, dir.path(), env);
    std::string record;
    for (const auto &entry : fs::directory_iterator(dir / "state"))
        record = entry.path().string();
    ASSERT_FALSE(record.empty()) << "no record left by the dead request";
    std::string sealed = kt::ReadFile(record);
    EXPECT_EQ(sealed.rfind("KOVACRED SEALED\n", 0), 0u);
    EXPECT_EQ(sealed.find("oldpw"), std::string::npos);
    EXPECT_EQ(sealed.find("olduser"), std::string::npos);
    EXPECT_EQ(kt::ReadFile(dir / "store"), "pc1\tadmin\tsecret\n"); // the dead one's

    env.erase("SKW_KILL_CALLER");
    auto run = RunWine(build_.kova, {"NUMPACKAGES"}, dir.path(), env);
    EXPECT_EQ(kt::ReadFile(dir / "KOVA.TMP"), "SKYWARDEN\r\n") << run.err;
    EXPECT_EQ(kt::ReadFile(dir / "store"), "pc1\tolduser\toldpw\n");
    EXPECT_FALSE(kt::Exists(record));
}

}  // namespace
