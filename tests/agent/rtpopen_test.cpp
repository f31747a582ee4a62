// The child-process text pipe against real children (rtpchild).  The NT
// platform is tested in this process; the older platform, the run-wide
// filler total and KOVA_FAIL are per process, so those run in rtpprobe.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testutil.h"

#include "rtpopen.h"

namespace {

const std::string kChild = RTPCHILD_BIN;
const std::string kProbe = RTPPROBE_BIN;
const char kGarbage[] = "123456789\n123456789\n123456789\n123456789\n123456789\n123456789\n12345";

std::string Command(const std::string &actions) { return "\"" + kChild + "\" " + actions; }

FILE *Open(const std::string &actions)
{
    std::string line = Command(actions);
    return ReadTextPopen(&line[0]);
}

int CountFds()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (struct dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

struct Reading {
    std::vector<std::string> lines;
    int eof = 0;
    int passes = 0;
};

// The adapter's reading passes: a read, then the question of the end,
// until the end comes (bounded, so that a fault cannot hang the test).
Reading ReadAll(FILE *stream, int num = 512, int maxPasses = 10000)
{
    Reading r;
    std::vector<char> buf(size_t(num) + 1);
    while (r.eof == 0 && r.passes++ < maxPasses) {
        if (ReadTextFgets(buf.data(), num, stream))
            r.lines.push_back(buf.data());
        r.eof = CheckEOF(stream);
    }
    return r;
}

// Lines as the reader receives them from a run of text.
std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// 'R' running, 'Z' ended but not reaped, '-' gone.
char ProcessState(const std::string &pid)
{
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() ? '-' : text[paren + 2];
}

bool Ended(const std::string &pid)
{
    for (int i = 0; i < 3000; i++) {
        char state = ProcessState(pid);
        if (state == 'Z' || state == '-')
            return true;
        usleep(10000);
    }
    return false;
}

std::string WaitForFile(const std::string &path)
{
    for (int i = 0; i < 3000 && kt::ReadFile(path).empty(); i++)
        usleep(10000);
    return kt::ReadFile(path);
}

// The limits of silence and of a whole run, for one scope.
class Limits {
public:
    Limits(const char *silenceMs, const char *totalMs)
    {
        setenv("KOVA_TOOL_TIMEOUT_MS", silenceMs, 1);
        setenv("KOVA_TOOL_TOTAL_MS", totalMs, 1);
    }
    ~Limits()
    {
        unsetenv("KOVA_TOOL_TIMEOUT_MS");
        unsetenv("KOVA_TOOL_TOTAL_MS");
    }
};

// ---- Reading a child's output -----------------------------------------------

TEST(RtpopenStreams, DeliversEveryLineWholeAndThenTheEnd)
{
    struct Case {
        const char *actions;
        std::vector<std::string> lines;
    } cases[] = {
        {"out=one\\ntwo\\n", {"one\n", "two\n"}},
        {"exit=0", {}},
        {"sleep=200", {}},
        {"out=first\\nlast", {"first\n", "last"}},
        {"out=first\\nla sleep=200 out=st", {"first\n", "last"}},
        {"out=one\\n sleep=300 out=two\\n sleep=300 out=thr sleep=300 out=ee\\n",
         {"one\n", "two\n", "three\n"}},
        {"out=a\\r\\nb\\r\\n", {"a\n", "b\n"}},
        {"out=a\\r sleep=200 out=\\nb\\n", {"a\n", "b\n"}},
        {"out=a\\rb\\n", {"a\rb\n"}},
        {"out=end\\r", {"end\r"}},
        {"out=a\\nb\\zc\\nd\\n", {"a\n", "b"}},
        {"out=\\zhidden\\n sleep=100 out=more\\n", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.actions);
        int fds = CountFds();
        FILE *stream = Open(c.actions);
        ASSERT_NE(stream, nullptr);
        Reading r = ReadAll(stream);
        EXPECT_EQ(r.lines, c.lines);
        EXPECT_NE(r.eof, 0);
        char buf[64];
        EXPECT_EQ(ReadTextFgets(buf, sizeof buf, stream), nullptr); // the drain ends at once
        EXPECT_EQ(ReadTextPclose(stream), 1);
        EXPECT_EQ(CountFds(), fds);
    }
}

TEST(RtpopenStreams, SilentChildIsAtTheEndAtOnce)
{
    FILE *stream = Open("exit=0");
    ASSERT_NE(stream, nullptr); // the first-output wait ended with the child
    char buf[64];
    EXPECT_EQ(ReadTextFgets(buf, sizeof buf, stream), nullptr);
    EXPECT_NE(CheckEOF(stream), 0);
    EXPECT_EQ(ReadTextPclose(stream), 1);
}

TEST(RtpopenStreams, RunningChildIsNeverAtTheEnd)
{
    FILE *stream = Open("out=ready\\n hold");
    ASSERT_NE(stream, nullptr);
    std::vector<char> buf(64);
    int found = 0;
    for (int i = 0; i < 1000 && !found; i++) {
        found = ReadTextFgets(buf.data(), 64, stream) != nullptr;
        if (!found) {
            EXPECT_EQ(CheckEOF(stream), 0);
        }
    }
    ASSERT_TRUE(found);
    EXPECT_STREQ(buf.data(), "ready\n");
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(ReadTextFgets(buf.data(), 64, stream), nullptr);
        EXPECT_EQ(CheckEOF(stream), 0);
    }
    EXPECT_EQ(ReadTextPclose(stream), 1); // the child sees its input end and leaves
}

TEST(RtpopenStreams, LongLinesArriveInPieces)
{
    struct Case {
        int num;
        int length;
    } cases[] = {{512, 3000}, {16, 40}, {2048, 3000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.num);
        std::string expected;
        for (int k = 0; k < c.length; k++)
            expected += char('a' + k % 26);
        expected += '\n';
        FILE *stream = Open("long=" + std::to_string(c.length));
        ASSERT_NE(stream, nullptr);
        Reading r = ReadAll(stream, c.num);
        ASSERT_GT(r.lines.size(), 1u);
        std::string joined;
        for (size_t i = 0; i < r.lines.size(); i++) {
            EXPECT_LE(r.lines[i].size(), size_t(c.num - 1));
            EXPECT_EQ(r.lines[i].back() == '\n', i + 1 == r.lines.size());
            joined += r.lines[i];
        }
        EXPECT_EQ(joined, expected);
        if (c.num < 1024) { // the pieces are as long as the caller's buffer allows
            EXPECT_EQ(r.lines[0].size(), size_t(c.num - 1));
        }
        EXPECT_EQ(ReadTextPclose(stream), 1);
    }
}

TEST(RtpopenStreams, OutputLargerThanThePipeIsKept)
{
    FILE *stream = Open("fill=300000");
    ASSERT_NE(stream, nullptr);
    Reading r = ReadAll(stream);
    size_t total = 0;
    for (const std::string &line : r.lines)
        total += line.size();
    EXPECT_EQ(r.lines.size(), 3000u);
    EXPECT_EQ(total, 300000u);
    EXPECT_EQ(ReadTextPclose(stream), 1);
}

// ---- The table --------------------------------------------------------------

TEST(RtpopenTable, FifteenStreamsAtMostAndNoSlotForFailures)
{
    int fds = CountFds();
    std::vector<FILE *> open;
    for (int i = 0; i < RTP_MAX_INSTANCES - 1; i++) {
        open.push_back(Open("out=x\\n hold"));
        ASSERT_NE(open.back(), nullptr);
    }
    char missing[] = "no-such-program-anywhere /GETGRP";
    EXPECT_EQ(ReadTextPopen(missing), nullptr);
    EXPECT_EQ(ReadTextPopen(missing), nullptr);
    open.push_back(Open("out=x\\n hold")); // the failures took no slot
    ASSERT_NE(open.back(), nullptr);
    kt::TempDir dir;
    EXPECT_EQ(Open("touch=" + (dir / "sixteenth")), nullptr); // and it never ran
    EXPECT_EQ(ReadTextPclose(open.front()), 1);
    open.front() = Open("out=x\\n");
    EXPECT_NE(open.front(), nullptr); // a closed slot is free again
    ReadAll(open.front());
    for (FILE *stream : open)
        EXPECT_EQ(ReadTextPclose(stream), 1);
    EXPECT_EQ(CountFds(), fds);
    EXPECT_FALSE(kt::Exists(dir / "sixteenth"));
}

TEST(RtpopenTable, UnknownAndClosedStreamsAreRefused)
{
    kt::TempDir dir;
    kt::WriteFile(dir / "plain.txt", "text\n");
    FILE *file = fopen((dir / "plain.txt").c_str(), "r");
    ASSERT_NE(file, nullptr);
    char buf[32];
    EXPECT_EQ(CheckEOF(file), -1);
    EXPECT_EQ(ReadTextPclose(file), -1);
    EXPECT_EQ(ReadTextFgets(buf, sizeof buf, file), nullptr);
    ASSERT_NE(fgets(buf, sizeof buf, file), nullptr); // left open and unread
    EXPECT_STREQ(buf, "text\n");
    fclose(file);

    EXPECT_EQ(ReadTextPclose(nullptr), -1);
    EXPECT_EQ(CheckEOF(nullptr), -1);

    FILE *stream = Open("out=x\\n");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(ReadTextPclose(stream), 1);
    EXPECT_EQ(CheckEOF(stream), -1);
    EXPECT_EQ(ReadTextPclose(stream), -1);
    EXPECT_EQ(ReadTextFgets(buf, sizeof buf, stream), nullptr);
}

// ---- Bounded waits ----------------------------------------------------------

TEST(RtpopenLimits, ToolThatWillNotEndIsEndedAndItsStreamEnds)
{
    // A tool ended before it wrote anything still started: it gets a
    // stream, already at its end.  What a tool wrote before it was ended
    // is kept; endless output is cut at the limit on the whole run.
    const struct {
        const char *name, *silence, *total, *actions;
        std::vector<std::string> lines; // or, for endless output, one repeated line
        bool endless = false;
    } cases[] = {
        {"silent from the start", "300", "60000", "sleep=60000", {}},
        {"silent from the start, whole run", "60000", "300", "sleep=60000", {}},
        {"silent after a line", "300", "60000", "out=one\\n out=tw sleep=60000", {"one\n", "tw"}},
        {"endless lines", "60000", "300", "out=first\\n spew=working\\n", {"working\n"}, true},
        {"endless line", "200", "300", "spew=x", {std::string(511, 'x')}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        kt::TempDir dir;
        Limits limits(c.silence, c.total);
        int fds = CountFds();
        FILE *stream = Open("pid=" + (dir / "pid") + " " + c.actions);
        ASSERT_NE(stream, nullptr);
        Reading r = ReadAll(stream, 512, 5000000); // about ten times what 300 ms take
        EXPECT_NE(r.eof, 0);
        EXPECT_TRUE(Ended(WaitForFile(dir / "pid")));
        char buf[512];
        while (ReadTextFgets(buf, sizeof buf, stream)) // the drain ends too
            r.lines.push_back(buf);
        if (c.endless) {
            ASSERT_GT(r.lines.size(), 2u);
            r.lines.erase(r.lines.begin()); // "first", or the first piece
            r.lines.pop_back();             // perhaps cut short
            r.lines.resize(std::min<size_t>(r.lines.size(), 100));
            EXPECT_EQ(r.lines, std::vector<std::string>(r.lines.size(), c.lines[0]));
        } else {
            EXPECT_EQ(r.lines, c.lines);
        }
        EXPECT_EQ(ReadTextPclose(stream), 1);
        EXPECT_EQ(CountFds(), fds);
    }
}

TEST(RtpopenSilence, ReadingRestsWhileTheToolWorks)
{
    // A second of quiet in the middle: the passes rest on the process
    // rather than spin (a spinning loop makes hundreds of thousands).
    FILE *stream = Open("out=a\\n sleep=1000 out=b\\n");
    ASSERT_NE(stream, nullptr);
    Reading r = ReadAll(stream);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"a\n", "b\n"}));
    EXPECT_LT(r.passes, 500);
    EXPECT_EQ(ReadTextPclose(stream), 1);
}

