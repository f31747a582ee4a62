// The 32-bit kova32ex under the Windows versions that Wine can report (the
// 64-bit one where this machine cannot run 32-bit Wine).
// Under win98 GetVersionExA names the older platform, so the program takes
// the half of the text pipe that peeks before every read and tops the pipe
// up with filler, here against Wine's real pipes instead of our stand-in;
// under nt40 and winxp it takes the NT half.  One table of agent scenarios
// is run by the Linux build on the same platform (KOVA_WINVER=95 for the
// older one) and by the Windows build in the version's prefix: the same
// answer, the same tool log and the same store as the table says.
//
// scripts/test.sh makes the prefixes, one per version, and names them in
// KOVA_WINEPREFIX_WIN98, KOVA_WINEPREFIX_NT40 and KOVA_WINEPREFIX_WINXP; each
// version's time is appended to the file KOVA_WINE_TIMES when it is set.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"
#include "winerun.h"

namespace {

using Env = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

const std::string kMac = "00A0C9123456";
const std::string kWith = "pc9\tx\ty\npc1\told\toldpw\n";  // a credential for pc1
const std::string kWithout = "pc9\tx\ty\n";
const std::string kReboot = "REBOOTSYS " + kMac + " admin secret 1";

const std::string L = "SKWSYSCMD /GETSYS /ALL";
const std::string LO = "SKWSECCMD /LISTOUT /HOST:\"pc1\"";
const std::string ADD = "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"admin\" /PWD:\"secret\"";
const std::string PING = "SKWSYSCMD /DOPING /SYSTAG:1A";
const std::string BOOT = "SKWSYSCMD /BOOTSYS /SYSTAG:1A";
const std::string RESTORE = "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"old\" /PWD:\"oldpw\"";
const std::string DEL = "SKWSECCMD /DELOUT /HOST:\"pc1\"";
const std::string PROBE = "SKWSECCMD /LISTOUT /HOST:\"KOVA-NO-CREDENTIAL.INVALID\"";
// The change and the undo are each checked with a listing.
const Lines kFull = {L, LO, ADD, LO, PING, BOOT, RESTORE, LO};

struct Version {
    const char *name;
    bool older;  // GetVersionExA names the older platform (KOVA_WINVER=95 on Linux)
};

void PrintTo(const Version &version, std::ostream *os)
{
    *os << version.name;
}

const Version kVersions[] = {
    {"win98", true},
    {"nt40", false},
    {"winxp", false},
};

// One request, and what it must leave behind on every build that runs it.
// The full table runs on the older platform; rows marked everyVersion also
// under the NT versions.
struct Scenario {
    const char *name;
    std::string line;
    Env env;             // kova32ex's and the tools' environment
    std::string store;   // the credential store before, and after
    std::string result;  // KOVA.TMP without its CR LF
    Lines log;           // the command lines the tools received
    bool everyVersion = false;
};

const Scenario kScenarios[] = {
    {"NUMPACKAGES", "NUMPACKAGES", {}, kWith, "SKYWARDEN", {"SKWSYSCMD /GETGRP /ALL"}, true},
    {"stored credential", kReboot, {}, kWith, "0", kFull, true},
    {"no stored credential", kReboot, {}, kWithout, "0",
     {L, LO, PROBE, ADD, LO, PING, BOOT, DEL, LO, PROBE}},
    {"slow before the first line", kReboot,
     {{"SKW_ONLY", "/GETSYS,/LISTOUT,/BOOTSYS"}, {"SKW_DELAY_MS", "500"}}, kWith, "0", kFull},
    {"slow on every line", kReboot, {{"SKW_SLOW_MS", "150"}}, kWith, "0", kFull},
    {"silent after the first line", kReboot,
     {{"SKW_ONLY", "/BOOTSYS"}, {"SKW_PAUSE_MS", "20000"}, {"KOVA_TOOL_TIMEOUT_MS", "2000"}},
     kWith, "108", kFull},
    {"never stops writing", kReboot,
     {{"SKW_ONLY", "/BOOTSYS"}, {"SKW_CHATTER", "still working\n"}, {"KOVA_TOOL_TOTAL_MS", "2000"}},
     kWith, "108", kFull},
    {"CR LF", kReboot, {{"SKW_CRLF", "1"}, {"SKW_RC", "3"}}, kWith, "107", kFull},
    {"lines longer than the buffer", kReboot,
     {{"SKW_ONLY", "/BOOTSYS"}, {"SKW_LONG_LINES", "600"}}, kWith, "0", kFull},
    {"no final line end", kReboot, {{"SKW_NO_FINAL_NEWLINE", "1"}}, kWith, "0", kFull},
    {"result after a Ctrl-Z", kReboot, {{"SKW_RC_LINE", "\x1aRC=0"}}, kWith, "108", kFull},
};

struct Outcome {
    std::string result, log, store;
    std::string trace;  // Wine's debugging output (WINEDEBUG in the row's env)
    int exitCode = -1;
};

std::string Joined(const Lines &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

// One PC's inventory and the given store in dir, and the environment that
// points the tools (and the request's locks and records) there.
Env Prepare(const std::string &dir, const std::string &store)
{
    kt::WriteFile(dir + "/inventory", "group GRPTAG=0x1 GRPNAME= \"All systems\"\n"
                                      "list SYSTAG=0x1A SYSNAME= \"pc one\"\n"
                                      "list ADDR= \"pc1\"\n"
                                      "list MAC=" + kMac + "\n");
    kt::WriteFile(dir + "/store", store);
    return {{"SKW_INVENTORY", dir + "/inventory"},
            {"SKW_CREDSTORE", dir + "/store"},
            {"SKW_LOG", dir + "/log"},
            {"KOVA_MUTEX_DIR", dir + "/mutex"},
            {"KOVA_STATE_DIR", dir + "/state"}};
}

// One request line in dir: by the Linux build on the version's platform, or
// by the Windows build in its prefix.
Outcome RunIn(const std::string &dir, const std::string &line, Env env, const Version &version,
              const kt::WindowsBuild *build, const std::string &prefix)
{
    kt::RunResult run;
    if (build) {
        env["WINEPREFIX"] = prefix;
        env["WINEPATH"] = build->dir + "/tools/skwtools";
        // Wine joins the words with single spaces into the command line.
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string word; in >> word;)
            words.push_back(word);
        run = kt::RunWine(build->kova, words, dir, env);
    } else {
        kt::RunOptions options;
        options.cwd = dir;
        options.env = env;
        options.env["PATH"] = std::string(KOVA_TOOLS_DIR) + "/skwtools:/usr/bin:/bin";
        options.env["KOVA_WINVER"] = version.older ? "95" : kt::kUnset;
        run = kt::Run({KOVA32EX_BIN, line}, options);
    }
    EXPECT_FALSE(run.timedOut);
    return {kt::ReadFile(dir + "/KOVA.TMP"), kt::ReadFile(dir + "/log"), kt::ReadFile(dir + "/store"),
            build ? run.err : "", run.exitCode};
}

Outcome RunScenario(const Scenario &s, const Version &version, const kt::WindowsBuild *build,
                    const std::string &prefix)
{
    kt::TempDir dir;
    Env env = Prepare(dir.path(), s.store);
    for (const auto &[name, value] : s.env)
        env[name] = value;
    Outcome outcome = RunIn(dir.path(), s.line, env, version, build, prefix);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.trace;
    return outcome;
}

class WineVersion : public ::testing::TestWithParam<Version> {
protected:
    void SetUp() override
    {
        build_ = kt::BuildOf(kt::ProductOrStandIn());
        std::string why = kt::WhyNot(build_);
        if (!why.empty())
            GTEST_SKIP() << why;
        std::string variable = "KOVA_WINEPREFIX_" + Upper(GetParam().name);
        const char *prefix = getenv(variable.c_str());
        if (!prefix || !kt::Exists(prefix))
            GTEST_SKIP() << variable << " names no prefix (scripts/test.sh makes one per run)";
        prefix_ = prefix;
    }

