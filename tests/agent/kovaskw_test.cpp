// The adapter's inventory and credential calls against the substitute
// agent tools (real child processes through the pipe), and its scanners
// fed from tables.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "testutil.h"

#include "kovadebug.h"
#include "kovaskw.h"
#include "skwparse.h"

namespace {

const std::string kTools = std::string(KOVA_TOOLS_DIR) + "/skwtools";
const char *const kKnobs[] = {"SKW_ONLY", "SKW_DELAY_MS", "SKW_PAUSE_MS", "SKW_SLOW_MS",
                              "SKW_SILENT", "SKW_NEVER_END", "SKW_CRLF", "SKW_LONG_LINES",
                              "SKW_NO_FINAL_NEWLINE", "SKW_FAIL", "SKW_LISTOUT_HOST",
                              "KOVA_TOOL_TIMEOUT_MS"};
using Env = std::map<std::string, std::string>;

// Block of the listing: tag line, address line, MAC line.
std::vector<std::string> Block(const std::string &tag, const std::string &name,
                               const std::string &address, const std::string &mac)
{
    return {"SYSTAG=" + tag + " SYSNAME= \"" + name + "\"", "ADDR= \"" + address + "\"",
            "MAC=" + mac};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Agent : public ::testing::Test {
protected:
    void SetUp() override
    {
        kt::SetEnv("PATH", kTools.c_str());
        kt::SetEnv("SKW_INVENTORY", (dir / "inventory").c_str());
        kt::SetEnv("SKW_CREDSTORE", (dir / "store").c_str());
        kt::SetEnv("SKW_LOG", (dir / "log").c_str());
        kt::WriteFile(dir / "store", "");
        kt::SetEnv("KOVA_STATE_DIR", (dir / "state").c_str());
        kt::SetEnv("KOVA_MUTEX_DIR", (dir / "mutex").c_str());
    }
    void TearDown() override { Knobs({}); }

    // Only the given knobs are set.
    void Knobs(const Env &env)
    {
        for (const char *name : kKnobs)
            kt::UnsetEnv(name);
        for (const auto &[name, value] : env)
            kt::SetEnv(name.c_str(), value.c_str());
    }
    void Inventory(const std::vector<std::string> &listing,
                   const std::vector<std::string> &attributes = {})
    {
        std::string text = "group GRPTAG=0x1 GRPNAME= \"All\"\n";
        for (const std::string &line : listing)
            text += "list " + line + "\n";
        for (const std::string &line : attributes)
            text += "attr " + line + "\n";
        kt::WriteFile(dir / "inventory", text);
    }
    std::string Log() { return kt::ReadFile(dir / "log"); }

    kt::TempDir dir;
};

const std::vector<std::string> kPcOne = Block("0x1A", "pc one", "pc1", "001122334455");

struct ListingCase {
    const char *name;
    std::vector<std::string> listing;
    const char *mac;
    Env knobs;
    bool found;
    uint32_t tag = 0;
    const char *sysname = nullptr;  // null: kept from before
    const char *address = nullptr;
};

TEST_F(Agent, SystagAndNameFindsTheBlockOfTheMac)
{
    const ListingCase cases[] = {
        {"caller's form", kPcOne, "001122334455", {}, true, 0x1A, "pc one", "pc1"},
        {"group-reversed form", Block("0x1A", "pc one", "pc1", "554433221100"), "001122334455",
         {}, true, 0x1A, "pc one", "pc1"},
        {"0x prefix", Block("0x1A", "n", "a", "0x001122334455"), "001122334455", {}, true, 0x1A,
         "n", "a"},
        {"any prefix, reversed", Block("0x1A", "n", "a", "XY554433221100"), "001122334455", {},
         true, 0x1A, "n", "a"},
        {"case differs", Block("0x1A", "n", "a", "00a0c9112233"), "00A0C9112233", {}, false},
        {"first MAC line fails", kPcOne + std::vector<std::string>{"MAC=001122334455"},
         "AAAAAAAAAAAA", {}, false},
        {"failed block ends at its MAC line",
         Block("0x1A", "n", "a", "AAAAAAAAAAAA") + std::vector<std::string>{"MAC=001122334455"},
         "001122334455", {}, false},
        {"block without MAC line",
         std::vector<std::string>{"SYSTAG=0x1A SYSNAME= \"pc one\"", "ADDR= \"pc1\""} +
             Block("0x2B", "pc two", "pc2", "001122334455"),
         "001122334455", {}, true, 0x2B, "pc two", "pc2"},
        {"heading with MAC in a block",
         std::vector<std::string>{"SYSTAG=0x1A SYSNAME= \"n\"", "ADDR= \"a\"", "MAC ADDRESSES:",
                                  "MAC=001122334455"},
         "001122334455", {}, true, 0x1A, "n", "a"},
        {"name absent", {"SYSTAG=0x3C", "ADDR= \"pc3\"", "MAC=001122334455"}, "001122334455", {},
         true, 0x3C, nullptr, "pc3"},
        {"empty quotes", Block("0x1A", "", "", "001122334455"), "001122334455", {}, true, 0x1A, "",
         ""},
        {"no address line", {"SYSTAG=0x1A SYSNAME= \"n\"", "MAC=001122334455"}, "001122334455", {},
         true, 0x1A, "n", ""},
        {"short MAC", Block("0x1A", "n", "a", "0011"), "0011", {}, false},
        {"decimal tag", Block("26", "n", "a", "001122334455"), "001122334455", {}, true, 26, "n", "a"},
        {"1A is decimal 1", Block("1A", "n", "a", "001122334455"), "001122334455", {}, true, 1, "n",
         "a"},
        {"octal tag", Block("032", "n", "a", "001122334455"), "001122334455", {}, true, 26, "n", "a"},
        {"tag above 0x7FFFFFFF", Block("0x80000001", "n", "a", "001122334455"), "001122334455", {},
         true, 0x80000001, "n", "a"},
        {"oversized tag", Block("0x100000000", "n", "a", "001122334455"), "001122334455", {}, false},
        {"signed tag", Block("-1", "n", "a", "001122334455"), "001122334455", {}, false},
        {"CR LF, pause, delay, no final newline", kPcOne, "001122334455",
         {{"SKW_CRLF", "1"}, {"SKW_PAUSE_MS", "300"}, {"SKW_DELAY_MS", "300"},
          {"SKW_NO_FINAL_NEWLINE", "1"}},
         true, 0x1A, "pc one", "pc1"},
        // Each line is preceded by one longer than the buffer: its pieces
        // come between the tag line and the address line.
        {"long lines", kPcOne, "001122334455", {{"SKW_LONG_LINES", "700"}}, true, 0x1A, "pc one",
         ""},
        {"silent tool", kPcOne, "001122334455",
         {{"SKW_SILENT", "1"}, {"SKW_NEVER_END", "1"}, {"KOVA_TOOL_TIMEOUT_MS", "300"}}, false},
    };
    for (const ListingCase &c : cases) {
        SCOPED_TRACE(c.name);
        Inventory(c.listing);
        Knobs(c.knobs);
        char mac[32];
        snprintf(mac, sizeof mac, "%s", c.mac);
        static tSystagAndName last;
        tSystagAndName *found = SKWGetSystagAndName(mac);
        ASSERT_EQ(found != nullptr, c.found);
        if (!found)
            continue;
        EXPECT_EQ(found->systag, c.tag);
        EXPECT_STREQ(found->sysname, c.sysname ? c.sysname : last.sysname);
        EXPECT_STREQ(found->address, c.address);
        last = *found;
    }
}

TEST_F(Agent, SystagMatchesTheCallersFormOnly)
{
    const ListingCase cases[] = {
        {"caller's form", kPcOne, "001122334455", {}, true, 0x1A},
        {"group-reversed form", Block("0x1A", "n", "a", "554433221100"), "001122334455", {}, false},
        {"0x prefix", Block("0x1A", "n", "a", "0x001122334455"), "001122334455", {}, false},
        {"tag line starts a new block",
         std::vector<std::string>{"SYSTAG=0x1A"} + Block("0x2B", "n", "a", "001122334455"),
         "001122334455", {}, true, 0x2B},
        {"1A is decimal 1", Block("1A", "n", "a", "001122334455"), "001122334455", {}, true, 1},
        {"oversized tag", Block("4294967296", "n", "a", "001122334455"), "001122334455", {}, false},
        {"failed MAC closes the block",
         Block("0x1A", "n", "a", "AAAAAAAAAAAA") + std::vector<std::string>{"MAC=001122334455"},
         "001122334455", {}, false},
    };
    for (const ListingCase &c : cases) {
        SCOPED_TRACE(c.name);
        Inventory(c.listing);
        EXPECT_EQ(SKWGetSystag(const_cast<char *>(c.mac)), c.found ? c.tag : 0u);
    }
}

TEST_F(Agent, ClientInfoReadsAttributesOfEveryKind)
{
    Inventory(Block("0x80000001", "pc one", "pc1", "001122334455"),
              {"80000001 SYSTAG=80000001 SYSNAME= \"pc one, room 2\" ADDR= \"10.0.0.1\" PROTO=IP",
               "80000001 ONLINE=TRUE ONLN=DISABLED OFFLN=15 PING=7 GRPLIST=1,2 ERRORCOND=x",
               "80000001 OS=WinNT MANAGER SERVER MAC=001122334455XYZ SHUTDOWN POWERDOWN WAKEONLAN "
               "WEBMGR"});
    tSystemData *data = SKWRequestClientInfo(const_cast<char *>("001122334455"));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->systag, 0x80000001u);
    EXPECT_STREQ(data->sysname, "pc one, room 2");
    EXPECT_STREQ(data->addr, "10.0.0.1");
    EXPECT_STREQ(data->proto, "IP\n");  // the last token keeps the line feed
    EXPECT_EQ(data->online, 1);
    EXPECT_EQ(data->onln, -1);
    EXPECT_EQ(data->offln, 15);
    EXPECT_EQ(data->ping, 7);
    EXPECT_STREQ(data->os, "WinNT");
    EXPECT_STREQ(data->mac, "001122334455");
    for (int32_t flag : {data->manager, data->server, data->shutdown, data->powerdown,
                         data->wakeonlan, data->webmgr})
        EXPECT_EQ(flag, 1);
    EXPECT_EQ(Log(), "SKWSYSCMD /GETSYS /ALL\nSKWSYSCMD /GETSYS /SYSTAG:80000001\n");

    EXPECT_EQ(SKWRequestClientInfo(const_cast<char *>("665544332211")), nullptr);
}

struct AttributeCase {
    const char *line;
    int32_t tSystemData::*field;
    int32_t expected;
};

TEST(Attributes, NumbersAndFlagsFollowTheirRules)
{
    const AttributeCase cases[] = {
        {"ONLINE=TRUE", &tSystemData::online, 1},   {"ONLINE=true", &tSystemData::online, 0},
        {"ONLINE=YES", &tSystemData::online, 0},    {"ONLN=DISABLED", &tSystemData::onln, -1},
        {"ONLN=15", &tSystemData::onln, 15},        {"ONLN=abc", &tSystemData::onln, 0},
        {"OFFLN=DISABLED\n", &tSystemData::offln, -1}, {"PING=-3", &tSystemData::ping, -3},
        {"PING=99999999999", &tSystemData::ping, INT32_MAX},
        {"ONLN", &tSystemData::onln, 42},  // the line ends before the value
    };
    for (const AttributeCase &c : cases) {
        SCOPED_TRACE(c.line);
        tSystemData data{};
        data.onln = 42;
        char line[SKW_LINE_LEN];
        snprintf(line, sizeof line, "%s", c.line);
        SKWAttributeLine(&data, line);
        EXPECT_EQ(data.*c.field, c.expected);
    }
}

TEST(Attributes, QuotedValuesKeepTheRestOfTheLine)
{
    const struct {
        const char *line;
        const char *sysname, *proto;
        uint32_t systag;
    } cases[] = {
        {"SYSTAG=0x1A SYSNAME= \"pc one\" PROTO=IP", "pc one", "IP", 0x1A},
        {"SYSTAG=1A SYSNAME= \"\" PROTO=IPX", "", "IPX", 0x1A},
        {"SYSTAG=-1A SYSNAME= unquoted PROTO=IP", "unquoted PROTO=IP", "", 7},
        {"SYSTAG=100000000 SYSNAME=", "keep", "", 7},
        {"SYSTAG", "keep", "", 7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        tSystemData data{};
        data.systag = 7;
        strcpy(data.sysname, "keep");
        char line[SKW_LINE_LEN];
        snprintf(line, sizeof line, "%s", c.line);
        SKWAttributeLine(&data, line);
        EXPECT_STREQ(data.sysname, c.sysname);
        EXPECT_STREQ(data.proto, c.proto);
        EXPECT_EQ(data.systag, c.systag);
    }
}

TEST_F(Agent, ManagerIsAvailableWhenAGroupIsListed)
{
    Inventory(kPcOne);
    EXPECT_EQ(SKWIsManagerAvailable(), 1);
    // At the first group line, although the tool goes on running.
    Knobs({{"SKW_NEVER_END", "1"}});
    EXPECT_EQ(SKWIsManagerAvailable(), 1);
    Knobs({});
    kt::WriteFile(dir / "inventory", "list SYSTAG=0x1A\n");
    EXPECT_EQ(SKWIsManagerAvailable(), 0);
    kt::SetEnv("PATH", "/nonexistent");
    EXPECT_EQ(SKWIsManagerAvailable(), 0);
}

TEST_F(Agent, PasswordIsTheExactHostsAndClearedEachTime)
{
    kt::WriteFile(dir / "store", "pc1\tadmin\tsecret\npc12\tother\tpw\n");
    tSKWPasswordData *found = SKWGetPassword(const_cast<char *>("pc1"));
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->host, "pc1");
    EXPECT_STREQ(found->userId, "admin");
    EXPECT_STREQ(found->password, "secret");

    Knobs({{"SKW_LISTOUT_HOST", "pc12"}});  // a listing for another host
    EXPECT_EQ(SKWGetPassword(const_cast<char *>("pc1")), nullptr);
    Knobs({});
    EXPECT_EQ(SKWGetPassword(const_cast<char *>("pc2")), nullptr);
    EXPECT_STREQ(found->host, "");  // nothing left from the first call
    EXPECT_STREQ(found->password, "");
}

TEST_F(Agent, SetPasswordSendsOnlyWholeCommandLines)
{
    EXPECT_EQ(SKWSetPassword(const_cast<char *>("pc1"), const_cast<char *>("admin"), nullptr), 1);
    EXPECT_EQ(kt::ReadFile(dir / "store"), "pc1\tadmin\t\n");
    EXPECT_EQ(SKWDeletePassword(const_cast<char *>("pc1")), 1);
    EXPECT_EQ(kt::ReadFile(dir / "store"), "");
    const std::string before = Log();

    std::string longUser(100, 'u');
    EXPECT_EQ(SKWSetPassword(const_cast<char *>("pc1"), longUser.data(), nullptr), 0);
    EXPECT_EQ(SKWSetPassword(const_cast<char *>("pc1"), const_cast<char *>("ad\"min"), nullptr), 0);
    EXPECT_EQ(SKWSetPassword(const_cast<char *>("pc1"), const_cast<char *>("a"),
                             const_cast<char *>("pw\\")), 0);
    EXPECT_EQ(SKWDeletePassword(const_cast<char *>("pc\"1")), 0);
    EXPECT_EQ(Log(), before);
    EXPECT_EQ(before, "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"admin\" /PWD:\"\"\n"
                      "SKWSECCMD /DELOUT /HOST:\"pc1\"\n");
}

TEST(Results, ResultLineNeedsDigitsAfterRcEquals)
{
    const struct {
        const char *line;
        bool isResult;
        int32_t number = 0;
        bool inRange = false;
    } cases[] = {
        {"RC=0\n", true, 0, true},          {"RC= +7\n", true, 7, true},
        {"XRC=-1\n", true, -1, true},       {"SOURCE=3\n", false},
        {"SOURCE=x RC=5\n", true, 5, true}, {"RC=\n", false},
        {"RC=abc\n", false},                {"rc=1\n", false},
        {"RC=2147483648\n", true, 0, false}, {"RC=-2147483648\n", true, INT32_MIN, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        int32_t number = 0;
        int inRange = 1;
        ASSERT_EQ(SKWParseResultLine(c.line, &number, &inRange) != 0, c.isResult);
        if (!c.isResult)
            continue;
        EXPECT_EQ(inRange != 0, c.inRange);
        if (c.inRange) {
            EXPECT_EQ(number, c.number);
        }
    }
    const int32_t codes[] = {108, 104, 105, 107, 104, 104, 105, 106, 105, 105, 106, 106, 106, 106};
    for (int32_t n = 0; n < 14; n++)
        EXPECT_EQ(SKWInterpretSKWSYSError(n), codes[n]) << n;
    EXPECT_EQ(SKWInterpretSKWSYSError(14), 108);
    EXPECT_EQ(SKWInterpretSKWSYSError(-1), 108);
}

// Feeds lines to a scan started for host.
void ScanListing(tCredentialScan &scan, tSKWPasswordData &passwd, const char *host,
                 const std::vector<std::string> &lines)
{
    SKWCredentialScanStart(&scan, &passwd, host);
    for (const std::string &text : lines) {
        char line[SKW_LINE_LEN];
        snprintf(line, sizeof line, "%s", text.c_str());
        SKWCredentialScanLine(&scan, &passwd, line);
    }
}

TEST(Credentials, StoreStateIsKnownOnlyFromAWholeListing)
{
    const struct {
        const char *name;
        std::vector<std::string> lines;
        int state;
    } cases[] = {
        {"none", {"Outgoing credentials:\n", "(none)\n"}, SKW_CRED_NONE},
        {"one", {"HOST= \"pc1\" USERID= \"u\" PWD= \"\"\n"}, SKW_CRED_ONE},
        {"over lines", {"HOST= \"pc1\"\n", "USERID= \"u\"\n", "PWD= \"p w\"\n"}, SKW_CRED_ONE},
        {"another host", {"HOST= \"pc12\" USERID= \"u\" PWD= \"p\"\n"}, SKW_CRED_UNKNOWN},
        {"two", {"HOST= \"pc1\" USERID= \"u\" PWD= \"p\"\n", "HOST= \"pc1\" USERID= \"v\" PWD= \"q\"\n"},
         SKW_CRED_UNKNOWN},
        {"unquoted", {"HOST= \"pc1\" USERID= u PWD= \"p\"\n"}, SKW_CRED_UNKNOWN},
        {"unclosed", {"HOST= \"pc1\" USERID= \"u\" PWD= \"p\n"}, SKW_CRED_UNKNOWN},
        {"too long", {"HOST= \"pc1\" USERID= \"u\" PWD= \"" + std::string(64, 'p') + "\"\n"},
         SKW_CRED_UNKNOWN},
        // Anything that may be a credential in another wording, or an
        // error, leaves the state unknown: HOSTNAME= is no longer passed over.
        {"header and column titles",
         {"HOSTNAME= \"agent1\" PWDPOLICY=none\n", "HOST USERID PWD\n",
          "HOST= \"pc1\" USERID= \"u\" PWD= \"p\"\n"},
         SKW_CRED_UNKNOWN},
        {"column titles only", {"HOST\tUSERID\tPWD\n", "(none)\n"}, SKW_CRED_NONE},
        {"CR LF", {"HOST= \"pc1\" USERID= \"u\" PWD= \"p\"\r\n"}, SKW_CRED_ONE},
        {"table", {"Host  User ID  Password\n", "pc1   old      oldpw\n"}, SKW_CRED_UNKNOWN},
        // Left to the comparison with a host that has none, which it fails.
        {"row naming the host only", {"Credentials:\n", "PC1 old oldpw\n"}, SKW_CRED_NONE},
        {"colons", {"HOST: \"pc1\" USERID: \"u\" PWD: \"p\"\n"}, SKW_CRED_UNKNOWN},
        {"lower case", {"host= \"pc1\" userid= \"u\" pwd= \"p\"\n"}, SKW_CRED_UNKNOWN},
        {"spaced", {"HOST = \"pc1\" USERID = \"u\" PWD = \"p\"\n"}, SKW_CRED_UNKNOWN},
        {"password word", {"Password set for 1 host\n"}, SKW_CRED_UNKNOWN},
        {"error line", {"SKWSECCMD: access denied\n"}, SKW_CRED_UNKNOWN},
        {"usage line", {"usage: SKWSECCMD /LISTOUT /HOST:name\n"}, SKW_CRED_UNKNOWN},
        {"no line at all", {}, SKW_CRED_UNKNOWN},
        {"quote inside a value", {"HOST= \"pc1\" USERID= \"u\" PWD= \"or\"ig1\"\n"},
         SKW_CRED_UNKNOWN},
        {"tab inside a value", {"HOST= \"pc1\" USERID= \"u\" PWD= \"a\tb\"\n"}, SKW_CRED_UNKNOWN},
        {"CR inside a value", {"HOST= \"pc1\" USERID= \"u\" PWD= \"a\rb\"\n"}, SKW_CRED_UNKNOWN},
        {"value ends in a backslash", {"HOST= \"pc1\" USERID= \"u\" PWD= \"p\\\"\n"},
         SKW_CRED_UNKNOWN},
        {"attribute glued to its value", {"HOST=\"pc1\" USERID= \"u\" PWD= \"p\"\n"},
         SKW_CRED_UNKNOWN},
        {"filler after ten lines", std::vector<std::string>(12, "123456789\n"), SKW_CRED_NONE},
        {"credential after ten lines",
         std::vector<std::string>(10, "-\n") + std::vector<std::string>{"HOST= \"pc1\"\n"},
         SKW_CRED_UNKNOWN},
        // A value goes back whole or the listing is not known: a quote
        // inside it no longer cuts it short.
        {"password p\" q", {"HOST= \"pc1\" USERID= \"u\" PWD= \"p\" q\"\n"}, SKW_CRED_UNKNOWN},
        {"password \" q", {"HOST= \"pc1\" USERID= \"u\" PWD= \"\" q\"\n"}, SKW_CRED_UNKNOWN},
        {"password p\",q", {"HOST= \"pc1\" USERID= \"u\" PWD= \"p\",q\"\n"}, SKW_CRED_UNKNOWN},
        {"user ad\" x", {"HOST= \"pc1\" USERID= \"ad\" x\" PWD= \"p\"\n"}, SKW_CRED_UNKNOWN},
        {"quote glued to the next attribute", {"HOST= \"pc1\"USERID= \"u\" PWD= \"p\"\n"},
         SKW_CRED_UNKNOWN},
        {"split over two lines, commas",
         {"Outgoing credentials:\n", "HOST= \"pc1\"\n", "USERID= \"u\", PWD= \"p\"\n"},
         SKW_CRED_ONE},
        {"trouble word inside a value", {"HOST= \"pc1\" USERID= \"u\" PWD= \"Unknown7\"\n"},
         SKW_CRED_ONE},
        {"trouble word beside a credential",
         {"HOST= \"pc1\" USERID= \"u\" PWD= \"p\" (locked)\n"}, SKW_CRED_UNKNOWN},
        {"trouble line beside a credential",
         {"Store busy\n", "HOST= \"pc1\" USERID= \"u\" PWD= \"p\"\n"}, SKW_CRED_UNKNOWN},
        // "None" only from clean lines.
        {"not running", {"The agent service is not running.\n"}, SKW_CRED_UNKNOWN},
        {"locked", {"No outbound credentials found (credential store is locked by another process)\n"},
         SKW_CRED_UNKNOWN},
        {"a contraction", {"The store isn't open\n"}, SKW_CRED_UNKNOWN},
        {"a single blank line", {" \t\r\n"}, SKW_CRED_UNKNOWN},
        {"attribute token", {"Outgoing credentials:\n", "LastUser=admin\n"}, SKW_CRED_UNKNOWN},
        {"control character", {"Outgoing\x1b credentials:\n"}, SKW_CRED_UNKNOWN},
        {"DEL", {"Outgoing credentials:\x7f\n"}, SKW_CRED_UNKNOWN},
        {"cut line", {std::string(SKW_LINE_LEN - 1, 'x'), "\n"}, SKW_CRED_UNKNOWN},
        {"host in words", {"No credential for 'PC1'.\n"}, SKW_CRED_NONE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tCredentialScan scan;
        tSKWPasswordData passwd;
        ScanListing(scan, passwd, "pc1", c.lines);
        EXPECT_EQ(SKWCredentialScanState(&scan, &passwd, "pc1"), c.state);
        if (c.state == SKW_CRED_ONE) {
            EXPECT_STREQ(passwd.userId, "u");
        }
        SKWCredentialScanClear(&scan);
    }
}

// A "none" is confirmed by the same words for a host that cannot have a
// credential; only the host's text, standing alone, may differ.
TEST(Credentials, SameWordingReplacesOnlyTheHostsText)
{
    const char *const probe = "KOVA-NO-CREDENTIAL.INVALID";
    const struct {
        const char *name;
        std::vector<std::string> listing, probeListing;
        bool same;
    } cases[] = {
        {"host replaced, blanks and blank lines aside",
         {"Outgoing credentials:\n", "\n", "(none for 'pc1')\n"},
         {"Outgoing  credentials:\r\n", "\t(none for 'kova-no-credential.invalid')\n"}, true},
        {"host as a bare word", {"No credential for pc1\n"},
         {"No credential for KOVA-NO-CREDENTIAL.INVALID\n"}, true},
        {"a row beside the host", {"pc1 old oldpw\n"}, {"(none)\n"}, false},
        {"host elsewhere", {"(none for 'pc1')\n"}, {"('KOVA-NO-CREDENTIAL.INVALID') none for\n"},
         false},
        {"host inside a longer word", {"(none for 'pc1x')\n"},
         {"(none for 'KOVA-NO-CREDENTIAL.INVALIDx')\n"}, false},
        {"an attribute line has no wording", {"HOST= \"pc1\" USERID= \"u\" PWD= \"p\"\n"},
         {"HOST= \"pc1\" USERID= \"u\" PWD= \"p\"\n"}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tCredentialScan scan, probeScan;
        tSKWPasswordData passwd, probePasswd;
        ScanListing(scan, passwd, "pc1", c.listing);
        ScanListing(probeScan, probePasswd, probe, c.probeListing);
        EXPECT_EQ(SKWCredentialScanSameWording(&scan, &probeScan) != 0, c.same);
        SKWCredentialScanClear(&scan);
        SKWCredentialScanClear(&probeScan);
        EXPECT_EQ(scan.textLength, 0u);
    }
}

// The channel's line rules: one line, and whatever follows "/PWD:" in an
// agent command line masked, however the value is written.
TEST(DebugChannel, JoinsLinesAndMasksPasswords)
{
    const struct {
        const char *text, *line;
    } cases[] = {
        {"ReadTextPopen(): CreateProcess() failed\nGetLastError: 2",
         "ReadTextPopen(): CreateProcess() failed; GetLastError: 2"},
        {"PeekNamedPipe:\r\n  read: 3\n\n  avail: 4\n", "PeekNamedPipe:; read: 3; avail: 4"},
        {"tab\tand\x01" "bell\x7f", "tab?and?bell?"},
        {"SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"admin\" /PWD:\"se\"c ret\"",
         "SKWSECCMD /ADDOUT:\"pc1\" /SETUID:\"admin\" /PWD:\"********\""},
        {"started X /pwd:\"a\nb\" ; command", "started X /pwd:\"********\" ; command"},
        {"X /PWD:unquoted tail", "X /PWD:********"},
        {"X /PWD:\"never closed", "X /PWD:\"********"},
        {"X /PWD:\"\"", "X /PWD:\"********\""},
        {"no secret here", "no secret here"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        char line[KOVA_DEBUG_TEXT_LEN];
        KovaDebugLine(c.text, line, sizeof line);
        EXPECT_STREQ(line, c.line);
    }
    char small[12];
    KovaDebugLine("0123456789 /PWD:\"secret\"", small, sizeof small);
    EXPECT_STREQ(small, "0123456789 ");
}

}  // namespace
