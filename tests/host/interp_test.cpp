// The command interpreter against recording stand-ins for the engine and
// the agent adapter: what the console finds in the result file, and what
// reached the neighbours.
#include <gtest/gtest.h>
#include <unistd.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <filesystem>

#include <optional>
#include <string>
#include <vector>

#include "testutil.h"

#include "kova.h"
#include "kovaskw.h"
#include "wakew32.h"

char cmdLine[KOVA_CMDLINE_LEN + 1];
char networkNumber[10];
tDirectedBroadcast directedBroadcast;

namespace {

struct Call {
    std::string what;  // "wake", "reboot", "powerdown", "available"
    std::string mac;
    std::optional<std::string> user, password;
    std::string network;  // networkNumber at the time of a wake
    std::optional<std::string> answer = std::nullopt;  // KOVA.TMP as the agent was asked
};

// The directed broadcast the engine was given at each wake, "" for none.
std::vector<std::string> broadcasts;

std::string BroadcastText()
{
    if (!directedBroadcast.given)
        return "";
    const auto *b = reinterpret_cast<const unsigned char *>(&directedBroadcast.address);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

std::vector<Call> calls;
int32_t wakeResult = 0;
int32_t agentResult = 0;
int managerAvailable = 0;

std::optional<std::string> Opt(const char *text)
{
    return text ? std::optional<std::string>(text) : std::nullopt;
}

}  // namespace

int32_t KOVASendWakeOnLAN(char *macAddr)
{
    calls.push_back({"wake", macAddr, {}, {}, std::string(networkNumber, 8).c_str()});
    broadcasts.push_back(BroadcastText());
    return wakeResult;
}

int SKWIsManagerAvailable(void)
{
    calls.push_back({"available", "", {}, {}, ""});
    return managerAvailable;
}

std::optional<std::string> AnswerNow()
{
    return kt::Exists("KOVA.TMP") ? std::optional<std::string>(kt::ReadFile("KOVA.TMP"))
                                  : std::nullopt;
}

int32_t SKWRebootSystem(char *mac, char *user, char *password)
{
    calls.push_back({"reboot", mac, Opt(user), Opt(password), "", AnswerNow()});
    return agentResult;
}

int32_t SKWPowerdownSystem(char *mac, char *user, char *password)
{
    calls.push_back({"powerdown", mac, Opt(user), Opt(password), "", AnswerNow()});
    return agentResult;
}

int KOVAIsSkyWardenPackage(long number)
{
    return number == KOVA_SKYWARDEN_PACKAGE;
}

namespace {

class Interpreter : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(getcwd(oldDir, sizeof oldDir), oldDir);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        calls.clear();
        memset(networkNumber, 0, sizeof networkNumber);
        memset(&directedBroadcast, 0, sizeof directedBroadcast);
        wakeResult = 0;
        agentResult = 0;
        managerAvailable = 0;
    }
    void TearDown() override { ASSERT_EQ(chdir(oldDir), 0); }

    // Runs one command line as the console would pass it.
    std::string Run(const std::string &line)
    {
        memset(cmdLine, 0, sizeof cmdLine);
        strncpy(cmdLine, line.c_str(), KOVA_CMDLINE_LEN);
        EXPECT_EQ(InterpretAndRunKOVACommand(), 0);
        EXPECT_FALSE(kt::Exists(dir / "KOVABUSY"));
        EXPECT_TRUE(kt::Exists(dir / "KOVA.TMP"));
        return kt::ReadFile(dir / "KOVA.TMP");
    }

    kt::TempDir dir;
    char oldDir[4096];
};

struct WakeCase {
    const char *line;
    const char *result;
    std::vector<std::string> macs;  // what reached the engine, in order
    const char *network;            // networkNumber when the engine was called
    const char *broadcast = "";     // the directed broadcast it was given
};

