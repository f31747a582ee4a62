// kova32ex as a process: exit code, the files the console reads, and the
// frames that reach the network, with failures injected through the
// platform's seams.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>

#include "testutil.h"

namespace {

const std::string kKovacon = std::string(KOVA_TOOLS_DIR) + "/kovacon/kovacon";

const std::vector<uint8_t> kMac = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56};
const std::vector<uint8_t> kMacReversed = {0x56, 0x34, 0x12, 0xC9, 0xA0, 0x00};

// Runs kova32ex directly in dir, with nothing between it and the files.
kt::RunResult RunKova(const std::string &dir, const std::string &line,
                      std::map<std::string, std::string> env = {})
{
    kt::RunOptions options;
    options.cwd = dir;
    options.env = std::move(env);
    return kt::Run({KOVA32EX_BIN, line}, options);
}

struct ProcessCase {
    const char *name;
    std::map<std::string, std::string> env;  // KOVA_UDP_TARGET is added
    std::string line;
    std::string result;  // KOVA.TMP
    int frames;          // datagrams expected at the listener
};

TEST(Kova32ex, AnswersThroughTheResultFileAndExitsWithZero)
{
    const std::string spaces496(496, ' ');
    const std::string spaces508(508, ' ');
    const ProcessCase cases[] = {
        {"wake", {}, "WAKE 00A0C9123456", "WAKE-SUCCESS\r\n", 2},
        {"wake without IPX falls back to UDP", {}, "WAKE IPXNET=0000ABCD 00A0C9123456",
         "WAKE-SUCCESS\r\n", 2},
        {"empty line", {}, "", "", 0},
        {"unknown", {}, "HELLO WORLD", "", 0},
        {"not a MAC", {}, "WAKE XYZ", "WAKE-FAILURE\r\n", 0},
        {"line of exactly 512", {}, "WAKE" + spaces496 + "00A0C9123456", "WAKE-SUCCESS\r\n", 2},
        {"MAC past 512 is cut off", {}, "WAKE" + spaces508 + "00A0C9123456" + std::string(80, 'x'),
         "WAKE-FAILURE\r\n", 0},
        {"sockets cannot start", {{"KOVA_FAIL", "WSAStartup"}}, "WAKE 00A0C9123456",
         "WAKE-FAILURE\r\n", 0},
        {"datagram limit 512", {{"KOVA_MAXUDPDG", "512"}}, "WAKE 00A0C9123456",
         "WAKE-FAILURE\r\n", 0},
        {"datagram limit 1024", {{"KOVA_MAXUDPDG", "1024"}}, "WAKE 00A0C9123456",
         "WAKE-SUCCESS\r\n", 2},
        {"no datagram limit", {{"KOVA_MAXUDPDG", "0"}}, "WAKE 00A0C9123456", "WAKE-SUCCESS\r\n", 2},
        {"port in use", {{"KOVA_FAIL", "bind"}}, "WAKE 00A0C9123456", "WAKE-FAILURE\r\n", 0},
        {"no socket", {{"KOVA_FAIL", "socket"}}, "WAKE 00A0C9123456", "WAKE-FAILURE\r\n", 0},
        // A send that fails is a failure, and UDP is the last transport.
        {"first send fails", {{"KOVA_FAIL", "sendto"}}, "WAKE 00A0C9123456", "WAKE-FAILURE\r\n", 0},
        {"second send fails", {{"KOVA_FAIL", "sendto#2"}}, "WAKE 00A0C9123456",
         "WAKE-FAILURE\r\n", 1},
        {"NUMPACKAGES without the agent", {{"PATH", "/nonexistent"}}, "NUMPACKAGES", "NONE\r\n", 0},
        {"package 2", {}, "REBOOTSYS 00A0C9123456 a b 2", "101\r\n", 0},
        {"missing words", {}, "POWERDOWNSYS 00A0C9123456 a", "108\r\n", 0},
    };
    kt::TempDir state;
    for (const ProcessCase &c : cases) {
        SCOPED_TRACE(c.name);
        kt::UdpListener listener;
        kt::RunOptions options;
        options.env = c.env;
        options.env["KOVA_UDP_TARGET"] = listener.target();
        options.env["KOVA_STATE_DIR"] = state / "records"; // never the user's own
        auto run = kt::Run({kKovacon, c.line}, options);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, c.result);
        auto frames = listener.drain(std::chrono::milliseconds(150));
        ASSERT_EQ(int(frames.size()), c.frames);
        if (c.frames >= 1) {
            EXPECT_EQ(frames[0].bytes, kt::MagicFrame(kMac));
        }
        if (c.frames >= 2) {
            EXPECT_EQ(frames[1].bytes, kt::MagicFrame(kMacReversed));
        }
    }
}

