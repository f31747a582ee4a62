// The 64-bit Windows build of the programs, run under Wine: the same
// answers, files and frames as the Linux build, and the text-mode bytes
// that only the Windows runtime writes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "testutil.h"

namespace fs = std::filesystem;

namespace {

const std::string kBuild = KOVA_WINDOWS_BUILD_DIR;
const std::string kKova = kBuild + "/host/kova32ex.exe";
const std::string kWakelan = kBuild + "/wakelan/wakelan.exe";

class Wine : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (system("command -v wine >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "wine is not installed";
        if (!kt::Exists(kKova) || !kt::Exists(kWakelan))
            GTEST_SKIP() << "no windows-x64 build in " << kBuild;
        if (!getenv("WINEPREFIX"))
            GTEST_SKIP() << "WINEPREFIX is not set (scripts/test.sh makes one per run)";
    }

    static kt::RunResult RunWine(const std::vector<std::string> &args, const std::string &cwd,
                                 std::map<std::string, std::string> env = {})
    {
        kt::RunOptions options;
        options.cwd = cwd;
        options.env = std::move(env);
        options.env["WINEDEBUG"] = "-all";
        options.timeout = std::chrono::seconds(60);
        std::vector<std::string> argv = {"wine"};
        argv.insert(argv.end(), args.begin(), args.end());
        return kt::Run(argv, options);
    }
};

TEST_F(Wine, Kova32exWakesOverUdpWithoutIpx)
{
    kt::TempDir dir;
    kt::UdpListener listener;
    // Wine builds the Windows command line from the words, joined by spaces.
    auto run = RunWine({kKova, "WAKE", "00A0C9123456"}, dir.path(),
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

TEST_F(Wine, Kova32exAnswersAnUnknownCommandWithAnEmptyFile)
{
    kt::TempDir dir;
    auto run = RunWine({kKova, "HELLO"}, dir.path());
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_TRUE(kt::Exists(dir / "KOVA.TMP"));
    EXPECT_EQ(kt::ReadFile(dir / "KOVA.TMP"), "");
    EXPECT_FALSE(kt::Exists(dir / "KOVABUSY"));
}

// One agent scenario run by either build of kova32ex: the answer, the
// tools' log, and the credential store afterwards.
struct AgentRun {
    std::string result, log, store;
};

AgentRun RunAgentScenario(const std::string &line, bool underWine)
{
    kt::TempDir dir;
    kt::WriteFile(dir / "inventory", "group GRPTAG=0x1 GRPNAME= \"All systems\"\n"
                                     "list SYSTAG=0x1A SYSNAME= \"pc one\"\n"
                                     "list ADDR= \"pc1\"\n"
                                     "list MAC=00A0C9123456\n");
    kt::WriteFile(dir / "store", "pc1\tolduser\toldpw\n");
    kt::RunOptions options;
    options.cwd = dir.path();
    options.timeout = std::chrono::seconds(120);
    options.env = {{"SKW_INVENTORY", dir / "inventory"},
                   {"SKW_CREDSTORE", dir / "store"},
                   {"SKW_LOG", dir / "log"},
                   {"WINEDEBUG", "-all"}};
    std::vector<std::string> argv;
    if (underWine) {
        options.env["WINEPATH"] = kBuild + "/tools/skwtools";
        argv = {"wine", kKova};
        // Wine joins the words with single spaces into the command line.
        std::istringstream words(line);
        for (std::string word; words >> word;)
            argv.push_back(word);
    } else {
        options.env["PATH"] = std::string(KOVA_TOOLS_DIR) + "/skwtools:/usr/bin:/bin";
        argv = {KOVA32EX_BIN, line};
    }
    kt::Run(argv, options);
    return {kt::ReadFile(dir / "KOVA.TMP"), kt::ReadFile(dir / "log"), kt::ReadFile(dir / "store")};
}

TEST_F(Wine, AgentRequestsMatchTheLinuxBuild)
{
    const struct {
        std::string line, result, log;
    } cases[] = {
        {"NUMPACKAGES", "SKYWARDEN\r\n", "SKWSYSCMD /GETGRP /ALL\n"},
        {"REBOOTSYS 00A0C9123456 admin secret 1", "0\r\n",
         "SKWSYSCMD /GETSYS /ALL\n"
         "SKWSECCMD /LISTOUT /HOST:\"pc1\"\n"
         "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"admin\" /PWD:\"secret\"\n"
         "SKWSYSCMD /DOPING /SYSTAG:1A\n"
         "SKWSYSCMD /BOOTSYS /SYSTAG:1A\n"
         "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"olduser\" /PWD:\"oldpw\"\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        AgentRun onLinux = RunAgentScenario(c.line, false);
        AgentRun onWine = RunAgentScenario(c.line, true);
        EXPECT_EQ(onLinux.result, c.result);
        EXPECT_EQ(onLinux.log, c.log);
        EXPECT_EQ(onWine.result, onLinux.result);
        EXPECT_EQ(onWine.log, onLinux.log);
        EXPECT_EQ(onWine.store, "pc1\tolduser\toldpw\n");
        EXPECT_EQ(onWine.store, onLinux.store);
    }
}

TEST_F(Wine, WakelanPrintsBannerAndUsageInTextMode)
{
    // Started by its bare name from its own folder, as a user would.
    auto run = RunWine({"wakelan.exe"}, fs::path(kWakelan).parent_path().string());
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

}  // namespace