TEST_F(Interpreter, WakeLinesReachTheEngineAsTheConsoleMeantThem)
{
    const WakeCase cases[] = {
        {"WAKE 001122334455", "WAKE-SUCCESS\r\n", {"001122334455"}, ""},
        {"WAKEUP 001122334455", "WAKE-SUCCESS\r\n", {"001122334455"}, ""},
        {"WAKE    001122334455   ", "WAKE-SUCCESS\r\n", {"001122334455"}, ""},
        {"WAKE", "WAKE-FAILURE\r\n", {}, ""},
        {"WAKE    ", "WAKE-FAILURE\r\n", {}, ""},
        {"WAKE IPXNET=0000ABCD", "WAKE-FAILURE\r\n", {}, ""},
        {"WAKE IPXNET=0000ABCD 001122334455", "WAKE-SUCCESS\r\n", {"001122334455"}, "0000ABCD"},
        {"WAKE IPXNET=123456789 001122334455", "WAKE-SUCCESS\r\n", {"001122334455"}, "12345678"},
        {"WAKE IPXNET=ABC 001122334455", "WAKE-SUCCESS\r\n", {"001122334455"}, "ABC"},
        {"WAKE IPXNET= 001122334455", "WAKE-SUCCESS\r\n", {"001122334455"}, ""},
        {"WAKE 001122334455 IPXNET=0000ABCD", "WAKE-SUCCESS\r\n", {"001122334455"}, ""},
        // A tab is part of a word, not a separator.
        {"WAKE\t001122334455", "WAKE-FAILURE\r\n", {}, ""},
        {"WAKE 0011\t2233", "WAKE-SUCCESS\r\n", {"0011\t2233"}, ""},
        // A directed broadcast: four decimal numbers 0-255, nothing else.
        {"WAKE IPBCAST=10.1.2.255 001122334455", "WAKE-SUCCESS\r\n", {"001122334455"}, "",
         "10.1.2.255"},
        {"WAKE IPBCAST=010.001.002.255 001122334455", "WAKE-SUCCESS\r\n", {"001122334455"}, "",
         "10.1.2.255"},
        {"WAKE IPBCAST=255.255.255.255 001122334455", "WAKE-SUCCESS\r\n", {"001122334455"}, "",
         "255.255.255.255"},
        {"WAKE IPBCAST=10.1.2 001122334455", "WAKE-FAILURE\r\n", {}, ""},
        {"WAKE IPBCAST=10.1.2.256 001122334455", "WAKE-FAILURE\r\n", {}, ""},
        {"WAKE IPBCAST=1.2.3.4x 001122334455", "WAKE-FAILURE\r\n", {}, ""},
        {"WAKE IPBCAST=1.2.3.4.5 001122334455", "WAKE-FAILURE\r\n", {}, ""},
        {"WAKE IPBCAST=1..3.4 001122334455", "WAKE-FAILURE\r\n", {}, ""},
        {"WAKE IPBCAST= 001122334455", "WAKE-FAILURE\r\n", {}, ""},
        {"WAKE IPBCAST=10.1.2.255", "WAKE-FAILURE\r\n", {}, ""},
        {"WAKE 001122334455 IPBCAST=10.1.2.255", "WAKE-SUCCESS\r\n", {"001122334455"}, ""},
        {"WAKE ipbcast=10.1.2.255 001122334455", "WAKE-SUCCESS\r\n", {"ipbcast=10.1.2.255"}, ""},
    };
    for (const WakeCase &c : cases) {
        SCOPED_TRACE(c.line);
        calls.clear();
        memset(networkNumber, 0, sizeof networkNumber);
        memset(&directedBroadcast, 0, sizeof directedBroadcast);
        broadcasts.clear();
        std::string result = Run(c.line);
        EXPECT_EQ(result, c.result);
        std::vector<std::string> macs;
        for (const Call &call : calls) {
            EXPECT_EQ(call.what, "wake");
            EXPECT_EQ(call.network, c.network);
            macs.push_back(call.mac);
        }
        EXPECT_EQ(macs, c.macs);
        for (const std::string &broadcast : broadcasts)
            EXPECT_EQ(broadcast, c.broadcast);
    }
}

