// NUMPACKAGES, REBOOTSYS and POWERDOWNSYS end to end: the console driver
// starts kova32ex, which runs the substitute agent tools.  Checked: the
// result file, every command line the tools received (order and text), and
// the credential store, which must be byte for byte what it was before.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

const std::string kKovacon = std::string(KOVA_TOOLS_DIR) + "/kovacon/kovacon";
const std::string kTools = std::string(KOVA_TOOLS_DIR) + "/skwtools";
using Env = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

const std::string kMac = "001122334455";
const std::string kWith = "pc9\tx\ty\npc1\told\toldpw\n";  // a credential for pc1
const std::string kWithout = "pc9\tx\ty\n";

const std::string L = "SKWSYSCMD /GETSYS /ALL";
const std::string LO = "SKWSECCMD /LISTOUT /HOST:\"pc1\"";
const std::string ADD = "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"admin\" /PWD:\"secret\"";
const std::string PING = "SKWSYSCMD /DOPING /SYSTAG:1A";
const std::string BOOT = "SKWSYSCMD /BOOTSYS /SYSTAG:1A";
const std::string PWR = "SKWSYSCMD /PWRSYS /SYSTAG:1A";
const std::string RESTORE = "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"old\" /PWD:\"oldpw\"";
const std::string DEL = "SKWSECCMD /DELOUT /HOST:\"pc1\"";
// The host without a credential whose listing confirms a "none".
const std::string PROBE = "SKWSECCMD /LISTOUT /HOST:\"KOVA-NO-CREDENTIAL.INVALID\"";

struct Case {
    const char *name;
    std::string line;
    Env env;
    std::string store;  // before, and after
    std::string result; // KOVA.TMP, without its CR LF
    Lines log;
    std::optional<std::string> during = std::nullopt;  // the store as the request ran
};

class EndToEnd : public ::testing::Test {
protected:
    struct Outcome {
        std::string result, log, store;
        std::optional<std::string> during;
        std::string debug;  // the debugging channel's lines
    };

    Outcome Run(const std::string &line, const Env &env, const std::string &store,
                bool mayDie = false)
    {
        // Each tool in a PATH directory of its own, so either can go missing.
        for (const char *tool : {"SKWSYSCMD", "SKWSECCMD"}) {
            std::string bin = dir / (std::string(tool) + "-bin");
            mkdir(bin.c_str(), 0755);
            unlink((bin + "/" + tool).c_str());
            symlink((kTools + "/" + tool).c_str(), (bin + "/" + tool).c_str());
        }
        if (!store.empty())
            kt::WriteFile(dir / "store", store);
        unlink((dir / "log").c_str());
        unlink((dir / "during").c_str());
        unlink((dir / "debug").c_str());
        kt::RunOptions options;
        options.env = {{"PATH", (dir / "SKWSYSCMD-bin") + ":" + (dir / "SKWSECCMD-bin")},
                       {"SKW_INVENTORY", dir / "inventory"},
                       {"SKW_CREDSTORE", dir / "store"},
                       {"SKW_LOG", dir / "log"},
                       {"SKW_SNAPSHOT", dir / "during"},
                       {"SKW_DOPING_UNLINK", "\x01"},
                       {"KOVA_DEBUG_LOG", dir / "debug"},
                       {"KOVA_MUTEX_DIR", dir / "mutex"},  // named mutexes of this test alone
                       {"KOVA_STATE_DIR", dir / "state"}}; // and its rollback records
        for (const auto &[name, value] : env)
            options.env[name] = value;
        kt::RunResult run = kt::Run({kKovacon, line}, options);
        if (!mayDie) {
            EXPECT_EQ(run.exitCode, 0) << run.err;
        }
        Outcome outcome{run.out, kt::ReadFile(dir / "log"), kt::ReadFile(dir / "store"),
                        std::nullopt, kt::ReadFile(dir / "debug")};
        if (kt::Exists(dir / "during"))
            outcome.during = kt::ReadFile(dir / "during");
        return outcome;
    }

    void Check(const Case &c)
    {
        SCOPED_TRACE(c.name);
        Outcome outcome = Run(c.line, c.env, c.store);
        EXPECT_EQ(outcome.result, c.result + "\r\n");
        std::string log;
        for (const std::string &line : c.log)
            log += line + "\n";
        EXPECT_EQ(outcome.log, log);
        EXPECT_EQ(outcome.store, c.store);  // nothing lost, nothing left behind
        if (c.during) {
            EXPECT_EQ(outcome.during, c.during);
        }
    }

    // The rollback records left in the state folder.
    int Records()
    {
        int count = 0;
        if (DIR *folder = opendir((dir / "state").c_str())) {
            while (struct dirent *entry = readdir(folder))
                count += std::string(entry->d_name).find(".REC") != std::string::npos;
            closedir(folder);
        }
        return count;
    }

    // Waits (10 s at most) until no process holds a tool marker: every
    // tool that outlived its request has ended.
    void AwaitOutlivingTools()
    {
        DIR *folder = opendir((dir / "mutex").c_str());
        if (!folder)
            return;
        while (struct dirent *entry = readdir(folder)) {
            if (std::string(entry->d_name).rfind("event.", 0) != 0)
                continue;
            int fd = open((dir / ("mutex/" + std::string(entry->d_name))).c_str(), O_RDONLY);
            for (int i = 0; fd >= 0 && i < 1000 && flock(fd, LOCK_EX | LOCK_NB) != 0; i++)
                usleep(10000);
            if (fd >= 0)
                close(fd);
        }
        closedir(folder);
    }