// ---- Per process: the older platform, the run's filler total, failures -----

struct Probe {
    std::vector<std::string> items; // the probe's lines
    std::vector<std::string> lines; // the text of the "line" items
};

Probe RunProbe(const std::vector<std::string> &args, std::map<std::string, std::string> env)
{
    std::vector<std::string> argv = {kProbe};
    argv.insert(argv.end(), args.begin(), args.end());
    kt::RunOptions options;
    options.env = std::move(env);
    kt::RunResult run = kt::Run(argv, options);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    Probe probe;
    for (std::string item : Lines(run.out)) {
        item.pop_back();
        probe.items.push_back(item);
        if (item.rfind("line ", 0) == 0)
            probe.lines.push_back(item.substr(5));
    }
    if (probe.items.size() >= 2) {
        EXPECT_EQ(probe.items.front(), probe.items.back()) << "descriptors left open";
    }
    return probe;
}

// The lines the reader gets from filler writes of the given sizes, shown
// the probe's way.
std::vector<std::string> FillerLines(const std::vector<int> &writes)
{
    std::string text;
    for (int n : writes)
        text.append(kGarbage, size_t(n));
    std::vector<std::string> lines;
    for (std::string line : Lines(text)) {
        if (line.back() == '\n')
            line.replace(line.size() - 1, 1, "\\n");
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(RtpopenOlderPlatform, FillerFitsThePipeAndStopsAtTheRunsCap)
{
    const std::vector<std::string> hundred(10, std::string(99, 'x') + "\\n");
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> lines;
    } cases[] = {
        // 1000 bytes waiting: 24 bytes of filler, then 64 at a time past 256.
        {{"--wait-end", "--check-first", Command("fill=1000")},
         Concat(hundred, FillerLines({24, 64, 64, 64, 64}))},
        // 1024 waiting: none at first; the child's last line stays its own.
        {{"--wait-end", "--check-first", Command("fill=1024")},
         Concat(Concat(hundred, {std::string(24, 'x')}), FillerLines({0, 64, 64, 64, 64}))},
        {{Command("exit=0")}, FillerLines({64, 64, 64, 64})},
        {{Command("out=alpha\\r\\n sleep=100 out=beta")},
         Concat({"alpha\\n", "beta"}, FillerLines({64, 64, 64, 64}))},
        // After a Ctrl-Z nothing reaches the reader, filler included, and
        // the stream still ends.
        {{Command("out=a\\nb\\zc\\n")}, {"a\\n", "b"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        Probe probe = RunProbe(c.args, {{"KOVA_WINVER", "95"}});
        EXPECT_EQ(probe.lines, c.lines);
        EXPECT_NE(std::find(probe.items.begin(), probe.items.end(), "eof 1"), probe.items.end());
    }
}

TEST(RtpopenOlderPlatform, CapHoldsForAllStreamsOfTheRun)
{
    Probe probe = RunProbe({Command("exit=0"), Command("out=two\\n")}, {{"KOVA_WINVER", "95"}});
    std::vector<std::string> expected = FillerLines({64, 64, 64, 64});
    expected.push_back("two\\n"); // and no filler for the second stream
    EXPECT_EQ(probe.lines, expected);
}

TEST(RtpopenOlderPlatform, ToolEndedAtALimitGetsNoFiller)
{
    Probe probe = RunProbe({Command("sleep=60000")},
                           {{"KOVA_WINVER", "95"}, {"KOVA_TOOL_TIMEOUT_MS", "300"}});
    ASSERT_GE(probe.items.size(), 3u);
    EXPECT_EQ(probe.items[1], "stream");
    EXPECT_EQ(probe.items[2], "eof 1");
}

TEST(RtpopenFailures, EveryFailureReleasesWhatWasTaken)
{
    struct Case {
        const char *fail;
        const char *winver;
        bool opens;
    } cases[] = {
        {"GetVersionExA", "", false},
        {"CreatePipe#1", "", false},
        {"CreatePipe#2", "", false},
        {"CreatePipe#3", "", false},
        {"SetNamedPipeHandleState#1", "", false},
        {"SetNamedPipeHandleState#2", "", false},
        {"SetNamedPipeHandleState#3", "", false},
        {"CreateProcessA", "", false},
        {"SetNamedPipeHandleState", "95", true}, // the older platform never asks
        {"PeekNamedPipe", "", true},             // reads need no peek on NT
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fail);
        Probe probe =
            RunProbe({Command("out=a\\n")}, {{"KOVA_FAIL", c.fail}, {"KOVA_WINVER", c.winver}});
        ASSERT_GE(probe.items.size(), 2u);
        EXPECT_EQ(probe.items[1], c.opens ? "stream" : "null");
        if (c.opens) {
            EXPECT_EQ(probe.lines.at(0), "a\\n");
            EXPECT_NE(std::find(probe.items.begin(), probe.items.end(), "eof 1"),
                      probe.items.end());
        }
    }
}

}  // namespace