TEST_F(Interpreter, WakeFailureFromTheEngineIsReported)
{
    wakeResult = 130;
    EXPECT_EQ(Run("WAKE 001122334455"), "WAKE-FAILURE\r\n");
}

TEST_F(Interpreter, UnknownCommandsLeaveAnEmptyResultFile)
{
    for (const char *line : {"", "wake 001122334455", "NUMPACKAGE", "HELLO", " WAKE 0011"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(Run(line), "");
        EXPECT_TRUE(calls.empty());
    }
}

TEST_F(Interpreter, NumPackagesAsksTheAgentOnce)
{
    EXPECT_EQ(Run("NUMPACKAGES"), "NONE\r\n");
    managerAvailable = 1;
    EXPECT_EQ(Run("NUMPACKAGES and more words"), "SKYWARDEN\r\n");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].what, "available");
}

struct AgentCase {
    const char *line;
    const char *result;
    std::optional<Call> call;  // what reached the agent, if anything
};

TEST_F(Interpreter, RebootAndPowerDownWordsReachTheAgent)
{
    const std::string noUser = "DO-NOT-USE-USER-ID";
    const std::string noPass = "DO-NOT-USE-PASSWORD";
    const AgentCase cases[] = {
        {"REBOOTSYS 001122334455 admin secret 1", "7\r\n",
         Call{"reboot", "001122334455", "admin", "secret", ""}},
        {"POWERDOWNSYS 001122334455 admin secret 1", "7\r\n",
         Call{"powerdown", "001122334455", "admin", "secret", ""}},
        {"REBOOTSYS 001122334455 admin secret 01", "7\r\n",
         Call{"reboot", "001122334455", "admin", "secret", ""}},
        {"REBOOTSYS 001122334455 admin secret 1x", "7\r\n",
         Call{"reboot", "001122334455", "admin", "secret", ""}},
        {"REBOOTSYS 001122334455 admin secret 2", "101\r\n", std::nullopt},
        {"REBOOTSYS 001122334455 admin secret 0", "101\r\n", std::nullopt},
        {"REBOOTSYS 001122334455 admin secret x1", "101\r\n", std::nullopt},
        {"REBOOTSYS 001122334455 admin secret 4294967297", "101\r\n", std::nullopt},
        {"POWERDOWNSYS 001122334455 admin", "108\r\n", std::nullopt},
        {"REBOOTSYS", "108\r\n", std::nullopt},
        {"REBOOTSYS 001122334455 admin secret", "108\r\n", std::nullopt},
        {"REBOOTSYS 001122334455 DO-NOT-USE-USER-ID secret 1", "7\r\n",
         Call{"reboot", "001122334455", std::nullopt, std::nullopt, ""}},
        {"REBOOTSYS 001122334455 DO-NOT-USE-USER-IDX DO-NOT-USE-PASSWORD 1", "7\r\n",
         Call{"reboot", "001122334455", std::nullopt, std::nullopt, ""}},
        {"REBOOTSYS 001122334455 admin DO-NOT-USE-PASSWORD 1", "7\r\n",
         Call{"reboot", "001122334455", "admin", std::nullopt, ""}},
        {"POWERDOWNSYS   001122334455  admin   DO-NOT-USE-PASSWORDS  1  extra", "7\r\n",
         Call{"powerdown", "001122334455", "admin", std::nullopt, ""}},
        // The no-user word is compared over its length only.
        {"REBOOTSYS 001122334455 DO-NOT-USE-USER secret 1", "7\r\n",
         Call{"reboot", "001122334455", "DO-NOT-USE-USER", "secret", ""}},
    };
    agentResult = 7;
    for (const AgentCase &c : cases) {
        SCOPED_TRACE(c.line);
        calls.clear();
        EXPECT_EQ(Run(c.line), c.result);
        if (!c.call) {
            EXPECT_TRUE(calls.empty());
            continue;
        }
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].what, c.call->what);
        EXPECT_EQ(calls[0].mac, c.call->mac);
        EXPECT_EQ(calls[0].user, c.call->user);
        EXPECT_EQ(calls[0].password, c.call->password);
    }
}