    static std::string Upper(std::string text)
    {
        for (char &c : text)
            c = char(toupper(static_cast<unsigned char>(c)));
        return text;
    }

    kt::WindowsBuild build_;
    std::string prefix_;
};

INSTANTIATE_TEST_SUITE_P(Versions, WineVersion, ::testing::ValuesIn(kVersions),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(WineVersion, AgentScenariosMatchTheLinuxBuildOnTheSamePlatform)
{
    const Version &version = GetParam();
    const auto start = std::chrono::steady_clock::now();

    // The half of the pipe that ran, from Wine's trace: only the NT half
    // makes pipe ends non-blocking, three of them per tool.
    Scenario traced = kScenarios[0];
    traced.env["WINEDEBUG"] = "trace+sync";
    std::string trace = RunScenario(traced, version, &build_, prefix_).trace;
    size_t nonBlocking = 0;
    for (size_t at = 0; (at = trace.find("trace:sync:SetNamedPipeHandleState", at)) != std::string::npos;
         at++)
        nonBlocking++;
    ASSERT_EQ(nonBlocking, version.older ? 0u : 3u) << trace;

    int ran = 0;
    for (const Scenario &s : kScenarios) {
        if (!version.older && !s.everyVersion)
            continue;
        SCOPED_TRACE(s.name);
        ran++;
        Outcome onLinux = RunScenario(s, version, nullptr, "");
        Outcome onWine = RunScenario(s, version, &build_, prefix_);
        EXPECT_EQ(onLinux.result, s.result + "\r\n");
        EXPECT_EQ(onLinux.log, Joined(s.log));
        EXPECT_EQ(onLinux.store, s.store);  // nothing lost, nothing left behind
        EXPECT_EQ(onWine.result, onLinux.result);
        EXPECT_EQ(onWine.log, onLinux.log);
        EXPECT_EQ(onWine.store, onLinux.store);
    }

    // A figure for the test command's summary, not a limit.
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    char line[96];
    snprintf(line, sizeof line, "%-28s %5d s wall (%d scenarios)\n",
             (std::string("wine ") + version.name).c_str(), int(seconds.count()), ran);
    std::printf("%s", line);
    if (const char *times = getenv("KOVA_WINE_TIMES"))
        std::ofstream(times, std::ios::app) << line;
}

// The section's choices by version, seen from outside: the lock's name in
// Wine's trace of CreateMutexA (only NT 5.0 and later have the Global
// namespace), and a request killed inside its section leaving the record
// whose host the lock names, which the next command uses to put the store
// back.
TEST_P(WineVersion, CredentialLockNameAndTheRecordOfADeadRequest)
{
    const bool global = std::string(GetParam().name) == "winxp";
    kt::TempDir dir;
    // Relay only the one call: a full relay trace slows every process.
    kt::RunWine("reg", {"add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/d",
                        "KERNEL32.CreateMutexA", "/f"},
                dir.path(), {{"WINEPREFIX", prefix_}});
    Env env = Prepare(dir.path(), kWith);
    env["SKW_KILL_CALLER"] = "/BOOTSYS";
    env["WINEDEBUG"] = "+relay";
    Outcome killed = RunIn(dir.path(), kReboot, env, GetParam(), &build_, prefix_);
    EXPECT_EQ(killed.store, kWithout + "pc1\tadmin\tsecret\n");  // the dead request's

    std::vector<std::string> records;
    for (const auto &entry : std::filesystem::directory_iterator(dir / "state"))
        records.push_back(entry.path().filename().string());
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].rfind("KOVACRED-", 0), 0u) << records[0];
    const std::string hash = records[0].substr(9, records[0].find('.') - 9);
    const std::string lock = std::string(global ? "\"Global\\\\" : "\"") + "KOVA-CRED-" + hash + "\"";
    EXPECT_NE(killed.trace.find("CreateMutexA("), std::string::npos) << killed.trace;
    EXPECT_NE(killed.trace.find(lock), std::string::npos) << lock << "\n" << killed.trace;

    env.erase("SKW_KILL_CALLER");
    env.erase("WINEDEBUG");
    Outcome next = RunIn(dir.path(), "NUMPACKAGES", env, GetParam(), &build_, prefix_);
    EXPECT_EQ(next.result, "SKYWARDEN\r\n");
    EXPECT_EQ(next.store, kWith);
    EXPECT_FALSE(kt::Exists(dir / ("state/" + records[0])));
}

}  // namespace