    void SetUp() override
    {
        kt::WriteFile(dir / "inventory",
                      "group GRPTAG=0x1 GRPNAME= \"All systems\"\n"
                      "list SYSTAG=0x1A SYSNAME= \"pc one\"\n"
                      "list ADDR= \"pc1\"\n"
                      "list MAC=" + kMac + "\n"
                      "list SYSTAG=0x2B SYSNAME= \"pc two\"\n"
                      "list ADDR= \"" + std::string(120, 'a') + "\"\n"
                      "list MAC=AABBCCDDEEFF\n");
    }

    kt::TempDir dir;
};

// Every tool started, with its command line, how it ended, and the answer;
// the given password and the stored one appear nowhere, in whatever state
// the request ends.
TEST_F(EndToEnd, TheDebuggingChannelSaysWhyAndShowsNoPassword)
{
    const std::string masked = "/PWD:\"********\"";
    const struct {
        const char *name;
        Env env;
        Lines lines;  // in this order among the others
    } cases[] = {
        // A tool that ends by itself is seen either to have ended or to
        // still run as its output closes, as timing has it: no case expects
        // the one or the other.
        {"with credentials", {},
         {"request REBOOTSYS", "started " + L, "started " + LO,
          "credential listing for \"pc1\": one credential",
          "started SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"admin\" " + masked, "started " + BOOT,
          "started SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"old\" " + masked,
          "answer in KOVA.TMP: 0"}},
        {"silent tool",
         {{"SKW_ONLY", "/BOOTSYS"}, {"SKW_SILENT", "1"}, {"SKW_NEVER_END", "1"},
          {"KOVA_TOOL_TIMEOUT_MS", "300"}},
         {"started " + BOOT,
          "SKWSYSCMD given up at the silence limit of 300 ms before any output: ended",
          "SKWSYSCMD ended, exit code 1", "answer in KOVA.TMP: 108"}},
        {"tool that keeps writing",
         {{"SKW_ONLY", "/BOOTSYS"}, {"SKW_CHATTER", "PWD= \"oldpw\"\n"},
          {"KOVA_TOOL_TOTAL_MS", "300"}},
         {"started " + BOOT, "SKWSYSCMD given up at the total limit of 300 ms, after ",
          "answer in KOVA.TMP: 108"}},
        {"failing tool", {{"SKW_ONLY", "/BOOTSYS"}, {"SKW_FAIL", "1"}},
         {"started " + BOOT, "answer in KOVA.TMP: 108"}},
        {"no agent tools", {{"PATH", "/nonexistent"}},
         {"ReadTextPopen(): CreateProcess() failed; GetLastError: 2; command: " + L,
          "not looked up: the listing tool cannot be started", "answer in KOVA.TMP: 103"}},
        {"listing with an error line", {{"SKW_ONLY", "/LISTOUT"}, {"SKW_NOISE", "Error 5"}},
         {"credential listing for \"pc1\": not known, it is not understood",
          "credential for \"pc1\" not placed: the store's listing is not known",
          "the console's credential cannot be placed", "answer in KOVA.TMP: 108"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = Run("REBOOTSYS " + kMac + " admin secret 1", c.env, kWith);
        std::istringstream debug(outcome.debug);
        auto expected = c.lines.begin();
        for (std::string line; std::getline(debug, line);) {
            EXPECT_EQ(line.rfind("kova32ex: ", 0), 0u) << line;
            if (expected != c.lines.end() && line.find(*expected) != std::string::npos)
                ++expected;
        }
        EXPECT_TRUE(expected == c.lines.end()) << "missing: " << *expected << "\nin:\n"
                                               << outcome.debug;
        EXPECT_EQ(outcome.debug.find("secret"), std::string::npos) << outcome.debug;
        EXPECT_EQ(outcome.debug.find("oldpw"), std::string::npos) << outcome.debug;
    }
}

TEST_F(EndToEnd, NumPackagesAnswersSkyWardenOrNone)
{
    const struct {
        const char *name;
        Env env;
        std::string inventory;
        std::string result;
    } cases[] = {
        {"group listed", {}, "", "SKYWARDEN"},
        {"slow first line", {{"SKW_DELAY_MS", "400"}}, "", "SKYWARDEN"},
        {"no group", {}, "list SYSTAG=0x1A\n", "NONE"},
        {"no tool", {{"PATH", "/nonexistent"}}, "", "NONE"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.inventory.empty())
            kt::WriteFile(dir / "inventory", c.inventory);
        Outcome outcome = Run("NUMPACKAGES", c.env, kWith);
        EXPECT_EQ(outcome.result, c.result + "\r\n");
        EXPECT_EQ(outcome.log, c.env.count("PATH") ? "" : "SKWSYSCMD /GETGRP /ALL\n");
    }
}

TEST_F(EndToEnd, CredentialsAreStoredForTheRequestAndPutBack)
{
    const std::string reboot = "REBOOTSYS " + kMac + " admin secret 1";
    // The change, then its check; the undo, then its check.
    const Lines full = {L, LO, ADD, LO, PING, BOOT, RESTORE, LO};
    const Lines refused = {L, LO}; // 108: no tool after the listing
    const Lines refusedNone = {L, LO, PROBE};
    const Case cases[] = {
        {"no user ID", "REBOOTSYS " + kMac + " DO-NOT-USE-USER-ID secret 1", {}, kWith, "0",
         {L, PING, BOOT}, kWith},
        {"stored credential", reboot, {}, kWith, "0", full, "pc9\tx\ty\npc1\tadmin\tsecret\n"},
        {"no stored credential", reboot, {}, kWithout, "0",
         {L, LO, PROBE, ADD, LO, PING, BOOT, DEL, LO, PROBE},
         kWithout + "pc1\tadmin\tsecret\n"},
        {"no password", "POWERDOWNSYS " + kMac + " admin DO-NOT-USE-PASSWORD 1", {}, kWith, "0",
         {L, LO, "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"admin\" /PWD:\"\"", LO, PING, PWR, RESTORE,
          LO},
         "pc9\tx\ty\npc1\tadmin\t\n"},
        {"slow listing", reboot,
         {{"SKW_ONLY", "/LISTOUT"}, {"SKW_DELAY_MS", "300"}, {"SKW_PAUSE_MS", "300"}}, kWith, "0",
         full},
        {"slow store change", reboot, {{"SKW_ONLY", "/ADDOUT"}, {"SKW_DELAY_MS", "400"}}, kWith,
         "0", full, "pc9\tx\ty\npc1\tadmin\tsecret\n"},
        {"older platform", reboot, {{"KOVA_WINVER", "95"}}, kWith, "0", full},
        // The filler after the first listing's output is no part of its words.
        {"older platform, no stored credential", reboot, {{"KOVA_WINVER", "95"}}, kWithout, "0",
         {L, LO, PROBE, ADD, LO, PING, BOOT, DEL, LO, PROBE}, kWithout + "pc1\tadmin\tsecret\n"},
        // A header that may name a credential is no longer passed over.
        {"header and column titles in the listing", reboot,
         {{"SKW_ONLY", "/LISTOUT"}, {"SKW_NOISE", "HOSTNAME= \"agent\" PWDAGE=3|HOST USERID PWD"}},
         kWith, "108", refused},
        {"column titles in the listing", reboot,
         {{"SKW_ONLY", "/LISTOUT"}, {"SKW_NOISE", "HOST USERID PWD"}}, kWith, "0", full},
        {"table in the listing", reboot, {{"SKW_NOISE", "Host  User ID  Password|pc1 old oldpw"}},
         kWith, "108", refused},
        {"error line, exit 0", reboot, {{"SKW_NOISE", "Error: store unavailable"}}, kWithout, "108",
         refused},
        {"listing prints nothing", reboot, {{"SKW_ONLY", "/LISTOUT"}, {"SKW_SILENT", "1"}},
         kWithout, "108", refused},
        {"quote in the stored password", reboot, {}, "pc1\told\tor\"ig1\n", "108", refused},
        // Cut short, each would be "restored" as another value.
        {"quote and blank in the stored password", reboot, {}, "pc1\told\tp\" q\n", "108", refused},
        {"quote and comma in the stored password", reboot, {}, "pc1\told\tp\",q\n", "108", refused},
        {"quote in the stored user ID", reboot, {}, "pc1\tad\" x\toldpw\n", "108", refused},
        {"trouble word in a stored value", reboot, {}, "pc1\told\tUnknown7\n", "0",
         {L, LO, ADD, LO, PING, BOOT, "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"old\" /PWD:\"Unknown7\"",
          LO}},
        // Said alike of every host: no "none" without the agent's own word.
        {"agent not running", reboot,
         {{"SKW_ONLY", "/LISTOUT"}, {"SKW_NOISE", "The agent service is not running."}}, kWithout,
         "108", refused},
        {"store locked", reboot,
         {{"SKW_ONLY", "/LISTOUT"},
          {"SKW_NOISE", "No outbound credentials found (credential store is locked by another process)"}},
         kWithout, "108", refused},
        {"Ctrl-Z before the credential", reboot, {{"SKW_ONLY", "/LISTOUT"}, {"SKW_NOISE", "\x1a"}},
         kWith, "108", refused},
        {"CR in the stored password", reboot, {}, "pc1\told\tor\rig1\n", "108", refused},
        {"listing for another host", reboot, {{"SKW_LISTOUT_HOST", "pc9"}}, kWith, "108", refused},
        {"two credentials listed", reboot, {{"SKW_LISTOUT_ALL", "1"}}, kWith, "108", refused},
        {"stored value too long", reboot, {}, "pc1\told\t" + std::string(70, 'p') + "\n", "108",
         refused},
        {"listing fails", reboot, {{"SKW_ONLY", "/LISTOUT"}, {"SKW_FAIL", "1"}}, kWith, "108",
         refused},
        {"listing ended for silence", reboot,
         {{"SKW_ONLY", "/LISTOUT"}, {"SKW_PAUSE_MS", "20000"}, {"KOVA_TOOL_TIMEOUT_MS", "400"}},
         kWith, "108", refused},
        {"no credential tool", reboot, {{"PATH", (dir / "SKWSYSCMD-bin")}}, kWith, "108", {L}},
        {"user ID too long", "REBOOTSYS " + kMac + " " + std::string(100, 'u') + " pw 1", {}, kWith,
         "108", {L}},
        {"quote in password", "REBOOTSYS " + kMac + " admin se\"cret 1", {}, kWith, "108", {L}},
        {"user ID ends in backslash", "REBOOTSYS " + kMac + " admin\\ secret 1", {}, kWith, "108",
         {L}},
        {"stored password ends in backslash", reboot, {}, "pc1\told\toldpw\\\n", "108", refused},
        {"address too long", "REBOOTSYS AABBCCDDEEFF admin secret 1", {}, kWith, "108", {L}},
    };
    for (const Case &c : cases)
        Check(c);
}

TEST_F(EndToEnd, FailuresPutTheStoreBack)
{
    const std::string reboot = "REBOOTSYS " + kMac + " admin secret 1";
    const Env gone = {{"SKW_DOPING_UNLINK", dir / "SKWSYSCMD-bin/SKWSYSCMD"}};
    const Case cases[] = {
        {"unknown MAC", "REBOOTSYS 665544332211 admin secret 1", {}, kWith, "103", {L}},
        {"no listing tool", reboot, {{"PATH", "/nonexistent"}}, kWith, "103", {}},
        {"request tool missing", reboot, gone, kWith, "102", {L, LO, ADD, LO, PING, RESTORE, LO}},
        {"request tool missing, nothing stored", reboot, gone, kWithout, "102",
         {L, LO, PROBE, ADD, LO, PING, DEL, LO, PROBE}},
        {"silent request tool", reboot,
         {{"SKW_ONLY", "/BOOTSYS"}, {"SKW_SILENT", "1"}, {"SKW_NEVER_END", "1"},
          {"KOVA_TOOL_TIMEOUT_MS", "400"}},
         kWith, "108", {L, LO, ADD, LO, PING, BOOT, RESTORE, LO}},
        {"request tool silent after a line", reboot,
         {{"SKW_ONLY", "/BOOTSYS"}, {"SKW_PAUSE_MS", "20000"}, {"KOVA_TOOL_TIMEOUT_MS", "400"}},
         kWith, "108", {L, LO, ADD, LO, PING, BOOT, RESTORE, LO}},
        {"no result line", reboot, {{"SKW_RC", "none"}}, kWithout, "108",
         {L, LO, PROBE, ADD, LO, PING, BOOT, DEL, LO, PROBE}},
    };
    for (const Case &c : cases)
        Check(c);

    // No way to answer (KOVA.TMP cannot be opened): the agent is asked nothing.
    for (const char *line : {"REBOOTSYS 001122334455 admin secret 1", "POWERDOWNSYS 001122334455 a b 1"}) {
        Outcome none = Run(line, {{"KOVA_FAIL", "fopen"}}, kWith, true);
        EXPECT_EQ(none.log, "");
        EXPECT_NE(none.debug.find("no way to answer: the agent is not asked"), std::string::npos);
    }
}

TEST_F(EndToEnd, ToolsThatStallOrNeverStopStillLeaveTheStoreAsItWas)
{
    const std::string reboot = "REBOOTSYS " + kMac + " admin secret 1";
    const std::string changed = "pc9\tx\ty\npc1\tadmin\tsecret\n";
    const Env silentStore = {{"SKW_ONLY", "/ADDOUT"}, {"SKW_SILENT", "1"}, {"SKW_NEVER_END", "1"},
                             {"KOVA_TOOL_TIMEOUT_MS", "300"}};
    auto chatter = [](const char *word, const char *text) {
        return Env{{"SKW_ONLY", word}, {"SKW_CHATTER", text}, {"KOVA_TOOL_TOTAL_MS", "400"}};
    };
    const Lines full = {L, LO, ADD, LO, PING, BOOT, RESTORE, LO};
    const Lines fullNone = {L, LO, PROBE, ADD, LO, PING, BOOT, DEL, LO, PROBE};
    const Case cases[] = {
        {"store tool silent after its change", reboot, silentStore, kWith, "0", full, changed},
        {"store tool silent after its change, nothing stored before", reboot, silentStore, kWithout,
         "0", fullNone, kWithout + "pc1\tadmin\tsecret\n"},
        // The credential is not seen in place: put back, and no request.
        {"store tool fails", reboot, {{"SKW_ONLY", "/ADDOUT"}, {"SKW_FAIL", "1"}}, kWith, "108",
         {L, LO, ADD, LO, RESTORE, LO}},
        {"store tool never stops writing", reboot, chatter("/ADDOUT", "stored\n"), kWith, "0", full,
         changed},
        {"listing never stops writing", reboot, chatter("/LISTOUT", "HOST USERID PWD\n"), kWith,
         "108", {L, LO}},
        {"request tool never stops writing", reboot, chatter("/BOOTSYS", "still working\n"), kWith,
         "108", full, changed},
        {"request tool writes one endless line", reboot, chatter("/BOOTSYS", "."), kWithout, "108",
         fullNone},
    };
    for (const Case &c : cases)
        Check(c);

    // A system listed without an address: never a credential under an
    // empty host name, and never the request without the console's.
    const std::string noAddress[] = {
        "list SYSTAG=0x1A SYSNAME= \"pc one\"\nlist MAC=" + kMac + "\n",
        "list SYSTAG=0x1A SYSNAME= \"pc one\" ADDR= \"pc1\"\nlist MAC=" + kMac + "\n",
        "list SYSTAG=0x1A SYSNAME= \"pc one\"\nlist ONLINE=TRUE\nlist ADDR= \"pc1\"\nlist MAC=" +
            kMac + "\n",
    };
    for (const std::string &inventory : noAddress) {
        kt::WriteFile(dir / "inventory", inventory);
        Check({"no address", reboot, {}, kWith, "108", {L}});
        Check({"no address, quote in password", "REBOOTSYS " + kMac + " admin se\"cret 1", {},
               kWith, "108", {L}});
    }
}

// Ten requests for one PC at once, each with its own user ID: their store
// sections run one after another, each request's own credential is in the
// store while its request runs, and the administrator's is there at the
// end.  A request that cannot wait long enough is not made.
TEST_F(EndToEnd, RequestsForOnePcAtOnceTakeTurnsWithTheStore)
{
    Run("NUMPACKAGES", {}, kWith); // the tool directories
    kt::WriteFile(dir / "store", kWith);
    std::string script = "for i in 0 1 2 3 4 5 6 7 8 9; do SKW_SNAPSHOT=$D/during$i "
                         "$KOVACON \"REBOOTSYS " + kMac + " user$i pw$i 1\" >$D/out$i 2>&1 "
                         "|| echo \"exit $?\" >>$D/out$i & done; wait";
    kt::RunOptions options;
    options.env = {{"PATH", (dir / "SKWSYSCMD-bin") + ":" + (dir / "SKWSECCMD-bin")},
                   {"SKW_INVENTORY", dir / "inventory"}, {"SKW_CREDSTORE", dir / "store"},
                   {"SKW_LOG", dir / "log"}, {"KOVA_MUTEX_DIR", dir / "mutex"},
                   {"KOVA_STATE_DIR", dir / "state"},
                   {"D", dir.path()}, {"KOVACON", kKovacon}};
    options.timeout = std::chrono::milliseconds(120000);
    kt::RunResult run = kt::Run({"/bin/sh", "-c", script}, options);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (int i = 0; i < 10; i++) {
        SCOPED_TRACE(i);
        std::string n = std::to_string(i);
        EXPECT_EQ(kt::ReadFile(dir / ("out" + n)), "0\r\n"); // and no KOVABUSY left
        EXPECT_EQ(kt::ReadFile(dir / ("during" + n)), "pc9\tx\ty\npc1\tuser" + n + "\tpw" + n + "\n");
    }
    EXPECT_EQ(kt::ReadFile(dir / "store"), kWith);
    // The credential tool's lines come in whole sections, never mixed.
    std::string sections, expected;
    std::istringstream log(kt::ReadFile(dir / "log"));
    for (std::string line; std::getline(log, line);)
        if (line.rfind("SKWSECCMD", 0) == 0)
            sections += line.find("/LISTOUT") != std::string::npos ? "L" : "A";
    for (int i = 0; i < 10; i++)
        expected += "LALAL"; // list, store, check; put back, check
    EXPECT_EQ(sections, expected);

    // One request holds the section for seconds; another that may wait
    // only 200 ms runs no tool after the system listing and answers 108.
    unlink((dir / "log").c_str());
    script = "SKW_ONLY=/BOOTSYS SKW_DELAY_MS=3000 $KOVACON \"REBOOTSYS " + kMac +
             " slow pw 1\" >$D/slow 2>&1 & "
             "while ! grep -q BOOTSYS $D/log 2>/dev/null; do sleep 0.05; done; "
             "KOVA_CRED_WAIT_MS=200 $KOVACON \"REBOOTSYS " + kMac + " quick pw 1\" >$D/quick 2>&1; "
             "wait";
    options.env["PATH"] += ":/usr/bin:/bin";
    run = kt::Run({"/bin/sh", "-c", script}, options);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(kt::ReadFile(dir / "slow"), "0\r\n");
    EXPECT_EQ(kt::ReadFile(dir / "quick"), "108\r\n"); // no section, no request
    EXPECT_EQ(kt::ReadFile(dir / "log"),
              L + "\n" + LO + "\n" + "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"slow\" /PWD:\"pw\"\n" +
                  LO + "\n" + PING + "\n" + BOOT + "\n" + L + "\n" + RESTORE + "\n" + LO + "\n");
    EXPECT_EQ(kt::ReadFile(dir / "store"), kWith);
}

// A request that dies inside its section (the console gave up, the PC
// rebooted) leaves a record; the next agent command, whatever it is, puts
// the administrator's credential back and forgets the record.
TEST_F(EndToEnd, TheNextCommandUndoesWhatADeadRequestLeft)
{
    const std::string reboot = "REBOOTSYS " + kMac + " admin secret 1";
    const std::string other = "REBOOTSYS " + kMac + " other pw 1";
    const struct {
        const char *step;
        std::string store;
    } steps[] = {
        {"/SETUID:\"admin\"", kWith}, // the temporary /ADDOUT
        {"/DOPING", kWith},
        {"/BOOTSYS", kWith},
        {"/SETUID:\"old\"", kWith},   // the restoring /ADDOUT
        {"/BOOTSYS", kWithout},
        {"/DELOUT", kWithout},
    };
    for (const auto &step : steps) {
        for (const std::string &next : {std::string("NUMPACKAGES"), other}) {
            SCOPED_TRACE(std::string(step.step) + " then " + next);
            Run(reboot, {{"SKW_KILL_CALLER", step.step}}, step.store, true);
            EXPECT_EQ(Records(), 1);
            Outcome outcome = Run(next, {}, "");
            EXPECT_EQ(outcome.result, next == other ? "0\r\n" : "SKYWARDEN\r\n");
            EXPECT_EQ(outcome.store, step.store);
            EXPECT_EQ(Records(), 0);
        }
    }

    // The administrator set a new credential after the request died: it stays.
    Run(reboot, {{"SKW_KILL_CALLER", "/BOOTSYS"}}, kWith, true);
    Outcome outcome = Run("NUMPACKAGES", {}, "pc1\tnew\tnewpw\n");
    EXPECT_EQ(outcome.store, "pc1\tnew\tnewpw\n");
    EXPECT_EQ(outcome.log, "SKWSECCMD /LISTOUT /HOST:\"pc1\"\nSKWSYSCMD /GETGRP /ALL\n");
    EXPECT_EQ(Records(), 0);

    // A record that cannot be read stays, and its host gets no request.
    Run(reboot, {{"SKW_KILL_CALLER", "/BOOTSYS"}}, kWith, true);
    DIR *folder = opendir((dir / "state").c_str());
    ASSERT_NE(folder, nullptr);
    std::string record;
    while (struct dirent *entry = readdir(folder))
        if (std::string(entry->d_name).find(".REC") != std::string::npos)
            record = dir / ("state/" + std::string(entry->d_name));
    closedir(folder);
    std::string kept = kt::ReadFile(record);
    kt::WriteFile(record, "KOVACRED PLAIN\nHOST=pc1\n");
    outcome = Run("REBOOTSYS " + kMac + " DO-NOT-USE-USER-ID x 1", {}, "");
    EXPECT_EQ(outcome.result, "108\r\n");
    EXPECT_EQ(outcome.log, L + "\n");
    const std::string aside = record.substr(0, record.size() - 4) + ".BAD";
    EXPECT_TRUE(kt::Exists(aside)); // moved aside, its PC refused while it is there
    EXPECT_EQ(Records(), 0);
    unlink(aside.c_str());
    kt::WriteFile(record, kept); // readable again: mended by the next command
    EXPECT_EQ(Run("NUMPACKAGES", {}, "").store, kWith);
    EXPECT_EQ(Records(), 0);
}

// A restore that fails, hangs or does nothing keeps the record (the answer
// stays the request's own); the next agent command mends the store.
// Tools do not end with their caller on Windows: one that a dead or done
// request started may still change the store, or still work under the
// console's credential.  The store goes back only once it has ended.
TEST_F(EndToEnd, NoToolOfARequestSeesTheStoreGoBackBeforeItEnds)
{
    const std::string reboot = "REBOOTSYS " + kMac + " admin secret 1";
    const std::string console = "pc9\tx\ty\npc1\tadmin\tsecret\n";
    const std::string last = dir / "last";
    const Env outlive = {{"SKW_OUTLIVE", "1"}};
    const struct {
        const char *name;
        Env env;
        bool dies;
        std::string lastStore;  // as the tool ended, "" when it takes none
    } cases[] = {
        {"killed as a slow /ADDOUT starts",
         {{"SKW_ONLY", "/ADDOUT"}, {"SKW_KILL_CALLER", "/SETUID:\"admin\""}}, true, ""},
        {"orphaned request tool",
         {{"SKW_ONLY", "/BOOTSYS"}, {"SKW_KILL_CALLER", "/BOOTSYS"}, {"SKW_SNAPSHOT_LAST", last}},
         true, console},
        {"request tool works on after its result line",
         {{"SKW_ONLY", "/BOOTSYS"}, {"SKW_LINGER_MS", "300"}, {"SKW_SNAPSHOT_LAST", last}}, false,
         console},
    };
    const std::string gate = dir / "gate";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(last.c_str());
        unlink(gate.c_str());
        Env env = c.env;
        env.insert(outlive.begin(), outlive.end());
        env["SKW_GATE"] = gate;
        Outcome outcome = Run(reboot, env, kWith, c.dies);
        if (c.dies) {
            // The orphan acts only once the next command waits for it.
            auto next = std::async(std::launch::async, [&] { return Run("NUMPACKAGES", {}, ""); });
            for (int i = 0; i < 3000 && kt::ReadFile(dir / "debug").find("still runs, waiting") ==
                                            std::string::npos;
                 i++)
                usleep(10000);
            kt::WriteFile(gate, "");
            outcome = next.get();
            EXPECT_NE(outcome.debug.find("a tool of a request that died still runs"),
                      std::string::npos) << outcome.debug;
            AwaitOutlivingTools();
            outcome.store = kt::ReadFile(dir / "store");
        } else {
            EXPECT_EQ(outcome.result, "0\r\n");
        }
        EXPECT_EQ(outcome.store, kWith);
        EXPECT_EQ(Records(), 0);
        if (!c.lastStore.empty()) {
            EXPECT_EQ(kt::ReadFile(last), c.lastStore);
        }
    }
}

TEST_F(EndToEnd, AFailedRestoreIsMendedByTheNextCommand)
{
    const std::string reboot = "REBOOTSYS " + kMac + " admin secret 1";
    const struct {
        const char *name;
        Env env;
        std::string store;
    } cases[] = {
        {"exit 1", {{"SKW_FAIL", "1"}}, kWith},
        {"hang", {{"SKW_DELAY_MS", "20000"}, {"KOVA_TOOL_TIMEOUT_MS", "400"}}, kWith},
        {"exit 0, nothing done", {{"SKW_IGNORE", "1"}}, kWith},
        {"exit 0, nothing deleted", {{"SKW_IGNORE", "1"}}, kWithout},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Env env = c.env;
        env["SKW_MATCH"] = c.store == kWith ? "/SETUID:\"old\"" : "/DELOUT";
        Outcome outcome = Run(reboot, env, c.store);
        EXPECT_EQ(outcome.result, "0\r\n");
        EXPECT_NE(outcome.store, c.store);
        EXPECT_EQ(Records(), 1);
        EXPECT_EQ(Run("NUMPACKAGES", {}, "").store, c.store);
        EXPECT_EQ(Records(), 0);
    }
}

// Few file descriptors: whatever the request manages, nothing is lost
// once the next agent command ran.
TEST_F(EndToEnd, FewFileDescriptorsLoseNothing)
{
    std::string wrapper = dir / "limited";
    kt::WriteFile(wrapper, "#!/bin/sh\nulimit -n $KOVA_TEST_FDS\nexec " KOVA32EX_BIN " \"$@\"\n");
    chmod(wrapper.c_str(), 0755);
    for (int fds = 12; fds <= 20; fds++) {
        SCOPED_TRACE(fds);
        Run("REBOOTSYS " + kMac + " admin secret 1",
            {{"KOVA32EX", wrapper}, {"KOVA_TEST_FDS", std::to_string(fds)}}, kWith, true);
        EXPECT_EQ(Run("NUMPACKAGES", {}, "").store, kWith);
        EXPECT_EQ(Records(), 0);
    }
}

// Two requests for one PC from different environments (session
// namespace, runtime and temporary folders, home) still take turns.
TEST_F(EndToEnd, RequestsFromDifferentEnvironmentsTakeTurns)
{
    Run("NUMPACKAGES", {}, kWith); // the tool directories
    std::string script =
        "SKW_ONLY=/BOOTSYS SKW_DELAY_MS=1500 SKW_SNAPSHOT=$D/during1 KOVA_WINVER=95 "
        "XDG_RUNTIME_DIR=$D TMPDIR=$D HOME=$D $KOVACON \"REBOOTSYS " + kMac + " one pw1 1\" "
        ">$D/out1 2>&1 & "
        "while ! grep -q BOOTSYS $D/log 2>/dev/null; do sleep 0.05; done; "
        "SKW_SNAPSHOT=$D/during2 $KOVACON \"REBOOTSYS " + kMac + " two pw2 1\" >$D/out2 2>&1; wait";
    kt::RunOptions options;
    options.env = {{"PATH", (dir / "SKWSYSCMD-bin") + ":" + (dir / "SKWSECCMD-bin") + ":/usr/bin:/bin"},
                   {"SKW_INVENTORY", dir / "inventory"}, {"SKW_CREDSTORE", dir / "store"},
                   {"SKW_LOG", dir / "log"}, {"KOVA_MUTEX_DIR", dir / "mutex"},
                   {"KOVA_STATE_DIR", dir / "state"}, {"D", dir.path()}, {"KOVACON", kKovacon}};
    unlink((dir / "log").c_str());
    kt::RunResult run = kt::Run({"/bin/sh", "-c", script}, options);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (const char *n : {"1", "2"})
        EXPECT_EQ(kt::ReadFile(dir / (std::string("out") + n)), "0\r\n");
    EXPECT_EQ(kt::ReadFile(dir / "during1"), "pc9\tx\ty\npc1\tone\tpw1\n");
    EXPECT_EQ(kt::ReadFile(dir / "during2"), "pc9\tx\ty\npc1\ttwo\tpw2\n");
    EXPECT_EQ(kt::ReadFile(dir / "store"), kWith);
}

TEST_F(EndToEnd, ResultNumbersBecomeResultCodes)
{
    const std::string reboot = "REBOOTSYS " + kMac + " DO-NOT-USE-USER-ID x 1";
    const std::string codes[] = {"0",   "104", "105", "107", "104", "104", "105", "106",
                                 "105", "105", "106", "106", "106", "106", "108"};
    std::vector<Case> cases;
    for (int n = 0; n <= 14; n++)
        cases.push_back({"RC", reboot, {{"SKW_RC", std::to_string(n)}}, kWith, codes[n],
                         {L, PING, BOOT}});
    cases.push_back({"RC=-1", reboot, {{"SKW_RC", "-1"}}, kWith, "108", {L, PING, BOOT}});
    cases.push_back({"noise first", "POWERDOWNSYS " + kMac + " DO-NOT-USE-USER-ID x 1",
                     {{"SKW_NOISE", "SOURCE=3|RC follows|PRC=x"}, {"SKW_RC", " +7"}}, kWith, "106",
                     {L, PING, PWR}});
    cases.push_back({"beyond 32 bits", reboot, {{"SKW_RC", "4294967296"}}, kWith, "108",
                     {L, PING, BOOT}});
    cases.push_back({"CR LF", reboot, {{"SKW_RC", "3"}, {"SKW_CRLF", "1"}}, kWith, "107",
                     {L, PING, BOOT}});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.env.begin()->second);
        Check(c);
    }
}