TEST_F(Interpreter, AgentCodesAreWrittenUnchanged)
{
    for (int32_t code : {0, 102, 103, 108, -1}) {
        agentResult = code;
        EXPECT_EQ(Run("REBOOTSYS 001122334455 DO-NOT-USE-USER-ID x 1"),
                  std::to_string(code) + "\r\n");
    }
}

TEST_F(Interpreter, AStaleMarkerAndAnswerAreReplaced)
{
    kt::WriteFile(dir / "KOVABUSY", "old");
    kt::WriteFile(dir / "KOVA.TMP", "WAKE-SUCCESS\r\nold answer\r\n");
    wakeResult = 130;
    EXPECT_EQ(Run("WAKE 001122334455"), "WAKE-FAILURE\r\n");
}

TEST_F(Interpreter, AReadOnlyStaleAnswerIsNeverReadAsTheNewOne)
{
    namespace fs = std::filesystem;
    const fs::perms readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    for (int32_t code : {130, 0}) {
        SCOPED_TRACE(code);
        kt::WriteFile(dir / "KOVA.TMP", "WAKE-SUCCESS\r\n");
        fs::permissions(dir / "KOVA.TMP", readOnly);
        wakeResult = code;
        EXPECT_EQ(Run("WAKE 001122334455"), code ? "WAKE-FAILURE\r\n" : "WAKE-SUCCESS\r\n");
        // The new answer is writable, as any answer is.
        EXPECT_TRUE((fs::status(dir / "KOVA.TMP").permissions() & fs::perms::owner_write) !=
                    fs::perms::none);
    }
}

#ifndef _WIN32
TEST_F(Interpreter, AnAnswerThatCannotBeWrittenLeavesNoStaleAnswer)
{
    // No file may grow: the answer fails at its close, and the console
    // must not find an earlier request's answer (here a link to /dev/full).
    ASSERT_EQ(symlink("/dev/full", (dir / "KOVA.TMP").c_str()), 0);
    struct rlimit old, none;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    none = {0, old.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
    memset(cmdLine, 0, sizeof cmdLine);
    strcpy(cmdLine, "WAKE 001122334455");
    InterpretAndRunKOVACommand();
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(kt::Exists(dir / "KOVA.TMP"));
    EXPECT_FALSE(kt::Exists(dir / "KOVABUSY"));
}
#endif

TEST_F(Interpreter, AResultPathThatIsADirectoryIsLeftAlone)
{
    ASSERT_TRUE(std::filesystem::create_directory(dir / "KOVA.TMP"));
    for (const char *line : {"WAKE 001122334455", "NUMPACKAGES", "REBOOTSYS 1 2 3 1", "X"}) {
        SCOPED_TRACE(line);
        memset(cmdLine, 0, sizeof cmdLine);
        strcpy(cmdLine, line);
        EXPECT_EQ(InterpretAndRunKOVACommand(), 0);
        EXPECT_FALSE(kt::Exists(dir / "KOVABUSY"));
    }
    // No way to answer: the agent was asked nothing (the wake went out).
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "wake");
}

// Only the answer of this request is ever in KOVA.TMP: a stale one is gone
// before the agent is asked, and an action that could not answer is not
// made at all.
TEST_F(Interpreter, AnActionIsMadeOnlyWithAWayToAnswer)
{
    kt::WriteFile(dir / "KOVA.TMP", "0\r\n");
    EXPECT_EQ(Run("POWERDOWNSYS 001122334455 u p 1"), "0\r\n");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].answer, std::optional<std::string>(""));  // opened, still empty
}

}  // namespace
