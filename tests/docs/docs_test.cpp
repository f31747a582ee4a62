// The texts an integrator and an administrator read against what the
// programs define: every answer of kova32ex in CONSOLE.txt, every exit
// status of wakelan in WAKELAN.txt and in README's table (the same set),
// every test aid in README; and both download texts plain ASCII, so that
// the zip's CR LF conversion gives Windows text.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "testutil.h"

namespace {

const std::string kSource = KOVA_SOURCE_DIR;

std::string Source(const std::string &path)
{
    return kt::ReadFile(kSource + "/" + path);
}

// Every match of group 1 of pattern in text.
std::set<std::string> Matches(const std::string &text, const std::string &pattern)
{
    std::set<std::string> found;
    std::regex re(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
        found.insert((*it)[1].str());
    return found;
}

bool HasLineStartingWith(const std::string &text, const std::string &start)
{
    return text.compare(0, start.size(), start) == 0 || text.find("\n" + start) != std::string::npos;
}

// The system's sources and the substitute tools, where test aids are read.
std::string AllSources()
{
    std::string all;
    for (const char *dir : {"agent", "common", "host", "platform", "wakelan", "wol", "tools"}) {
        for (const auto &entry : std::filesystem::recursive_directory_iterator(kSource + "/" + dir)) {
            const std::string ext = entry.path().extension().string();
            if (entry.is_regular_file() && (ext == ".cpp" || ext == ".h"))
                all += kt::ReadFile(entry.path().string());
        }
    }
    return all;
}

TEST(Docs, ConsoleTextExplainsEveryAnswer)
{
    const std::string console = Source("packaging/CONSOLE.txt");
    // 130 is the engine's own failure: the console sees it as WAKE-FAILURE.
    std::set<std::string> codes =
        Matches(Source("common/kovacodes.h"), R"(#define \w+ (\d+)\b)");
    codes.erase("130");
    ASSERT_GE(codes.size(), 9u);
    for (const std::string &code : codes)
        EXPECT_TRUE(HasLineStartingWith(console, code + " ")) << "code " << code;
    // The answers kova32ex writes, one entry each in the list of causes.
    std::set<std::string> words = Matches(Source("host/interp.cpp"), R"re("([A-Z-]+)\\n")re");
    EXPECT_EQ(words, (std::set<std::string>{"WAKE-SUCCESS", "WAKE-FAILURE", "SKYWARDEN", "NONE"}));
    for (const std::string &word : words)
        EXPECT_TRUE(HasLineStartingWith(console, word + "\n")) << word;
}

TEST(Docs, WakelanExitStatusesAgreeInBothTexts)
{
    const std::set<std::string> defined =
        Matches(Source("wakelan/wakelan.h"), R"(WL_EXIT_\w+ = (\d+))");
    ASSERT_GE(defined.size(), 12u);
    const std::string readme = Source("README.md");
    const std::string table = readme.substr(readme.find("| Exit status | Meaning |"));
    EXPECT_EQ(Matches(table.substr(0, table.find("\n\n")), R"(\n\| (\d+) \|)"), defined);
    const std::string wakelan = Source("packaging/WAKELAN.txt");
    const std::string statuses = wakelan.substr(wakelan.find("Exit status\n"));
    EXPECT_EQ(Matches(statuses.substr(0, statuses.find("\n\n\n")), R"(\n  (\d+) {2,3}\S)"),
              defined);
}

TEST(Docs, ReadmeNamesEveryTestAid)
{
    const std::string readme = Source("README.md");
    const std::set<std::string> aids = Matches(AllSources(), R"re("((KOVA|SKW)_[A-Z_]+)")re");
    ASSERT_GE(aids.size(), 20u);
    for (const std::string &aid : aids)
        EXPECT_NE(readme.find("| `" + aid), std::string::npos) << aid;
}

// A number the sources define: "#define NAME value".
double Defined(const std::string &path, const std::string &name)
{
    std::set<std::string> found = Matches(Source(path), "#define " + name + R"( (\d+)\b)");
    EXPECT_EQ(found.size(), 1u) << name;
    return found.empty() ? 0 : std::stod(*found.begin());
}

// Milliseconds as the text writes seconds: "30 s", "1.75 s"; rounded to
// whole seconds where the text does.
std::string Seconds(double ms, bool rounded = false)
{
    char text[32];
    snprintf(text, sizeof text, rounded ? "%.0f" : "%.2f", ms / 1000);
    std::string shown = text;
    if (!rounded) {
        shown.erase(shown.find_last_not_of('0') + 1);
        if (shown.back() == '.')
            shown.pop_back();
    }
    return shown + " s";
}

// The facts an integrator takes from CONSOLE.txt where a program defines
// them: the test target, the tools' file names, the limits and the longest
// waits they add up to.
TEST(Docs, ConsoleTextStatesWhatTheProgramsDefine)
{
    const std::string console = Source("packaging/CONSOLE.txt");
    EXPECT_NE(Source("wol/wol32.cpp").find("\"KOVA_UDP_TARGET\""), std::string::npos);
    EXPECT_NE(console.find("KOVA_UDP_TARGET="), std::string::npos);
    for (const char *tool : {"SKWSYSCMD", "SKWSECCMD"}) {
        EXPECT_NE(AllSources().find("\"" + std::string(tool) + " /"), std::string::npos) << tool;
        EXPECT_NE(console.find(std::string(tool) + ".EXE"), std::string::npos) << tool;
    }
    const double silence = Defined("agent/rtpopen.cpp", "RTP_DEFAULT_SILENCE_MS");
    const double total = Defined("agent/rtpopen.cpp", "RTP_DEFAULT_TOTAL_MS");
    const double ending = Defined("agent/rtpline.h", "RTP_TERMINATE_WAIT_MS");
    const double lock = Defined("agent/kovacred.cpp", "CRED_WAIT_DEFAULT_MS");
    const double orphan = Defined("agent/kovacred.cpp", "ORPHAN_WAIT_DEFAULT_MS");
    const double repairWait = Defined("agent/kovacred.cpp", "CRED_RECOVERY_WAIT_MS");
    const double records = Defined("agent/kovacred.cpp", "CRED_RECOVERY_MAX");
    const double ping = Defined("agent/skwrun.h", "SKW_PAUSE_MS") + ending;
    const double run = silence + ending;
    // Tool runs as the text counts them: a request with a user ID, and the
    // repair of one record.
    const double withUser = 21, perRecord = 8;
    const double repairs = records * (2 * repairWait + perRecord * run);
    for (double ms : {silence, total, ending, run, total + ending, lock, orphan, repairWait, ping,
                      lock + orphan + ping, repairs})
        EXPECT_NE(console.find(Seconds(ms)), std::string::npos) << Seconds(ms);
    const double longest = withUser * run + lock + orphan + ping;
    EXPECT_NE(console.find(Seconds(longest, true)), std::string::npos) << Seconds(longest, true);
    EXPECT_NE(console.find(Seconds(longest + repairs, true)), std::string::npos);
}

TEST(Docs, DownloadTextsArePlainAscii)
{
    for (const char *name : {"packaging/CONSOLE.txt", "packaging/WAKELAN.txt"}) {
        const std::string text = Source(name);
        size_t line = 1, column = 0;
        for (char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            ASSERT_TRUE(byte == '\n' || (byte >= 0x20 && byte < 0x7F))
                << name << " line " << line << ": byte " << int(byte);
            if (byte == '\n') {
                EXPECT_LE(column, 78u) << name << " line " << line;
                line++;
                column = 0;
            } else {
                column++;
            }
        }
        EXPECT_EQ(text.back(), '\n') << name;
    }
}

} // namespace
