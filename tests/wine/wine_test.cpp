// The 64-bit Windows build of the programs, run under Wine: the same
// answers, files and frames as the Linux build, and the text-mode bytes
// that only the Windows runtime writes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
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