// ---- The record's folder and files ------------------------------------

// The entries of a folder, in the order the layer's FindFirstFileA gives.
Lines FolderEntries(const std::string &folder)
{
    Lines names;
    if (DIR *d = opendir(folder.c_str())) {
        while (struct dirent *entry = readdir(d))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(d);
    }
    return names;
}

std::string RecordName(uint32_t hash, const char *extension)
{
    char name[32];
    snprintf(name, sizeof name, "KOVACRED-%08X.%s", hash, extension);
    return name;
}

uint32_t HostHash(const std::string &host)
{
    uint32_t hash = 2166136261u;
    for (unsigned char c : host)
        hash = (hash ^ c) * 16777619u;
    return hash;
}

// A death just before each disk step of the record's write, undo and
// removal: the next command puts the store back, and no file of the state
// folder holds a password afterwards.
TEST_F(EndToEnd, ADeathAtAnyDiskStepIsMendedByTheNextCommand)
{
    const std::string reboot = "REBOOTSYS " + kMac + " admin secret 1";
    const struct {
        const char *call;
        Env env;
    } calls[] = {
        {"WriteFile", {}},
        {"FlushFileBuffers", {}},
        {"MoveFileExA", {}},
        {"DeleteFileA", {}},
        {"MoveFileA", {{"KOVA_WINVER", "95"}}}, // no MoveFileExA there
    };
    for (const auto &call : calls) {
        int deaths = 0;
        for (int n = 1; n < 10; n++) {
            std::string die = std::string(call.call) + "#" + std::to_string(n);
            SCOPED_TRACE(die);
            Env env = call.env;
            env["KOVA_DIE"] = die;
            if (Run(reboot, env, kWith, true).result == "0\r\n")
                break; // no such call before the answer
            deaths++;
            EXPECT_EQ(Run("NUMPACKAGES", {}, "").store, kWith);
            for (const std::string &name : FolderEntries(dir / "state")) {
                std::string text = kt::ReadFile(dir / ("state/" + name));
                EXPECT_EQ(text.find("oldpw"), std::string::npos) << name;
                EXPECT_EQ(text.find("secret"), std::string::npos) << name;
            }
            EXPECT_EQ(FolderEntries(dir / "state"), Lines{});
        }
        EXPECT_GT(deaths, 0) << call.call;
    }
}