// Each line names the failing call and its error, or what happened
// instead; the lines expected appear in this order among the others.
TEST(Kova32ex, TheDebuggingChannelSaysWhyAWakeFailed)
{
    const std::string segment =
        "0000ABCD@127.255.255.255:" + std::to_string(41000 + getpid() % 1000);
    const struct {
        const char *name;
        std::map<std::string, std::string> env;
        std::string line;
        std::vector<std::string> lines;
    } cases[] = {
        {"without IPX", {}, "WAKE 00A0C9123456",
         {"request WAKE", "IPX socket failed, error 10047", "woke 00A0C9123456 over UDP",
          "answer in KOVA.TMP: WAKE-SUCCESS"}},
        {"port 13992 taken", {{"KOVA_FAIL", "bind"}}, "WAKE 00A0C9123456",
         {"UDP bind: port 13992 still in use after 2000 ms, error 10048",
          "WAKE 00A0C9123456 failed: neither IPX nor UDP could be set up",
          "answer in KOVA.TMP: WAKE-FAILURE"}},
        {"send fails", {{"KOVA_FAIL", "sendto#2"}}, "WAKE 00A0C9123456",
         {"UDP sendto failed, error 10050", "WAKE 00A0C9123456 over UDP failed"}},
        {"IPX with nothing discovered", {{"KOVA_IPX", segment}}, "WAKE IPXNET=0000ABCD 00A0C9123456",
         {"IPX discovery had found no network when the send ended",
          "woke 00A0C9123456 over IPX"}},
        {"not a MAC", {}, "WAKE XYZ", {"WAKE: \"XYZ\" is not a valid MAC address"}},
        {"quoted request", {}, "\"WAKE 00A0C9123456\"",
         {"no known command (the request is in quotes)", "answer in KOVA.TMP: empty"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::TempDir dir;
        kt::UdpListener listener;
        auto env = c.env;
        env["KOVA_UDP_TARGET"] = listener.target();
        env["KOVA_DEBUG_LOG"] = dir / "debug.log";
        EXPECT_EQ(RunKova(dir.path(), c.line, env).exitCode, 0);
        std::istringstream log(kt::ReadFile(dir / "debug.log"));
        auto expected = c.lines.begin();
        for (std::string line; std::getline(log, line);) {
            EXPECT_EQ(line.rfind("kova32ex: ", 0), 0u) << line;
            if (expected != c.lines.end() && line.find(*expected) != std::string::npos)
                ++expected;
        }
        EXPECT_TRUE(expected == c.lines.end())
            << "missing: " << *expected << "\nin:\n" << kt::ReadFile(dir / "debug.log");
    }
}

// A read-only answer of an earlier request, made so by anyone, must not
// stand as this request's answer.
TEST(Kova32ex, AReadOnlyStaleAnswerIsReplaced)
{
    kt::TempDir dir;
    kt::WriteFile(dir / "KOVA.TMP", "WAKE-SUCCESS\r\n");
    ASSERT_EQ(chmod((dir / "KOVA.TMP").c_str(), 0444), 0);
    auto run = RunKova(dir.path(), "WAKE 00A0C9123456", {{"KOVA_UDP_TARGET", "none"}});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(kt::ReadFile(dir / "KOVA.TMP"), "WAKE-FAILURE\r\n");
    EXPECT_FALSE(kt::Exists(dir / "KOVABUSY"));
}

TEST(Kova32ex, DoesNothingWhenTheWindowCannotBeMade)
{
    for (const char *call : {"RegisterClassA", "CreateWindowExA"}) {
        SCOPED_TRACE(call);
        kt::TempDir dir;
        kt::UdpListener listener;
        auto run = RunKova(dir.path(), "WAKE 00A0C9123456",
                           {{"KOVA_FAIL", call}, {"KOVA_UDP_TARGET", listener.target()}});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_FALSE(kt::Exists(dir / "KOVABUSY"));
        EXPECT_FALSE(kt::Exists(dir / "KOVA.TMP"));
        EXPECT_TRUE(listener.drain(std::chrono::milliseconds(100)).empty());
    }
}

TEST(Kova32ex, ResultPathThatIsADirectoryCostsOnlyTheAnswer)
{
    kt::TempDir dir;
    ASSERT_EQ(mkdir((dir / "KOVA.TMP").c_str(), 0755), 0);
    kt::UdpListener listener;
    auto run = RunKova(dir.path(), "WAKE 00A0C9123456", {{"KOVA_UDP_TARGET", listener.target()}});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_FALSE(kt::Exists(dir / "KOVABUSY"));
    struct stat st;
    ASSERT_EQ(stat((dir / "KOVA.TMP").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(listener.drain(std::chrono::milliseconds(150)).size(), 2u);
}

TEST(Kova32ex, KovaconReportsWhatTheConsoleWouldMiss)
{
    kt::RunOptions options;
    options.env["KOVA_FAIL"] = "RegisterClassA";
    auto run = kt::Run({kKovacon, "WAKE 00A0C9123456"}, options);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.err.find("no KOVA.TMP"), std::string::npos);
}

// Real broadcast, without KOVA_UDP_TARGET, in namespaces made for the test:
// from a console on two networks the frames reach the PC on each, from
// port 13992 of the console's address there, or as many networks as could
// be used, the channel naming the one that failed; a failed look-up of
// the host's addresses leaves one socket on any address, which reaches the
// network of the default route.  IPBCAST= reaches the PC behind a router
// that forwards directed broadcasts.
TEST(Kova32ex, BroadcastReachesEveryNetworkAndTheSegmentNamed)
{
    const struct {
        const char *name;
        bool routed;
        std::string line;
        std::map<std::string, std::string> env;
        std::vector<size_t> frames;  // by PC: behind the router, on network 1, 2
        std::string traced;          // a line of the debugging channel
    } cases[] = {
        {"two networks", false, "WAKE 00A0C9123456", {}, {0, 2, 2}, "woke 00A0C9123456 over UDP"},
        {"a network fails", false, "WAKE 00A0C9123456", {{"KOVA_FAIL", "sendto#1"}}, {0, 0, 2},
         "UDP from 10.81.1.1 sendto failed, error 10050"},
        {"no addresses learnt", false, "WAKE 00A0C9123456", {{"KOVA_FAIL", "gethostbyname"}},
         {0, 2, 0}, "UDP gethostbyname of the host's own name failed, error 11001"},
        {"routed", true, "WAKE IPBCAST=10.90.1.255 00A0C9123456", {}, {2, 0, 0},
         "woke 00A0C9123456 over UDP"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::ConsoleNetworks net(c.routed ? 1 : 2, c.routed);
        if (!net.ok())
            GTEST_SKIP() << "network namespaces cannot be made here";
        std::vector<std::unique_ptr<kt::UdpListener>> pcs;
        for (size_t n = 0; n < c.frames.size(); n++)
            pcs.push_back(net.ListenAtPc(int(n)));
        kt::TempDir dir;
        kt::RunOptions options;
        options.cwd = dir.path();
        options.prefix = net.execIn(net.console());
        options.env = c.env;
        options.env["KOVA_UDP_TARGET"] = "\x01";
        options.env["KOVA_DEBUG_LOG"] = dir / "debug.log";
        auto run = kt::Run({KOVA32EX_BIN, c.line}, options);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(kt::ReadFile(dir / "KOVA.TMP"), "WAKE-SUCCESS\r\n");
        EXPECT_NE(kt::ReadFile(dir / "debug.log").find(c.traced), std::string::npos)
            << kt::ReadFile(dir / "debug.log");
        for (size_t n = 0; n < c.frames.size(); n++) {
            SCOPED_TRACE("PC " + std::to_string(n));
            std::vector<kt::Datagram> heard;
            if (pcs[n])
                heard = pcs[n]->drain(std::chrono::milliseconds(300));
            ASSERT_EQ(heard.size(), c.frames[n]);
            for (size_t i = 0; i < heard.size(); i++) {
                EXPECT_EQ(heard[i].bytes, kt::MagicFrame(i % 2 ? kMacReversed : kMac));
                EXPECT_EQ(heard[i].sourcePort, 13992);
                EXPECT_EQ(heard[i].sourceAddress, kt::ConsoleNetworks::ConsoleAddress(n < 2 ? 1 : 2));
            }
        }
    }
}

}  // namespace