// A folder that is not the user's alone, or a write that fails, gets no
// record and the request no credential: 108, nothing after the listing.
TEST_F(EndToEnd, NoRecordWhereTheFolderIsNotTheUsersAlone)
{
    const std::string reboot = "REBOOTSYS " + kMac + " admin secret 1";
    mkdir((dir / "loose").c_str(), 0700);
    chmod((dir / "loose").c_str(), 0755);
    mkdir((dir / "real").c_str(), 0700);
    symlink((dir / "real").c_str(), (dir / "linked").c_str());
    const struct {
        const char *name;
        Env env;
        std::string result;
        Lines log;
        std::string why; // on the debugging channel
    } cases[] = {
        {"full state folder", {{"KOVA_FAIL", "WriteFile"}}, "108", {L, LO},
         "rollback record cannot be written, error 112"},
        {"loose state folder", {{"KOVA_STATE_DIR", dir / "loose"}}, "108", {L, LO},
         "loose refused: it lets others in"},
        {"linked state folder", {{"KOVA_STATE_DIR", dir / "linked"}}, "108", {L, LO},
         "linked refused: it is a link"},
        // The older platform has no access control to check (a limit).
        {"loose state folder, older platform",
         {{"KOVA_STATE_DIR", dir / "loose"}, {"KOVA_WINVER", "95"}}, "0",
         {L, LO, ADD, LO, PING, BOOT, RESTORE, LO}, "answer in KOVA.TMP: 0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = Run(reboot, c.env, kWith);
        EXPECT_EQ(outcome.result, c.result + "\r\n");
        std::string log;
        for (const std::string &line : c.log)
            log += line + "\n";
        EXPECT_EQ(outcome.log, log);
        EXPECT_EQ(outcome.store, kWith);
        EXPECT_NE(outcome.debug.find(c.why), std::string::npos) << outcome.debug;
        for (const char *folder : {"state", "loose", "real"})
            EXPECT_EQ(FolderEntries(dir / folder), Lines{}) << folder;
    }
}

// A link planted at the temporary record's name is removed, never
// followed: its target keeps its bytes, a missing target is not made.
TEST_F(EndToEnd, ALinkAtTheTemporaryNameIsRemovedNotFollowed)
{
    const std::string reboot = "REBOOTSYS " + kMac + " admin secret 1";
    const std::string planted = dir / ("state/" + RecordName(HostHash("pc1"), "NEW"));
    mkdir((dir / "state").c_str(), 0700);
    kt::WriteFile(dir / "target", "the administrator's file\n");
    for (const std::string &target : {dir / "target", dir / "absent"}) {
        SCOPED_TRACE(target);
        ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
        Check({"planted link", reboot, {}, kWith, "0", {L, LO, ADD, LO, PING, BOOT, RESTORE, LO},
               "pc9\tx\ty\npc1\tadmin\tsecret\n"});
        EXPECT_EQ(kt::ReadFile(dir / "target"), "the administrator's file\n");
        EXPECT_FALSE(kt::Exists(dir / "absent"));
        EXPECT_EQ(FolderEntries(dir / "state"), Lines{});
    }
}

// Six records that cannot be read, listed before a real one: each is moved
// aside and named, and the real one is settled by the same command.
TEST_F(EndToEnd, DamagedRecordsAreMovedAsideAndHoldUpNoOther)
{
    Run("REBOOTSYS " + kMac + " admin secret 1", {{"SKW_KILL_CALLER", "/BOOTSYS"}}, kWith, true);
    const std::string real = RecordName(HostHash("pc1"), "REC");
    ASSERT_EQ(FolderEntries(dir / "state"), Lines{real});
    const std::string kept = kt::ReadFile(dir / ("state/" + real));
    const std::string damaged[] = {
        "",                                          // empty
        "not a record\n",                            // no header
        "KOVACRED PLAIN\nHOST=pc1\n",                // cut short
        "KOVACRED SEALED\n\x01\x02\x03",             // sealed for someone else
        "KOVACRED PLAIN\nHOST=pc1\nSTORED=2\n",      // a field out of its form
        kept,                                        // another host's record
    };
    // Plant until six come before the real record in the folder's order,
    // then keep just those six.
    Lines before;
    for (uint32_t hash = 1; before.size() < 6 && hash < 400; hash++) {
        kt::WriteFile(dir / ("state/" + RecordName(hash, "REC")), damaged[hash % 6]);
        Lines entries = FolderEntries(dir / "state");
        before.assign(entries.begin(), std::find(entries.begin(), entries.end(), real));
    }
    ASSERT_EQ(before.size(), 6u);
    for (const std::string &name : FolderEntries(dir / "state"))
        if (name != real && std::find(before.begin(), before.end(), name) == before.end())
            unlink((dir / ("state/" + name)).c_str());
    for (size_t i = 0; i < before.size(); i++)
        kt::WriteFile(dir / ("state/" + before[i]), damaged[i]); // one of each kind

    Outcome outcome = Run("NUMPACKAGES", {}, "");
    EXPECT_EQ(outcome.result, "SKYWARDEN\r\n");
    EXPECT_EQ(outcome.store, kWith);
    EXPECT_EQ(Records(), 0);
    for (const std::string &name : before) {
        std::string aside = name.substr(0, name.size() - 3) + "BAD";
        EXPECT_TRUE(kt::Exists(dir / ("state/" + aside))) << aside;
        EXPECT_NE(outcome.debug.find("moved aside as " + aside), std::string::npos)
            << outcome.debug;
    }
}

}  // namespace
